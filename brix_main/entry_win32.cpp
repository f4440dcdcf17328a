// The Windows daemon's entry: a windowless program (GUI subsystem, no window). Its trace lines are
// seen only where its starter redirects standard output.

// Winsock 2 before windows.h, which would otherwise bring in the older winsock.h.
#include <winsock2.h>

#include <windows.h>

#include "brix_main/daemon.h"
#include "brix_main/daemon_config.h"

// Filled by the Windows Sockets start-up.
WSADATA stWSAData;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    WSAStartup(0x0101, &stWSAData);
    const int status = brix_main::run_daemon(BRIX_CONFIG_ADDRESS, BRIX_CONFIG_PORT,
                                             brix_main::built_in_settings());
    WSACleanup();
    return status;
}
