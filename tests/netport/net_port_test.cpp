// The network port through com_Open/com_GetByte/com_PutByte against a
// server played in-process on the loopback: the exact bytes the client
// sends (the 8E1 requests once each, doubled 0xFF), what it makes of the
// server's answers, and the lines its failures print.
#include "net_port.h"
#include "serial_backend.h"
#include "telnet_codec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Script = std::function<void(int fd)>;

Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

void send_all(int fd, const Bytes& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// Exactly `n` bytes from the client, or fewer when it stops for 2 s.
Bytes receive(int fd, size_t n) {
    Bytes got;
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        uint8_t buf[256];
        if (poll(&p, 1, 2000) <= 0) {
            break;
        }
        const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
        if (r <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

// A server on 127.0.0.1 that accepts one connection and plays `script` on it.
class FakeServer {
  public:
    explicit FakeServer(Script script) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, script] {
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd >= 0) {
                script(fd);
                close(fd);
            }
        });
    }
    ~FakeServer() {
        shutdown(listener_, SHUT_RDWR); // ends an accept that never came
        thread_.join();
        close(listener_);
    }
    std::string url(const char* scheme) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

  private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

const Bytes OPTIONS = hex("ff fb 00 ff fd 00 ff fb 03 ff fd 03 ff fb 2c ");
const Bytes SETTINGS = hex("ff fa 2c 01 00 01 c2 00 ff f0 ff fa 2c 02 08 ff f0 ff fa 2c 03 03 "
                           "ff f0 ff fa 2c 04 01 ff f0 ff fa 2c 05 01 ff f0 ");
// The answer to the greeting's WILL ECHO, once.
const Bytes DONT_ECHO = hex("ff fe 01 ");
const Bytes PURGE = hex("ff fa 2c 0c 03 ff f0 ");
// ser2net's greeting and answers, the latter in an order of its own.
const Bytes GREETING = hex("ff fb 03 ff fd 03 ff fb 01 ff fe 01 ff fd 00 ff fb 00 ff fd 2c ");
const Bytes ANSWERS = hex("ff fa 2c 69 01 ff f0 ff fa 2c 67 03 ff f0 ff fa 2c 6b 00 ff f0 ff fa "
                          "2c 68 01 ff f0 ff fa 2c 66 08 ff f0 ff fa 2c 65 00 01 c2 00 ff f0 ");

// Bytes from com_GetByte until `n` came, the port was lost, or 2 s passed.
Bytes get_bytes(size_t n) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got.size() < n && !com_PortLost() && std::chrono::steady_clock::now() < end) {
        uint8_t b;
        if (com_GetByte(&b)) {
            got.push_back(b);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return got;
}

class NetPort : public testing::Test {
  protected:
    void SetUp() override {
        com_SetOps(nullptr);
        com_AddBackend(net_PortBackend());
    }
    void TearDown() override { com_Close(); }
};

TEST_F(NetPort, NegotiatesOnceAndCarriesDataAndPurges) {
    Bytes requests, data, purge, rest;
    FakeServer server([&](int fd) {
        send_all(fd, GREETING);
        requests = receive(fd, OPTIONS.size() + DONT_ECHO.size() + SETTINGS.size());
        send_all(fd, ANSWERS);
        data = receive(fd, 6);
        send_all(fd, hex("ff ff 02 "));
        purge = receive(fd, PURGE.size());
        // Stale bytes before the purge's answer are discarded.
        send_all(fd, hex("c0 c0 ff fa 2c 70 03 ff f0 ff ff 7e "));
        rest = receive(fd, 1); // nothing more until the client closes
    });
    ASSERT_TRUE(com_Open(server.url("rfc2217").c_str()));
    for (uint8_t b : hex("ff 01 ff c0 ")) {
        com_PutByte(b);
    }
    com_Flush();
    EXPECT_EQ(get_bytes(2), hex("ff 02 "));
    com_Purge();
    EXPECT_EQ(get_bytes(2), hex("ff 7e "));
    com_Close();
    Bytes want = OPTIONS;
    want.insert(want.end(), DONT_ECHO.begin(), DONT_ECHO.end());
    want.insert(want.end(), SETTINGS.begin(), SETTINGS.end());
    EXPECT_EQ(requests, want);
    EXPECT_EQ(data, hex("ff ff 01 ff ff c0 "));
    EXPECT_EQ(purge, PURGE);
    EXPECT_EQ(rest, Bytes{});
}

struct FailureCase {
    const char* name;
    const char* scheme;
    Script script;
    bool opens;        // com_Open succeeds, the failure comes with the first read
    std::string lines; // everything the port prints
};

TEST_F(NetPort, FailuresSayWhy) {
    const std::vector<FailureCase> cases = {
        {"COM-PORT-OPTION refused", "rfc2217",
         [](int fd) {
             receive(fd, OPTIONS.size());
             send_all(fd, hex("ff fc 00 ff fe 2c "));
             receive(fd, 1);
         },
         false, "Network port: the server refused COM-PORT-OPTION\n"},
        {"parity answered none", "rfc2217",
         [](int fd) {
             send_all(fd, GREETING);
             receive(fd, OPTIONS.size() + DONT_ECHO.size() + SETTINGS.size());
             Bytes answers = ANSWERS;
             answers[11] = 0x01; // SET-PARITY answer: NONE
             send_all(fd, answers);
             receive(fd, 1);
         },
         false, "Network port: the server did not confirm 115200 8E1 (SET-PARITY answered 1)\n"},
        {"telnet server busy", "rfc2217",
         [](int fd) {
             send_all(fd, GREETING);
             send_all(fd, hex("50 6f 72 74 20 61 6c 72 65 61 64 79 20 69 6e 20 75 73 65 0d 0a "));
         },
         false, "Network port: the server closed the connection: \"Port already in use\"\n"},
        {"raw server busy", "socket",
         [](int fd) {
             const std::string text = "Port's device already in use\r\n";
             send_all(fd, Bytes(text.begin(), text.end()));
         },
         true,
         "Serial port lost: the server closed the connection: \"Port's device already in "
         "use\"\n"},
        {"a subnegotiation that never ends, mid-run", "rfc2217",
         [](int fd) {
             send_all(fd, GREETING);
             receive(fd, OPTIONS.size() + DONT_ECHO.size() + SETTINGS.size());
             send_all(fd, ANSWERS);
             Bytes endless = hex("ff fa 2c ");
             endless.resize(endless.size() + TELNET_SB_ENDLESS + 1, 0x41);
             send_all(fd, endless);
             receive(fd, 1);
         },
         true,
         "Serial port lost: the server sent a malformed Telnet stream (a subnegotiation that "
         "does not end)\n"},
        {"closed mid-run", "rfc2217",
         [](int fd) {
             send_all(fd, GREETING);
             receive(fd, OPTIONS.size() + DONT_ECHO.size() + SETTINGS.size());
             send_all(fd, ANSWERS);
             send_all(fd, hex("c0 41 "));
         },
         true, "Serial port lost: the server closed the connection\n"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer server(c.script);
        testing::internal::CaptureStdout();
        const bool opened = com_Open(server.url(c.scheme).c_str());
        if (opened) {
            get_bytes(3);
        }
        com_Close();
        EXPECT_EQ(opened, c.opens);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.lines);
    }
}

} // namespace
