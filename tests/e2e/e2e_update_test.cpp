// Complete runs of tarnload against tarnsim over a pseudo-terminal: the
// exact standard output (timing figures by pattern), the exit status, and
// the image the device received compared byte for byte with the file's.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "file_bytes.h"
#include "sim_dfu_file.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t FILE_VID = 0x1D50;
constexpr uint16_t FILE_PID = 0x6089;
constexpr const char* DESCRIPTION = "e2e firmware";
// Identity tarnsim reports by default.
constexpr const char* APP_ID = "VID: 0x7A52, PID: 0x0100\n";
constexpr const char* DFU_ID = "VID: 0x7A52, PID: 0x0101\n";
constexpr int RUN_TIMEOUT_MS = 20000;

const std::string FILE_LINES =
    std::string("DFU file: ") + DESCRIPTION + "\nDFU file VID: 0x1D50, PID: 0x6089\n";
const std::string TIMING = "{TIMING}";
const std::string SUCCESS = "Operation complete, the new application should now be running\n";
const std::string FAILED = "Download failed\n";

std::string Connect(const char* id, int mtu = 230) {
    return std::string("BCSP communication established\n") + id +
           "Max detach timeout 1000 ms\nMTU " + std::to_string(mtu) + " bytes\n";
}

std::string Detach(int mtu = 230) {
    return std::string("Device in App mode - executing detach\n"
                       "BCSP communication re-established\n") +
           DFU_ID + "DFU capabilities: WillDetach ManifestTollerant Download \nMTU " +
           std::to_string(mtu) + " bytes\n";
}

// Dots, running totals and busy lines for an image of `size` bytes sent in
// blocks of `block`; the last `stop_after` block is the last one sent.
std::string Blocks(size_t size, size_t block, const std::string& busy = "",
                   size_t stop_after = SIZE_MAX) {
    std::string out;
    size_t sent = 0;
    for (size_t b = 1; sent < size && b <= stop_after; ++b) {
        out += ".";
        sent += std::min(block, size - sent);
        if (b % 50 == 0) {
            out += std::to_string(sent) + "\n";
        }
        if (b < stop_after) {
            out += busy;
        }
    }
    return out;
}

std::string Busy(int answers, int ms) {
    std::string out;
    for (int i = 0; i < answers; ++i) {
        out += "Device BUSY, sleeping " + std::to_string(ms) + "\n";
    }
    return out;
}

const std::string MANIFEST_DONE =
    "done\nManifest\nManifest complete, resetting device\n" + TIMING + SUCCESS;

// How the run's standard streams are given to it.
enum class Stdio {
    OPEN,
    STDOUT_CLOSED,        // `>&-`: nothing to capture
    STDERR_CLOSED_TRACED, // `2>&-` with the trace on standard error
};

