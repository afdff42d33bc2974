// Connect, enter dfuIDLE and download against the device model on the
// in-memory line, on virtual time.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <unistd.h>

#include "bcsp_link.h"
#include "dfu_file.h"
#include "dfu_requests.h"
#include "dfu_transport.h"
#include "dfu_update.h"
#include "sim_device.h"
#include "sim_dfu_file.h"
#include "sim_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* DESCRIPTION = "in-process image";
constexpr uint16_t FILE_VID = 0x1D50;
constexpr uint16_t FILE_PID = 0x6089;

std::string Hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v);
    return buf;
}

class UpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = testing::TempDir() + "dfu_update_test_" + std::to_string(getpid()) + ".dfu";
        bcsp_Init();
        dfu_TransportInit();
        device_descriptor = DeviceDescriptor{};
        functional_descriptor = DfuFunctionalDescriptor{};
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        line_.reset();
        device_.reset();
        bcsp_Init();
        const std::string text = testing::internal::GetCapturedStdout();
        if (HasFailure()) {
            std::fputs(text.c_str(), stdout);
        }
        std::remove(path_.c_str());
    }

    // Writes a firmware file whose image is a header plus `body`, opens it
    // and starts the device.
    void Start(const Bytes& body, uint64_t start_us = 0) {
        file_ = sim::BuildDfuFile(body, FILE_VID, FILE_PID, DESCRIPTION);
        image_.assign(file_.begin(), file_.end() - sim::DFU_FILE_SUFFIX_SIZE);
        WriteFile(file_);
        ASSERT_TRUE(dfufile_Open(path_.c_str(), nullptr));
        device_ = std::make_unique<sim::Device>(config, start_us);
        line_ = std::make_unique<sim::InProcessLine>(*device_);
        Printed();
    }
    void WriteFile(const Bytes& bytes) {
        FILE* f = std::fopen(path_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        if (!bytes.empty()) {
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        std::fclose(f);
    }
    std::string Printed() {
        std::string text = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return text;
    }
    // The number of DNLOAD requests the device received, and of those with
    // no data.
    size_t Downloads(bool empty_only = false) const {
        size_t n = 0;
        for (const auto& r : device_->Requests()) {
            n += r.request == DFU_DNLOAD && (!empty_only || r.length == 0);
        }
        return n;
    }
    std::string IdentityLines(const sim::Identity& id) {
        return "VID: 0x" + Hex4(id.Vid()) + ", PID: 0x" + Hex4(id.Pid()) + "\n";
    }

    sim::DeviceConfig config;
    std::unique_ptr<sim::Device> device_;
    std::unique_ptr<sim::InProcessLine> line_;
    std::string path_;
    Bytes file_;
    Bytes image_;
};

TEST_F(UpdateTest, FullUpdateFromApplicationModeAcrossATickWrap) {
    config.busy_answers = 1;
    config.busy_poll_timeout_ms = 3;
    // Virtual time starts 2 s before the 32-bit millisecond tick wraps.
    Start(sim::RandomBytes(60 * 230, 7), (uint64_t{1} << 32) * 1000 - 2'000'000);
    ASSERT_TRUE(dfu_Connect());
    ASSERT_TRUE(dfu_EnterIdle());
    const uint32_t download_start = line_->NowMs();
    ASSERT_TRUE(dfu_DownloadImage());
    const uint32_t elapsed_ms = line_->NowMs() - download_start;

    const size_t blocks = (image_.size() + 229) / 230;
    const std::string out = Printed();
    const std::string head = "BCSP communication established\n" + IdentityLines(config.app) +
                             "Max detach timeout 1000 ms\nMTU 230 bytes\n"
                             "Device in App mode - executing detach\n"
                             "BCSP communication re-established\n" +
                             IdentityLines(config.dfu) +
                             "DFU capabilities: WillDetach ManifestTollerant Download \n"
                             "MTU 230 bytes\nDevice in DFU mode\nDownloading\n";
    ASSERT_EQ(out.substr(0, head.size()), head);

    std::string progress;
    uint32_t sent = 0;
    for (size_t b = 1; b <= blocks; ++b) {
        progress += ".";
        sent += static_cast<uint32_t>(std::min<size_t>(230, image_.size() - (b - 1) * 230));
        if (b % 50 == 0) {
            progress += std::to_string(sent) + "\n";
        }
        progress += "Device BUSY, sleeping 3\n";
    }
    progress += "done\nManifest\nManifest complete, resetting device\n";
    ASSERT_EQ(out.substr(head.size(), progress.size()), progress);

    const std::string report = out.substr(head.size() + progress.size());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(report, m,
                                 std::regex("Download time: ([0-9]+\\.[0-9]) s \\(([0-9]+) "
                                            "Bytes/s\\)\nManifest time: ([0-9]+\\.[0-9]) s\n"
                                            "Total time: ([0-9]+\\.[0-9]) s\n")))
        << report;
    const double download_s = std::stod(m[1]);
    const double rate = std::stod(m[2]);
    const double manifest_s = std::stod(m[3]);
    const double total_s = std::stod(m[4]);
    // The report comes from tick differences, so the wrap changes nothing.
    EXPECT_GT(download_s, 0.0);
    EXPECT_NEAR(download_s + manifest_s, total_s, 0.11);
    EXPECT_LE(total_s, elapsed_ms / 1000.0 + 0.05);
    EXPECT_NEAR(rate, image_.size() / download_s, image_.size() / download_s * 0.1);

    EXPECT_EQ(device_->Image(), image_);
    EXPECT_TRUE(device_->ManifestationDone());
}

