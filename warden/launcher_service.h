// The launcher service "BRIx": gets the daemon `brix` running through the command interpreter.
// Built in two variants from this one unit, chosen by a compile definition:
//   WARDEN_DETACHED    the body is a heartbeat; "start brix" runs once the SCM dispatcher returns;
//   WARDEN_FOREGROUND  the body runs "brix" and waits for it.
#pragma once

#include "warden/win_service.h"

class LauncherService final : public WinService {
  public:
    // Runs the command selected by `command` (the program's first argument, or null to hand the
    // process to the SCM) to its end, then prints its title. Main thread only.
    explicit LauncherService(const char* command);

    const char* GetServiceName() override;
    // Detached: beeps every 5.1 s until a stop is requested. Foreground: runs "brix" until it ends.
    void Run() override;
};
