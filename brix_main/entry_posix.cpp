// The Linux daemon's entry: the same steps as the Windows program, from main.
#include <fcntl.h>
#include <unistd.h>

#include "brix_main/daemon.h"
#include "brix_main/daemon_config.h"

namespace {

// A daemon started with standard input, output or error closed would get descriptor 0, 1 or 2
// for a socket; the accept loop takes descriptors below 1 as failures and trace lines would go
// into a client's connection. Open /dev/null on any of them that is closed.
void ensure_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

}  // namespace

int main() {
    ensure_standard_descriptors();
    return brix_main::run_daemon(BRIX_CONFIG_ADDRESS, BRIX_CONFIG_PORT,
                                 brix_main::built_in_settings());
}
