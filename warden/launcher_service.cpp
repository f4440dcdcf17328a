#include "warden/launcher_service.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "warden/debug_new.h"
#include "win_seam/win_api.h"

#if defined(WARDEN_DETACHED) == defined(WARDEN_FOREGROUND)
#error "define exactly one of WARDEN_DETACHED and WARDEN_FOREGROUND"
#endif

namespace {

constexpr const char* kServiceName = "BRIx";
constexpr DWORD kToneHz = 400;
constexpr DWORD kToneMs = 100;
constexpr DWORD kPauseMs = 5000;

#if defined(WARDEN_DETACHED)
constexpr const char* kLaunchCommand = "start brix";
#else
constexpr const char* kLaunchCommand = "brix";
#endif

// The detached variant starts the daemon once the dispatcher has returned, whatever its outcome,
// so the daemon outlives the service; the foreground variant runs it as the body instead.
void LaunchAfterDispatcher() {
#if defined(WARDEN_DETACHED)
    std::system(kLaunchCommand);
#endif
}

struct Command {
    const char* prefix;
    bool (WinService::*operation)();
    const char* title;
};

// Tested in this order; only an argument's first two characters count, case-sensitively.
const Command kCommands[] = {
    {"/i", &WinService::Install, "install service..."},
    {"/r", &WinService::Remove, "remove service..."},
    {"/s", &WinService::Start, "start service..."},
    {"/q", &WinService::Stop, "stop service..."},
    {"/t", &WinService::RunInConsole, "text mode..."},
};

}  // namespace

LauncherService::LauncherService(const char* command) {
    if (command == nullptr) {
        RunAsService();
        LaunchAfterDispatcher();
        return;
    }
    if (std::strlen(command) < 2) return;
    for (const Command& c : kCommands) {
        if (std::strncmp(command, c.prefix, 2) == 0) {
            // The outcome is left in `message`; the title is printed whatever it was.
            (this->*c.operation)();
            std::cout << c.title << std::endl;
            return;
        }
    }
}

const char* LauncherService::GetServiceName() { return kServiceName; }

void LauncherService::Run() {
#if defined(WARDEN_DETACHED)
    // The flag is tested before each tone only: a stop is noticed after the current pause.
    while (!IsStopRequested()) {
        win_seam::api().Beep(kToneHz, kToneMs);
        win_seam::api().Sleep(kPauseMs);
    }
#else
    // Waits for the daemon however long it runs; a stop request does not end it.
    std::system(kLaunchCommand);
#endif
}

// Test executables that compile this unit rename the entry point (WARDEN_ENTRY_POINT) so that
// the test runner's own main stays the process's entry.
#ifndef WARDEN_ENTRY_POINT
#define WARDEN_ENTRY_POINT main
#endif

int WARDEN_ENTRY_POINT(int argc, char** argv) {
    // The whole run happens inside the constructor.
    LauncherService* service = DEBUG_NEW LauncherService(argc > 1 ? argv[1] : nullptr);
    delete service;
    return 0;
}
