// Closed standard descriptors taken by /dev/null on POSIX systems.
#include "platform_std_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void plat_GuardStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // open takes the lowest free number, which is `fd`: the ones below
        // it are open by now.
        const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}