// The device-requested sleeps are taken, and the rate covers the download
// alone: a GETSTATUS that follows a busy or manifesting answer comes no
// sooner than that answer's poll time-out, and a manifestation of seconds
// leaves the reported rate alone.
TEST_F(UpdateTest, PollTimeoutsAreSleptAndTheRateCoversTheDownloadOnly) {
    config.busy_answers = 1;
    config.busy_poll_timeout_ms = 40;
    config.manifest_answers = 2;
    config.manifest_poll_timeout_ms = 3000;
    Start(sim::RandomBytes(8 * 230, 3));
    ASSERT_TRUE(dfu_Connect());
    ASSERT_TRUE(dfu_EnterIdle());
    ASSERT_TRUE(dfu_DownloadImage());
    const std::string out = Printed();

    const auto& requests = device_->Requests();
    size_t download_first = requests.size();
    size_t download_last = 0;
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].request == DFU_DNLOAD) {
            download_first = std::min(download_first, i);
            download_last = i;
        }
    }
    ASSERT_LT(download_first, download_last);
    struct Gap {
        const char* after;
        size_t from, to; // request indexes that bound the phase
        uint8_t waiting_state;
        uint64_t min_us;
        size_t want;
    };
    const Gap gaps[] = {
        {"busy answers", download_first, download_last, DFU_STATE_DNBUSY, 40'000, 9},
        {"manifestation answers", download_last, requests.size(), DFU_STATE_MANIFEST, 3'000'000, 2},
    };
    for (const Gap& g : gaps) {
        SCOPED_TRACE(g.after);
        size_t seen = 0;
        for (size_t i = g.from + 1; i < g.to; ++i) {
            if (requests[i].request == DFU_GETSTATUS &&
                requests[i].state_before == g.waiting_state) {
                ++seen;
                ASSERT_EQ(requests[i - 1].request, DFU_GETSTATUS);
                EXPECT_GE(requests[i].time_us - requests[i - 1].time_us, g.min_us)
                    << "request " << i;
            }
        }
        EXPECT_EQ(seen, g.want);
    }

    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("Download time: ([0-9.]+) s \\(([0-9]+) ")))
        << out;
    const double download_s =
        double(requests[download_last].time_us - requests[download_first].time_us) / 1e6;
    EXPECT_NEAR(std::stod(m[2]), double(image_.size()) / download_s,
                double(image_.size()) / download_s * 0.25);
}

