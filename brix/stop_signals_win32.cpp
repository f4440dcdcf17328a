#include <windows.h>

#include <atomic>
#include <csignal>

#include "brix/stop_signals.h"

namespace brix {

namespace {

// The handler of the living object, or null: read by the control handler's threads.
std::atomic<void (*)(int)> target{nullptr};
// Set when an object ends, so that a close event's handler can let the system end the process.
HANDLE ended = nullptr;
bool installed = false;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;  // log-off and shut-down: the system's own handling, as without this handler
    }
    if (void (*handler)(int) = target.load()) handler(SIGINT);
    // The system ends the process when a close event's handler returns: wait for the orderly end.
    if (event == CTRL_CLOSE_EVENT && ended != nullptr) ::WaitForSingleObject(ended, INFINITE);
    return TRUE;  // handled: the default handler would end the process at once
}

// The runtime puts the default action back before it calls a handler: put this one back first.
void on_sigterm(int sig) {
    std::signal(SIGTERM, &on_sigterm);
    if (void (*handler)(int) = target.load()) handler(sig);
}

}  // namespace

struct StopSignals::Waiter {};

StopSignals::StopSignals(void (*handler)(int)) : waiter(nullptr) {
    if (!installed) {
        ended = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ::SetConsoleCtrlHandler(&on_console_event, TRUE);
        installed = true;
    }
    ::ResetEvent(ended);
    target = handler;
    std::signal(SIGTERM, &on_sigterm);
}

StopSignals::~StopSignals() {
    target = nullptr;
    ::SetEvent(ended);
}

void StopSignals::leave_to_other_threads() {}

void StopSignals::take_on_this_thread_again() {}

}  // namespace brix
