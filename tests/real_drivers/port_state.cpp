// Prints a serial port's driver flags as TIOCGSERIAL reports them, so that
// the real-driver rig can compare a port before and after a run:
//   port_state /dev/ttyS1   ->   serial flags 0x10000040
// With "low-latency" after the port it first sets ASYNC_LOW_LATENCY, as a
// user may have done before the run.
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const bool set_low_latency = argc == 3 && std::strcmp(argv[2], "low-latency") == 0;
    if (argc != 2 && !set_low_latency) {
        std::fprintf(stderr, "usage: port_state PORT [low-latency]\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) {
        std::perror("TIOCGSERIAL");
        return 1;
    }
    if (set_low_latency) {
        info.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(fd, TIOCSSERIAL, &info) != 0 || ioctl(fd, TIOCGSERIAL, &info) != 0) {
            std::perror("TIOCSSERIAL");
            return 1;
        }
    }
    std::printf("serial flags 0x%x%s\n", static_cast<unsigned>(info.flags),
                (info.flags & ASYNC_LOW_LATENCY) != 0 ? " (low latency)" : "");
    close(fd);
    return 0;
}
