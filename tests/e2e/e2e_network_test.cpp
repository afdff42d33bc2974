// tarnload through a real ser2net to tarnsim: complete updates over both
// kinds of network port, and the failures a network adds, each with its
// reason line before the stage's own and exit status 1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "file_bytes.h"
#include "ser2net_server.h"
#include "sim_dfu_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int RUN_TIMEOUT_MS = 30000;
const std::string SUCCESS = "Operation complete, the new application should now be running\n";

class NetworkUpdate : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = testing::TempDir() + "tarn_net_" + std::to_string(getpid()) + "_";
    }
    void TearDown() override {
        for (const char* f : {"fw.dfu", "image.bin"}) {
            std::remove((dir_ + f).c_str());
        }
    }

    // Writes the firmware file for `image` (the 100-byte header included
    // by BuildDfuFile); returns what the device must receive.
    Bytes WriteFirmware(const Bytes& payload) {
        const Bytes file = sim::BuildDfuFile(payload, 0x1D50, 0x6089, "net firmware");
        e2e::WriteBytes(dir_ + "fw.dfu", file);
        return Bytes(file.begin(), file.end() - 16);
    }

    Bytes ReadImage() { return e2e::ReadBytes(dir_ + "image.bin"); }

    // Starts tarnsim and a ser2net serving its pty.
    void StartDevice() {
        ASSERT_TRUE(device_.Start({TARNSIM_PATH, "--quiet", "--image-out", dir_ + "image.bin"}));
        const std::string pty = device_.ReadLine(5000);
        ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << "tarnsim printed: " << pty;
        ASSERT_TRUE(server_.Start(pty)) << server_.Error();
    }

    e2e::RunResult Run(const std::string& port) {
        return e2e::Run({TARNLOAD_PATH, port, dir_ + "fw.dfu"}, RUN_TIMEOUT_MS);
    }

    std::string dir_;
    e2e::Peer device_;
    e2e::Ser2net server_; // after the device: stopped first
};

TEST_F(NetworkUpdate, CompleteUpdatesArriveIntact) {
    struct Case {
        const char* name;
        bool telnet;
        Bytes payload;
    };
    const Case cases[] = {
        // Every data byte is the Telnet escape.
        {"rfc2217, an image of 0xFF bytes", true, Bytes(6000, 0xFF)},
        {"socket, random bytes", false, sim::RandomBytes(6000, 7)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes image = WriteFirmware(c.payload);
        StartDevice();
        const e2e::RunResult run = Run(c.telnet ? server_.Rfc2217Url() : server_.SocketUrl());
        server_.Stop();
        device_.Stop(0);
        EXPECT_EQ(run.exit_status, 0) << run.output;
        ASSERT_GE(run.output.size(), SUCCESS.size());
        EXPECT_EQ(run.output.substr(run.output.size() - SUCCESS.size()), SUCCESS) << run.output;
        EXPECT_TRUE(ReadImage() == image) << "the device's image differs";
    }
}

// A port nothing listens on: one that was free a moment ago.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

TEST_F(NetworkUpdate, CannotOpen) {
    WriteFirmware(Bytes(100, 1));
    const std::string refused = "socket://127.0.0.1:" + std::to_string(FreePort());
    e2e::RunResult run = Run(refused);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.output,
              "Network port: connection refused\nCannot open com port \"" + refused + "\"\n");

    run = Run("rfc2217://nosuch.invalid:2217");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.output.rfind("Network port: unknown host \"nosuch.invalid\" (", 0), 0u);
    EXPECT_NE(run.output.find(")\nCannot open com port \"rfc2217://nosuch.invalid:2217\"\n"),
              std::string::npos)
        << run.output;

    // Somebody else holds the device: ser2net says so and closes.
    StartDevice();
    const int holder = e2e::ConnectLoopback(server_.RawPort());
    ASSERT_GE(holder, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run = Run(server_.Rfc2217Url());
    close(holder);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.output, "Network port: the server closed the connection: \"Port's device "
                          "already in use\"\nCannot open com port \"" +
                              server_.Rfc2217Url() + "\"\n");
}

// The server goes away in the middle of the download: the run ends at
// once, with the reason, not after the retries of a silent device.
TEST_F(NetworkUpdate, ServerClosingMidRun) {
    WriteFirmware(sim::RandomBytes(60000, 3));
    StartDevice();
    std::chrono::steady_clock::time_point stopped;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        server_.Stop();
        stopped = std::chrono::steady_clock::now();
    });
    const e2e::RunResult run = Run(server_.Rfc2217Url());
    const auto ended = std::chrono::steady_clock::now();
    stopper.join();
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.output.find("\nSerial port lost: the server closed the connection\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("Operation complete"), std::string::npos);
    EXPECT_LT(ended - stopped, std::chrono::seconds(1)) << run.output;
}

} // namespace