struct Case {
    std::string name;
    std::vector<std::string> sim_args;
    long image_size;  // 100 or more: the header is part of the image
    std::string want; // TIMING marks the timing report
    int want_status;
    bool want_image; // the device holds exactly the file's image
    bool strip_frame_errors = false;
    int max_ms = 0; // the run ends within this (0: RUN_TIMEOUT_MS)
    Stdio stdio = Stdio::OPEN; // not OPEN: the device must see no damaged frame
};

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = testing::TempDir() + "tarn_e2e_" + std::to_string(getpid()) + "_";
    }
    void TearDown() override {
        for (const char* f : {"fw.dfu", "image.bin", "stats.txt", "trace.fifo"}) {
            std::remove((dir_ + f).c_str());
        }
    }

    // The firmware file for an image of `image_size` bytes; returns the image.
    Bytes WriteFirmware(long image_size) {
        const Bytes file =
            sim::BuildDfuFile(sim::RandomBytes(static_cast<uint64_t>(image_size - 100), 5),
                              FILE_VID, FILE_PID, DESCRIPTION);
        e2e::WriteBytes(dir_ + "fw.dfu", file);
        return Bytes(file.begin(), file.end() - 16);
    }

    Bytes ReadImage() { return e2e::ReadBytes(dir_ + "image.bin"); }

    void Check(const Case& c) {
        SCOPED_TRACE(c.name);
        const Bytes image = WriteFirmware(c.image_size);
        std::vector<std::string> sim = {TARNSIM_PATH,       "--quiet", "--image-out",
                                        dir_ + "image.bin", "--stats", dir_ + "stats.txt"};
        sim.insert(sim.end(), c.sim_args.begin(), c.sim_args.end());
        e2e::Peer device;
        ASSERT_TRUE(device.Start(sim));
        const std::string pty = device.ReadLine(5000);
        ASSERT_EQ(pty.rfind("/dev/", 0), 0u) << "tarnsim printed: " << pty;

        std::vector<std::string> argv = {TARNLOAD_PATH, pty, dir_ + "fw.dfu"};
        if (c.stdio == Stdio::STDOUT_CLOSED) {
            argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$1\" \"$2\" >&-"});
        } else if (c.stdio == Stdio::STDERR_CLOSED_TRACED) {
            argv.insert(argv.begin(), {"/usr/bin/env", "TARNLOAD_TRACE=-", "/bin/sh", "-c",
                                       "exec \"$0\" \"$1\" \"$2\" 2>&-"});
        }
        const auto start = std::chrono::steady_clock::now();
        const e2e::RunResult run = e2e::Run(argv, RUN_TIMEOUT_MS);
        const auto took = std::chrono::steady_clock::now() - start;
        // tarnsim ends at its SIGTERM and writes its statistics.
        device.Stop(0);
        if (c.max_ms != 0) {
            EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(),
                      c.max_ms);
        }
        EXPECT_EQ(run.exit_status, c.want_status);
        if (c.stdio != Stdio::OPEN) {
            // A console line or trace line written into the port would reach
            // the device as damaged frames.
            const Bytes stats = e2e::ReadBytes(dir_ + "stats.txt");
            const std::string text(stats.begin(), stats.end());
            EXPECT_NE(text.find("\nframe_errors=0\n"), std::string::npos) << text;
        }

        std::string out = run.output;
        if (c.strip_frame_errors) {
            // The injected faults must have shown; the rest of the run is as usual.
            EXPECT_NE(out.find("\n######################## "), std::string::npos) << out;
            out = std::regex_replace(out, std::regex("\n######################## [^\n]*\n"), "");
        }
        const std::string want = c.stdio == Stdio::STDOUT_CLOSED ? "" : FILE_LINES + c.want;
        const size_t mark = want.find(TIMING);
        if (mark == std::string::npos) {
            EXPECT_EQ(out, want);
        } else {
            const std::string after = want.substr(mark + TIMING.size());
            ASSERT_GE(out.size(), mark + after.size()) << out;
            EXPECT_EQ(out.substr(0, mark), want.substr(0, mark));
            EXPECT_EQ(out.substr(out.size() - after.size()), after);
            const std::string report = out.substr(mark, out.size() - after.size() - mark);
            EXPECT_TRUE(std::regex_match(
                report, std::regex("Download time: [0-9]+\\.[0-9] s \\(([0-9]+|inf|-?nan) "
                                   "Bytes/s\\)\nManifest time: [0-9]+\\.[0-9] s\n"
                                   "Total time: [0-9]+\\.[0-9] s\n")))
                << report;
        }
        if (c.want_image) {
            EXPECT_EQ(ReadImage(), image);
        }
    }

    std::string dir_;
};

