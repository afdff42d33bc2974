// The POSIX serial port against a real pseudo-terminal: the test holds the
// master side, the module opens the slave as the program would.
#include "platform_error.h"
#include "serial_backend.h"
#include "serial_posix_settings.h"

#include <gtest/gtest.h>

#include "../support/test_pty.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Time for bytes written to one side of a pty to be queued on the other.
constexpr auto SETTLE = std::chrono::milliseconds(50);

struct Pty : test_support::PtyPair {

    // Whatever the slave side sends, until `count` bytes or `wait` passed.
    std::vector<uint8_t> receive(size_t count, std::chrono::milliseconds wait = SETTLE) const {
        std::vector<uint8_t> got;
        const auto end = Clock::now() + wait;
        while (got.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) {
                continue;
            }
            uint8_t buf[1024];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0) {
                got.insert(got.end(), buf, buf + n);
            }
        }
        return got;
    }

    // Waits until the slave side holds `count` unread bytes: a pty hands
    // bytes over to the other side asynchronously. Looks through a second
    // descriptor of the slave (TIOCEXCL lets root open it); falls back to a
    // generous pause elsewhere.
    void wait_queued_at_slave(int count) const {
        const int probe = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        if (probe < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            return;
        }
        const auto end = Clock::now() + std::chrono::seconds(2);
        int queued = 0;
        while (Clock::now() < end && (ioctl(probe, FIONREAD, &queued) != 0 || queued < count)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(probe);
    }

    void send(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

std::vector<uint8_t> every_byte_value() {
    std::vector<uint8_t> bytes(256);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

std::vector<uint8_t> read_port_until(size_t count, std::chrono::milliseconds wait) {
    std::vector<uint8_t> got;
    const auto end = Clock::now() + wait;
    uint8_t b = 0;
    while (got.size() < count && Clock::now() < end) {
        if (com_GetByte(&b)) {
            got.push_back(b);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return got;
}

class SerialPtyTest : public testing::Test {
  protected:
    Pty pty;

    void SetUp() override {
        com_SetOps(nullptr);
        ASSERT_GE(pty.master, 0);
        ASSERT_FALSE(pty.slave.empty());
    }
    void TearDown() override { com_Close(); }

    void open_port() { ASSERT_TRUE(com_Open(pty.slave.c_str())) << pty.slave; }
};

TEST_F(SerialPtyTest, EveryByteValuePassesUnchangedBothWays) {
    open_port();
    const auto bytes = every_byte_value();
    for (const uint8_t b : bytes) {
        com_PutByte(b);
    }
    // The 256th byte sent the buffer without a flush.
    EXPECT_EQ(pty.receive(256, std::chrono::milliseconds(2000)), bytes);

    pty.send(bytes);
    EXPECT_EQ(read_port_until(256, std::chrono::milliseconds(2000)), bytes);
}

void expect_raw_8e1_115200(const termios& tio, bool parity_kept) {
    EXPECT_EQ(cfgetispeed(&tio), B115200);
    EXPECT_EQ(cfgetospeed(&tio), B115200);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    if (parity_kept) {
        EXPECT_EQ(tio.c_cflag & PARENB, static_cast<tcflag_t>(PARENB));
    }
    EXPECT_EQ(tio.c_cflag & PARODD, 0u);
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_iflag &
                  (IXON | IXOFF | IXANY | PARMRK | INPCK | ISTRIP | ICRNL | INLCR | IGNCR | BRKINT),
              0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(SerialSettings, RequestRaw8E1At115200WithoutFlowControl) {
    // Start from a cooked terminal with everything the port must not have.
    termios tio{};
    tio.c_iflag = IXON | IXOFF | IXANY | PARMRK | INPCK | ISTRIP | ICRNL | INLCR | IGNCR | BRKINT;
    tio.c_oflag = OPOST;
    tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cflag = CS7 | PARODD | CSTOPB | CRTSCTS;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 5;
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    com_MakeLineSettings(&tio);
    expect_raw_8e1_115200(tio, true);
}

TEST_F(SerialPtyTest, LineSettingsAreAppliedAsFarAsAPtyKeepsThem) {
    open_port();
    termios tio{};
    // A pty master reports the slave's settings; a pty drops the parity bit.
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    expect_raw_8e1_115200(tio, false);
}

TEST_F(SerialPtyTest, EmptyFlushWritesNothing) {
    open_port();
    com_Flush();
    EXPECT_TRUE(pty.receive(1).empty());
    com_PutByte(0xC0);
    com_Flush();
    com_Flush();
    EXPECT_EQ(pty.receive(2), std::vector<uint8_t>{0xC0});
}

TEST_F(SerialPtyTest, PurgeDropsUnflushedOutputAndQueuedInput) {
    open_port();
    pty.send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    pty.wait_queued_at_slave(10);
    uint8_t b = 0;
    ASSERT_TRUE(com_GetByte(&b)); // the rest is read ahead
    EXPECT_EQ(b, 1);
    pty.send({11, 12, 13}); // and these wait in the OS queue
    pty.wait_queued_at_slave(3);
    for (int i = 0; i < 40; ++i) {
        com_PutByte(0x55);
    }
    com_Purge();
    com_Flush();
    EXPECT_TRUE(pty.receive(1).empty());
    EXPECT_FALSE(com_GetByte(&b));
    pty.send({42});
    EXPECT_EQ(read_port_until(1, std::chrono::milliseconds(2000)), std::vector<uint8_t>{42});
}

TEST_F(SerialPtyTest, ReadWithNothingThereReturnsAtOnce) {
    open_port();
    uint8_t b = 0x33;
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(com_GetByte(&b));
    }
    // A read that waited at all (VTIME, a blocking descriptor) would take far longer.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(b, 0x33);
}

TEST_F(SerialPtyTest, WriteReturnsNoSoonerThanTheBytesAirTime) {
    open_port();
    // 256 bytes of 11 bits at 115200 baud: 24.4 ms on a real line.
    const auto start = Clock::now();
    for (int i = 0; i < 256; ++i) {
        com_PutByte(0x7E);
    }
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::microseconds(256 * 11 * 1000000LL / 115200));
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_EQ(pty.receive(256).size(), 256u);
}

// The far end going away while the port waits for a reply: the wait sees
// the hang-up and the port is lost then, not at the wait's deadline or the
// next write.
TEST_F(SerialPtyTest, FarEndClosingEndsAWaitWithThePortLost) {
    open_port();
    std::thread far_end([this] {
        std::this_thread::sleep_for(SETTLE);
        close(pty.master);
        pty.master = -1;
    });
    const auto start = Clock::now();
    EXPECT_FALSE(com_Wait(5'000'000));
    const auto waited = Clock::now() - start;
    far_end.join();
    EXPECT_LT(waited, std::chrono::seconds(1));
    EXPECT_TRUE(com_PortLost());
}

TEST_F(SerialPtyTest, SecondOpenOfTheSamePortFails) {
    open_port();
    plat_RecordError(0);
    // Another open of the port, as a second run would make, is refused...
    EXPECT_FALSE(com_PlatformOps()->open(pty.slave.c_str()));
    EXPECT_EQ(plat_LastError(), static_cast<uint32_t>(EWOULDBLOCK));
    // ...and the first one keeps working.
    com_PutByte(0x99);
    com_Flush();
    EXPECT_EQ(pty.receive(1), std::vector<uint8_t>{0x99});
}

TEST_F(SerialPtyTest, PortLockedByAnotherOpenerIsRefused) {
    const int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(com_Open(pty.slave.c_str()));
    close(other);
    EXPECT_TRUE(com_Open(pty.slave.c_str()));
}

TEST(SerialOpen, NamesThatAreNoSerialDeviceAreRefused) {
    char dir_pattern[] = "/tmp/serial_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_pattern), nullptr);
    const std::string regular = std::string(dir_pattern) + "/firmware.dfu";
    FILE* f = std::fopen(regular.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("not a port", f);
    std::fclose(f);

    // A local socket opens as "no such device" and /dev/ptmx as a new
    // terminal nobody is at: both are no port.
    const std::string socket_path = std::string(dir_pattern) + "/port.sock";
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    struct Case {
        std::string name;
        int error;
    };
    const Case cases[] = {
        {regular, ENOTTY},     {"/dev/null", ENOTTY},
        {dir_pattern, EISDIR}, {std::string(dir_pattern) + "/missing", ENOENT},
        {socket_path, ENOTTY}, {"/dev/ptmx", ENOTTY},
    };
    com_SetOps(nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        plat_RecordError(0);
        EXPECT_FALSE(com_Open(c.name.c_str()));
        EXPECT_EQ(plat_LastError(), static_cast<uint32_t>(c.error));
    }
    // Nothing was written into the regular file.
    f = std::fopen(regular.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char content[32] = {};
    EXPECT_EQ(std::fread(content, 1, sizeof content, f), 10u);
    std::fclose(f);
    close(listener);
    unlink(socket_path.c_str());
    unlink(regular.c_str());
    rmdir(dir_pattern);
}

} // namespace
