// The ser2net harness the network port tests stand on: both of its ports
// reach the pseudo-terminal, the raw one transparently both ways, the Telnet
// one with RFC 2217 on; and stopping it leaves nothing behind.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "ser2net_server.h"
#include "test_pty.h"

namespace {

constexpr int WAIT_MS = 2000;

// Reads from `fd` until `wanted` has come or WAIT_MS has passed.
std::string ReadUntil(int fd, const std::string& wanted) {
    std::string got;
    while (got.find(wanted) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, WAIT_MS) <= 0) {
            break;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EAGAIN) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST(Ser2netHarness, BothPortsReachThePtyAndStoppingLeavesNothing) {
    test_support::PtyPair device;
    ASSERT_FALSE(device.slave.empty());
    e2e::Ser2net server;
    ASSERT_TRUE(server.Start(device.slave)) << server.Error();
    EXPECT_NE(server.RawPort(), server.Rfc2217Port());

    // Raw: every byte value passes unchanged, 0xFF included.
    const std::string to_device("\x00\x7e\xc0\xff\xff\x0d\x0a", 7);
    const std::string from_device("\xff\xc0\x00\xfe", 4);
    {
        const int raw = e2e::ConnectLoopback(server.RawPort());
        ASSERT_GE(raw, 0);
        ASSERT_EQ(write(raw, to_device.data(), to_device.size()),
                  static_cast<ssize_t>(to_device.size()));
        EXPECT_EQ(ReadUntil(device.master, to_device), to_device);
        ASSERT_EQ(write(device.master, from_device.data(), from_device.size()),
                  static_cast<ssize_t>(from_device.size()));
        EXPECT_EQ(ReadUntil(raw, from_device), from_device);
        close(raw);
    }

    // Telnet: among its opening option requests the server asks for the
    // COM port option (IAC DO 44); plain Telnet would not, plain TCP would
    // stay silent.
    {
        const int telnet = e2e::ConnectLoopback(server.Rfc2217Port());
        ASSERT_GE(telnet, 0);
        const std::string do_com_port("\xff\xfd\x2c", 3);
        EXPECT_NE(ReadUntil(telnet, do_com_port).find(do_com_port), std::string::npos);
        close(telnet);
    }

    const pid_t pid = server.Pid();
    const std::string config = server.ConfigPath();
    ASSERT_EQ(access(config.c_str(), F_OK), 0);
    server.Stop();
    EXPECT_NE(kill(pid, 0), 0) << "ser2net still running";
    EXPECT_NE(access(config.c_str(), F_OK), 0) << "configuration left behind";
    EXPECT_EQ(e2e::ConnectLoopback(server.RawPort()), -1);
}

} // namespace