TEST_F(UpdateTest, EnterIdleFromEachStartingState) {
    struct Case {
        const char* name;
        uint8_t start_state;
        bool will_detach;
        uint16_t refuse_clear;
        bool want;
        const char* want_printed; // after the connect lines
        uint8_t want_clears;
    };
    const Case cases[] = {
        {"dfuIDLE", 2, true, 0, true, "Device in DFU mode\n", 0},
        {"dfuERROR", 10, true, 0, true,
         "Device in error state - clearing error\nDevice in DFU mode\n", 1},
        {"dfuERROR, clearing refused", 10, true, 0x0E, false,
         "Device in error state - clearing error\ndfu_ReceivePacket \n", 1},
        {"unexpected state: the reset starts the application, which detaches", 5, true, 0, true,
         "Device in unexpected state - resetting\nDevice in App mode - executing detach\n"
         "BCSP communication re-established\nVID: 0x7A52, PID: 0x0101\n"
         "DFU capabilities: WillDetach ManifestTollerant Download \nMTU 230 bytes\n"
         "Device in DFU mode\n",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config.start_state = c.start_state;
        config.clear_status_refusal = c.refuse_clear;
        Start({1, 2, 3});
        ASSERT_TRUE(dfu_Connect());
        Printed();
        EXPECT_EQ(dfu_EnterIdle(), c.want);
        EXPECT_EQ(Printed(), c.want_printed);
        size_t clears = 0;
        for (const auto& r : device_->Requests()) {
            clears += r.request == DFU_CLRSTATUS;
        }
        EXPECT_EQ(clears, c.want_clears);
        TearDown();
        SetUp();
    }
}

TEST_F(UpdateTest, ShortStatusReplyEndsEnterIdleOnOneLine) {
    config.short_status = true;
    Start({1});
    ASSERT_TRUE(dfu_Connect());
    Printed();
    EXPECT_FALSE(dfu_EnterIdle());
    EXPECT_EQ(Printed(), "Get status receive packet failed"
                         "Unable to get status of device\n");
}

TEST_F(UpdateTest, MuteDeviceFailsConnectSilentlyAfter5000Ticks) {
    config.mute = true;
    Start({1});
    EXPECT_FALSE(dfu_Connect());
    EXPECT_EQ(line_->NowMs(), 5000u);
    EXPECT_EQ(Printed(), "");
}

TEST_F(UpdateTest, TransferSizeZeroRefusesANonEmptyImageBeforeAnyBlock) {
    config.start_state = 2;
    config.dfu.transfer_size = 0;
    Start({1, 2, 3});
    ASSERT_TRUE(dfu_Connect());
    ASSERT_TRUE(dfu_EnterIdle());
    Printed();
    EXPECT_FALSE(dfu_DownloadImage());
    EXPECT_EQ(Printed(), "Device transfer size is 0 - cannot download a non-empty image\n");
    EXPECT_EQ(Downloads(), 0u);
    EXPECT_FALSE(device_->ImageComplete());
}

TEST_F(UpdateTest, FirmwareReadErrorFailsTheDownloadWithoutEndingTheImage) {
    config.start_state = 2;
    config.busy_answers = 0;
    Start(sim::RandomBytes(20000, 3));
    ASSERT_TRUE(dfu_Connect());
    ASSERT_TRUE(dfu_EnterIdle());
    // The file shrinks under the open reader (beyond what stdio buffered).
    ASSERT_EQ(truncate(path_.c_str(), 300), 0);
    Printed();
    EXPECT_FALSE(dfu_DownloadImage());
    const std::string out = Printed();
    EXPECT_NE(out.find("Firmware file read error\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("done\n"), std::string::npos) << out;
    EXPECT_EQ(Downloads(true), 0u);
    EXPECT_FALSE(device_->ImageComplete());
}

TEST_F(UpdateTest, ManifestationWaitingForResetEndsWithoutResetOrReport) {
    config.start_state = 2;
    config.manifest_final_state = 8;
    config.manifest_answers = 2;
    Start(sim::RandomBytes(10, 1));
    ASSERT_TRUE(dfu_Connect());
    ASSERT_TRUE(dfu_EnterIdle());
    Printed();
    EXPECT_TRUE(dfu_DownloadImage());
    EXPECT_EQ(Printed(), "Downloading\n.Device BUSY, sleeping 5\ndone\nManifest\n");
    EXPECT_EQ(device_->Requests().back().request, DFU_GETSTATUS);
    EXPECT_EQ(device_->Image(), image_);
}

} // namespace

namespace {

TEST_F(UpdateTest, DeviceFallingSilentAfterConnect) {
    const std::string retries = "dfu_SendPacket timed out, retry 0\n"
                                "dfu_SendPacket timed out, retry 1\n"
                                "dfu_SendPacket timed out, retry 2\n"
                                "dfu_SendPacket timed out, retry 3\n";
    struct Case {
        const char* name;
        bool (*stage)();
        bool want;
        uint32_t want_ms;
        std::string want_printed;
    };
    const Case cases[] = {
        {"status request", dfu_EnterIdle, false, 4 * 5000,
         retries + "Get status send packet failed\nUnable to get status of device\n"},
        {"reset request", dfu_ResetDevice, true, 4 * 300, retries},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config.start_state = 2;
        Start({1, 2, 3});
        ASSERT_TRUE(dfu_Connect());
        Printed();
        device_->Config().mute = true;
        const uint32_t start = line_->NowMs();
        EXPECT_EQ(c.stage(), c.want);
        EXPECT_EQ(line_->NowMs() - start, c.want_ms);
        EXPECT_EQ(Printed(), c.want_printed);
        TearDown();
        SetUp();
    }
}

} // namespace

namespace {

// The device restarts right after answering the first request; the second
// one is lost on the way and must go out again on the new link.
TEST_F(UpdateTest, RequestLostToADeviceRestartIsSentAgain) {
    config.start_state = 2;
    config.restart_after_request = 1;
    Start({1, 2, 3});
    EXPECT_TRUE(dfu_Connect());
    EXPECT_EQ(Printed(), "BCSP communication established\n" + IdentityLines(config.dfu) +
                             "dfu_SendPacket detected a peer reset\n"
                             "Max detach timeout 1000 ms\nMTU 230 bytes\n");
    EXPECT_EQ(device_->Stats().restarts, 1u);
}

} // namespace

namespace {

// A device that restarts once it holds part of the image has lost it: the
// download must fail, whatever state the restarted device reports.
TEST_F(UpdateTest, DeviceRestartDuringDownloadOrManifestationFailsIt) {
    struct Case {
        const char* name;
        int32_t restart_after_block;
        uint32_t restart_after_request;
        const char* want_line;
    };
    // Requests before the download: 8, 9, GETSTATUS, GETSTATUS; then per
    // block DNLOAD and GETSTATUS; the end-of-image DNLOAD is request 9 here.
    const Case cases[] = {
        {"after block 1", 1, 0, "\nDevice restarted during download - aborting\n"},
        {"after the end-of-image block", -1, 9,
         "\nDevice restarted during manifestation - aborting\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        config.start_state = 2;
        config.busy_answers = 0;
        config.restart_after_block = c.restart_after_block;
        config.restart_after_request = c.restart_after_request;
        Start(sim::RandomBytes(300, 4));
        ASSERT_TRUE(dfu_Connect());
        ASSERT_TRUE(dfu_EnterIdle());
        Printed();
        EXPECT_FALSE(dfu_DownloadImage());
        const std::string out = Printed();
        EXPECT_NE(out.find(c.want_line), std::string::npos) << out;
        EXPECT_EQ(out.find("Manifest complete"), std::string::npos) << out;
        EXPECT_EQ(device_->Stats().restarts, 1u);
        TearDown();
        SetUp();
    }
}

} // namespace
