// tarnsim on a real pseudo-terminal: it names its port first, answers a
// sync there, and leaves on SIGTERM with its statistics written.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(SimPty, PrintsItsPortAndAnswersSync) {
    const std::string stats = "/tmp/tarnsim_pty_stats_" + std::to_string(getpid());
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(TARNSIM_PATH, "tarnsim", "--quiet", "--stats", stats.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string port;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        port += c;
    }
    ASSERT_EQ(port.rfind("/dev/", 0), 0u) << port;

    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    const uint8_t sync[] = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0};
    const std::vector<uint8_t> sync_resp = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC,
                                            0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0};
    ASSERT_EQ(write(fd, sync, sizeof sync), static_cast<ssize_t>(sizeof sync));
    std::vector<uint8_t> got;
    bool answered = false;
    for (int waited = 0; waited < 3000 && !answered; waited += 20) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            uint8_t buf[256];
            const ssize_t n = read(fd, buf, sizeof buf);
            got.insert(got.end(), buf, buf + std::max<ssize_t>(n, 0));
            answered = std::search(got.begin(), got.end(), sync_resp.begin(), sync_resp.end()) !=
                       got.end();
        }
    }
    EXPECT_TRUE(answered);
    close(fd);

    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(stats);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("host_frames=1\n"), std::string::npos) << text.str();
    std::remove(stats.c_str());
}

} // namespace