TEST_F(EndToEnd, SuccessfulUpdates) {
    const std::string quiet_blocks = "--busy-answers=0";
    const std::vector<Case> cases = {
        {"application mode with will-detach, never busy",
         {quiet_blocks},
         700,
         Connect(APP_ID) + Detach() + "Device in DFU mode\nDownloading\n" + Blocks(700, 230) +
             MANIFEST_DONE,
         0,
         true},
        {"application mode without will-detach",
         {"--no-will-detach", quiet_blocks},
         500,
         Connect(APP_ID) + Detach() + "Device in DFU mode\nDownloading\n" + Blocks(500, 230) +
             MANIFEST_DONE,
         0,
         true},
        {"already in dfuIDLE",
         {"--start=dfu-idle", quiet_blocks},
         230 * 3,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(690, 230) + MANIFEST_DONE,
         0,
         true},
        {"dfuERROR, then dfuIDLE",
         {"--start=error", quiet_blocks},
         300,
         Connect(DFU_ID) +
             "Device in error state - clearing error\nDevice in DFU mode\nDownloading\n" +
             Blocks(300, 230) + MANIFEST_DONE,
         0,
         true},
        {"unexpected state: the reset starts the application, which detaches",
         {"--start=5", quiet_blocks},
         300,
         Connect(DFU_ID) + "Device in unexpected state - resetting\n" + Detach() +
             "Device in DFU mode\nDownloading\n" + Blocks(300, 230) + MANIFEST_DONE,
         0,
         true},
        {"busy blocks",
         {"--start=dfu-idle", "--busy-answers=3", "--busy-poll-ms=2"},
         400,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(400, 230, Busy(3, 2)) +
             MANIFEST_DONE,
         0,
         true},
        {"transfer size 64",
         {"--start=dfu-idle", "--transfer-size=64", quiet_blocks},
         300,
         Connect(DFU_ID, 64) + "Device in DFU mode\nDownloading\n" + Blocks(300, 64) +
             MANIFEST_DONE,
         0,
         true},
        {"transfer size above 230",
         {"--start=dfu-idle", "--transfer-size=300", quiet_blocks},
         500,
         Connect(DFU_ID, 300) + "Device in DFU mode\nDownloading\n" + Blocks(500, 230) +
             MANIFEST_DONE,
         0,
         true},
        {"image of the header alone",
         {"--start=dfu-idle", quiet_blocks},
         100,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(100, 230) + MANIFEST_DONE,
         0,
         true},
        {"more than 50 blocks",
         {"--start=dfu-idle", quiet_blocks},
         230 * 52 + 17,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(230 * 52 + 17, 230) +
             MANIFEST_DONE,
         0,
         true},
        {"manifestation ends waiting for a reset",
         {"--start=dfu-idle", "--manifest-state=8", "--manifest-answers=2", quiet_blocks},
         300,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(300, 230) +
             "done\nManifest\n" + SUCCESS,
         0,
         true},
        {"reset request never acknowledged, device silent afterwards",
         {"--start=dfu-idle", "--no-reset-ack", "--restart-ms=3000", quiet_blocks},
         300,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(300, 230) +
             "done\nManifest\nManifest complete, resetting device\n"
             "dfu_SendPacket timed out, retry 0\ndfu_SendPacket timed out, retry 1\n"
             "dfu_SendPacket timed out, retry 2\ndfu_SendPacket timed out, retry 3\n" +
             TIMING + SUCCESS,
         0,
         true},
        {"reset request answered by the device restarting at once",
         {"--start=dfu-idle", "--no-reset-ack", quiet_blocks},
         300,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(300, 230) +
             "done\nManifest\nManifest complete, resetting device\n"
             "dfu_SendPacket detected a peer reset\n" +
             TIMING + SUCCESS,
         0,
         true},
        {"standard output closed",
         {"--start=dfu-idle", quiet_blocks},
         300,
         "",
         0,
         true,
         false,
         0,
         Stdio::STDOUT_CLOSED},
        {"standard error closed, the trace sent there",
         {"--start=dfu-idle", quiet_blocks},
         300,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(300, 230) + MANIFEST_DONE,
         0,
         true,
         false,
         0,
         Stdio::STDERR_CLOSED_TRACED},
        {"corrupted and dropped frames",
         {"--start=dfu-idle", "--corrupt-reply=4", "--drop-reply=9", "--corrupt-frame=15",
          "--drop-ack=1", quiet_blocks},
         2000,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(2000, 230) + MANIFEST_DONE,
         0,
         true,
         true},
    };
    for (const Case& c : cases) {
        Check(c);
    }
}

TEST_F(EndToEnd, FailedUpdates) {
    const std::string quiet_blocks = "--busy-answers=0";
    const std::vector<Case> cases = {
        {"transfer size 0 with a non-empty image",
         {"--start=dfu-idle", "--transfer-size=0", quiet_blocks},
         300,
         Connect(DFU_ID, 0) +
             "Device in DFU mode\nDevice transfer size is 0 - cannot download a non-empty "
             "image\n" +
             FAILED,
         1,
         false},
        {"not download capable",
         {"--start=dfu-idle", "--attributes=0x0C"},
         300,
         Connect(DFU_ID) + "Device in DFU mode\nDevice not capable of download\n" + FAILED,
         1,
         false},
        {"device error during download",
         {"--start=dfu-idle", "--error-at-block=2", "--error-status=11", quiet_blocks},
         1000,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(1000, 230, "", 3) +
             "\nDevice reports error (11) during download - aborting\n" + FAILED,
         1,
         false},
        {"device error during manifestation",
         {"--start=dfu-idle", "--error-in-manifest", quiet_blocks},
         300,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(300, 230) +
             "done\nManifest\nDevice reports error (3) during manifestation - aborting\n" + FAILED,
         1,
         false},
        {"dfuERROR on all three passes: three clears, then the summary",
         {"--start=error", "--sticky-error", quiet_blocks},
         300,
         Connect(DFU_ID) + "Device in error state - clearing error\n"
                           "Device in error state - clearing error\n"
                           "Device in error state - clearing error\n"
                           "Cannot bring device into dfuIDLE state\n",
         1,
         false},
        // Noise in place of the reply: the wait ends at its 5 s all the same.
        {"a line that babbles from a block on",
         {"--start=dfu-idle", "--reply-delay-ms=20", "--babble-after-block=2", quiet_blocks},
         1000,
         Connect(DFU_ID) + "Device in DFU mode\nDownloading\n" + Blocks(1000, 230, "", 3) +
             "dfu_ReceivePacket timed out\ndfu_Download receive packet failed\n" + FAILED,
         1,
         false,
         true,
         8000},
        {"short status replies",
         {"--start=dfu-idle", "--short-status"},
         300,
         Connect(DFU_ID) + "Get status receive packet failedUnable to get status of device\n"
                           "Cannot bring device into dfuIDLE state\n",
         1,
         false},
    };
    for (const Case& c : cases) {
        Check(c);
    }
}

} // namespace

namespace {

// A trace reader that stops (a stalled ssh or gzip) costs trace lines, never
// the flash: the run goes on at full speed, and the lines lost are counted
// once the reader takes lines again.
TEST_F(EndToEnd, TraceReaderThatStopsNeverHoldsUpTheFlash) {
    const Bytes image = WriteFirmware(230 * 30);
    const std::string fifo = dir_ + "trace.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    // One page: the frames of the link's set-up alone fill it.
    fcntl(reader, F_SETPIPE_SZ, 4096);
    e2e::Peer device;
    ASSERT_TRUE(device.Start(
        {TARNSIM_PATH, "--quiet", "--busy-answers=0", "--image-out", dir_ + "image.bin"}));
    const std::string pty = device.ReadLine(5000);
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u);

    e2e::Peer host;
    ASSERT_TRUE(host.Start(
        {"/usr/bin/env", "TARNLOAD_TRACE=" + fifo, TARNLOAD_PATH, pty, dir_ + "fw.dfu"}));
    // Nothing is read until the whole image has gone out.
    std::string out;
    while (out.find("done\n") == std::string::npos) {
        const std::string line = host.ReadLine(RUN_TIMEOUT_MS);
        ASSERT_FALSE(line.empty()) << out;
        out += line + "\n";
    }
    std::string trace;
    for (;;) {
        pollfd p{reader, POLLIN, 0};
        if (poll(&p, 1, RUN_TIMEOUT_MS) <= 0) {
            break;
        }
        char buf[4096];
        const ssize_t n = read(reader, buf, sizeof buf);
        if (n <= 0) {
            break; // the run closed its end
        }
        trace.append(buf, static_cast<size_t>(n));
    }
    close(reader);
    EXPECT_EQ(host.Stop(RUN_TIMEOUT_MS), 0);
    out += host.Rest();
    device.Stop(0);
    EXPECT_NE(out.find(SUCCESS), std::string::npos) << out;
    EXPECT_EQ(ReadImage(), image);
    EXPECT_TRUE(std::regex_search(trace, std::regex(" run  trace: [1-9][0-9]* lines dropped\n")))
        << trace;
    // Whole lines only, the last one included.
    EXPECT_NE(trace.find(" run  exit status 0\n"), std::string::npos) << trace;
}

// On a terminal each dot shows as its block goes out, not when the line ends.
TEST_F(EndToEnd, ProgressDotsReachATerminalLive) {
    WriteFirmware(3 * 230);
    e2e::Peer device;
    ASSERT_TRUE(device.Start(
        {TARNSIM_PATH, "--quiet", "--start=dfu-idle", "--busy-answers=0", "--reply-delay-ms=150"}));
    const std::string pty = device.ReadLine(5000);
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u);
    const auto chunks = e2e::RunOnTerminal({TARNLOAD_PATH, pty, dir_ + "fw.dfu"}, RUN_TIMEOUT_MS);
    device.Stop(0);

    std::string all;
    long first_dot_ms = -1;
    long done_ms = -1;
    for (const auto& chunk : chunks) {
        all += chunk.text;
        const size_t downloading = all.find("Downloading");
        if (first_dot_ms < 0 && downloading != std::string::npos &&
            all.find('.', downloading) != std::string::npos) {
            first_dot_ms = chunk.ms;
        }
        if (done_ms < 0 && all.find("done") != std::string::npos) {
            done_ms = chunk.ms;
        }
    }
    ASSERT_GE(first_dot_ms, 0) << all;
    ASSERT_GE(done_ms, 0) << all;
    // Three blocks, each waiting 150 ms for two replies, lie between them.
    EXPECT_GE(done_ms - first_dot_ms, 450) << all;
    EXPECT_NE(all.find("Downloading\r\n...done\r\n"), std::string::npos) << all;
}

} // namespace
