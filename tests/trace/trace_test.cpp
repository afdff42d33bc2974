// The trace: the capture decoder against golden captures (escapes, damaged
// frames, a truncated tail), a traced update that must list the same
// frames on both sides and change nothing else, and a killed run whose
// trace must end on a whole line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "sim_capture.h"
#include "sim_dfu_file.h"
#include "sim_frame.h"
#include "trace_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int RUN_TIMEOUT_MS = 20000;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(TraceDecode, GoldenCaptures) {
    struct Golden {
        const char* capture;
        sim::CaptureDirection direction;
        const char* expected;
    };
    const Golden cases[] = {
        // socat -x, both directions: escaped header and data bytes, a
        // retransmission; the blocks of the direction asked for are taken.
        {"escaped_from_host.socat", sim::CaptureDirection::FromHost, "escaped_from_host.expected"},
        {"escaped_from_host.socat", sim::CaptureDirection::ToHost, "escaped_to_host.expected"},
        // A real socat -x dump of a run's start (no separator lines).
        {"real_socat.txt", sim::CaptureDirection::ToHost, "real_socat_to_host.expected"},
        // Logic analyser CSV: a CRC error, a header checksum error, a frame
        // shorter than a header, an error status; direction guessed.
        {"damaged_to_host.csv", sim::CaptureDirection::Guess, "damaged_to_host.expected"},
        // Binary, starting inside a frame and ending inside one.
        {"truncated_to_host.bin", sim::CaptureDirection::ToHost, "truncated_to_host.expected"},
    };
    for (const Golden& c : cases) {
        SCOPED_TRACE(c.expected);
        const std::string dir = std::string(CAPTURES_DIR) + "/";
        std::string note;
        const Bytes bytes = sim::ParseCapture(ReadFile(dir + c.capture), c.direction, &note);
        const std::string got =
            (note.empty() ? "" : note + "\n") + sim::DecodeCapture(bytes, c.direction);
        const std::string want = ReadFile(dir + c.expected);
        ASSERT_FALSE(want.empty());
        EXPECT_EQ(got, want);
    }
}

// A reply is named after the request it acknowledges, not the last one sent:
// a host that retried with its next request while the device's answer to
// the previous one was still on the way must not see descriptor bytes read
// as a status. Each line's byte column is exactly its frame, although the
// frames of one direction come as one stream sharing nothing but the line.
TEST(TraceDecode, ReplyNamedByTheRequestItAcknowledges) {
    auto frame = [](uint8_t seq, uint8_t ack, const Bytes& payload) {
        sim::Frame f;
        f.reliable = true;
        f.seq = seq;
        f.ack = ack;
        f.channel = sim::REQUEST_CHANNEL;
        f.payload = payload;
        return sim::EncodeFrame(f);
    };
    const Bytes functional = {0xC1, 9, 0, 0, 0, 0, 6, 0};
    const Bytes status = {0xA1, 3, 0, 0, 0, 0, 6, 0};
    const Bytes functional_reply = {0, 0, 6, 0, 0x0D, 0x00, 0xE8, 0x03, 0xE6, 0x00};
    const Bytes status_reply = {0, 0, 6, 0, 0, 0, 0, 5, 4, 0};
    struct Step {
        WireDirection dir;
        Bytes line;
        const char* want;
    };
    const Step steps[] = {
        {WIRE_TO_DEVICE, frame(1, 1, functional), "GET FUNCTIONAL DESCRIPTOR"},
        {WIRE_TO_DEVICE, frame(2, 1, status), "GETSTATUS"},
        {WIRE_TO_HOST, frame(1, 2, functional_reply),
         "functional descriptor attributes 0x000D, detach 1000 ms, transfer 230 bytes"},
        {WIRE_TO_HOST, frame(2, 3, status_reply), "status OK, dfuDNBUSY, poll 5 ms"},
    };
    WireSplitter splitters[2] = {};
    WireContext context{};
    char text[512];
    for (const Step& step : steps) {
        int frames = 0;
        for (uint8_t b : step.line) {
            if (wire_Feed(&splitters[step.dir], b)) {
                wire_Describe(&splitters[step.dir], &context, step.dir, true, text, sizeof text);
                ++frames;
            }
        }
        ASSERT_EQ(frames, 1);
        const std::string line = text;
        EXPECT_NE(line.find(step.want), std::string::npos) << line;
        std::string hex;
        for (uint8_t b : step.line) {
            char two[4];
            std::snprintf(two, sizeof two, hex.empty() ? "%02X" : " %02X", b);
            hex += two;
        }
        EXPECT_EQ(line.substr(line.find(" | ") + 3), hex);
    }
}

// The frames of one direction on channel 12, without their times.
std::vector<std::string> RequestFrames(const std::string& trace, const std::string& source) {
    std::vector<std::string> frames;
    std::istringstream lines(trace);
    const std::regex frame("^ *[0-9]+\\.[0-9]{6} (H>D|D>H)  (.* ch 12 .*)$");
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, frame) && m[1] == source) {
            frames.push_back(m[2]);
        }
    }
    return frames;
}

class TracedRun : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = testing::TempDir() + "tarn_trace_" + std::to_string(getpid()) + "_";
        const Bytes file =
            sim::BuildDfuFile(sim::RandomBytes(1900, 3), 0x1D50, 0x6089, "trace firmware");
        image_ = Bytes(file.begin(), file.end() - 16);
        std::ofstream(dir_ + "fw.dfu", std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
    }
    void TearDown() override {
        unsetenv("TARNLOAD_TRACE");
        for (const char* f : {"fw.dfu", "image.bin", "host.log", "device.log", "stats.txt"}) {
            std::remove((dir_ + f).c_str());
        }
    }

    struct Outcome {
        e2e::RunResult run;
        Bytes image;
    };

    // `trace`: the trace's path when traced ("" for host.log, "PORT" for
    // the device's own port); `file_limit`: the run's file-size limit.
    Outcome Flash(bool traced, const std::vector<std::string>& sim_args,
                  const std::string& trace = "", rlim_t file_limit = RLIM_INFINITY) {
        std::vector<std::string> args = {TARNSIM_PATH, "--quiet", "--image-out",
                                         dir_ + "image.bin"};
        if (traced && trace.empty()) {
            args.insert(args.end(), {"--trace", dir_ + "device.log"});
            setenv("TARNLOAD_TRACE", (dir_ + "host.log").c_str(), 1);
        } else if (!traced) {
            unsetenv("TARNLOAD_TRACE");
        }
        args.insert(args.end(), sim_args.begin(), sim_args.end());
        e2e::Peer device;
        Outcome out;
        if (!device.Start(args)) {
            ADD_FAILURE() << "cannot start tarnsim";
            return out;
        }
        const std::string pty = device.ReadLine(5000);
        if (traced && !trace.empty()) {
            setenv("TARNLOAD_TRACE", (trace == "PORT" ? pty : trace).c_str(), 1);
        }
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        const rlimit limited{file_limit, before.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
        out.run = e2e::Run({TARNLOAD_PATH, pty, dir_ + "fw.dfu"}, RUN_TIMEOUT_MS);
        setrlimit(RLIMIT_FSIZE, &before);
        device.Stop(0);
        unsetenv("TARNLOAD_TRACE");
        std::ifstream in(dir_ + "image.bin", std::ios::binary);
        out.image = Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return out;
    }

    std::string dir_;
    Bytes image_;
};

// A device that loses one of its replies: the host's trace must show the
// retransmission, the device's the injected drop, and both sides the same
// channel-12 frames; the console, exit status and image are untouched.
TEST_F(TracedRun, BothSidesListTheSameFramesAndNothingElseChanges) {
    const std::vector<std::string> sim_args = {"--busy-answers=1", "--drop-reply=6"};
    const Outcome plain = Flash(false, sim_args);
    const Outcome traced = Flash(true, sim_args);

    ASSERT_EQ(plain.run.exit_status, 0) << plain.run.output;
    EXPECT_EQ(traced.run.exit_status, 0);
    const std::regex timing("Download time: [^\n]*\nManifest time: [^\n]*\nTotal time: [^\n]*\n");
    EXPECT_EQ(std::regex_replace(traced.run.output, timing, "T"),
              std::regex_replace(plain.run.output, timing, "T"));
    EXPECT_EQ(traced.image, image_);
    EXPECT_EQ(plain.image, image_);

    const std::string host = ReadFile(dir_ + "host.log");
    const std::string device = ReadFile(dir_ + "device.log");
    EXPECT_NE(host.find(" run  tarnload "), std::string::npos);
    EXPECT_NE(host.find("con  Downloading\\n"), std::string::npos);
    EXPECT_NE(device.find("DROPPED by injected fault"), std::string::npos) << device;
    EXPECT_NE(host.find("(retransmission)"), std::string::npos);

    const std::vector<std::string> host_requests = RequestFrames(host, "H>D");
    std::vector<std::string> device_replies = RequestFrames(device, "D>H");
    EXPECT_EQ(host_requests, RequestFrames(device, "H>D"));
    // The dropped reply never reached the line.
    std::erase_if(device_replies, [](const std::string& f) { return f.rfind("DROPPED", 0) == 0; });
    EXPECT_EQ(RequestFrames(host, "D>H"), device_replies);
    // 9 blocks of at most 230 bytes, each followed by GETSTATUS twice (busy,
    // then ready), and the end-of-image block.
    int blocks = 0;
    for (const std::string& f : host_requests) {
        blocks += f.find("DNLOAD block") != std::string::npos &&
                  f.find("retransmission") == std::string::npos;
    }
    EXPECT_EQ(blocks, 10);
}

// A trace that cannot be written as asked loses the trace, never the flash:
// named as the port itself it is refused (its lines would reach the device
// between the frames), and over the file-size limit it stops (the limit's
// signal would end the run). Output, exit status, image and the bytes the
// device received are those of an untraced run.
TEST_F(TracedRun, TraceThatCannotBeWrittenNeverChangesTheFlash) {
    struct Case {
        const char* name;
        std::string trace;
        rlim_t file_limit;
    };
    const Case cases[] = {
        {"the port itself", "PORT", RLIM_INFINITY},
        {"over the file-size limit", dir_ + "host.log", 4096},
    };
    const std::vector<std::string> stats = {"--busy-answers=0", "--stats", dir_ + "stats.txt"};
    const auto received = [&] {
        const std::string text = ReadFile(dir_ + "stats.txt");
        const size_t at = text.find("bytes_from_host=");
        return at == std::string::npos ? 0L : std::atol(text.c_str() + at + 16);
    };
    const Outcome plain = Flash(false, stats);
    ASSERT_EQ(plain.run.exit_status, 0) << plain.run.output;
    const long plain_bytes = received();
    ASSERT_GT(plain_bytes, 0);
    const std::regex timing("Download time: [^\n]*\nManifest time: [^\n]*\nTotal time: [^\n]*\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome traced = Flash(true, stats, c.trace, c.file_limit);
        EXPECT_EQ(traced.run.exit_status, 0);
        EXPECT_EQ(std::regex_replace(traced.run.output, timing, "T"),
                  std::regex_replace(plain.run.output, timing, "T"));
        EXPECT_EQ(traced.image, image_);
        // Retransmissions vary a little; trace lines would add many times more.
        EXPECT_LT(received(), plain_bytes * 3 / 2);
    }
}

// Killed in the middle of the download: every line up to the kill is in the
// file, whole, and every request the device received is among them.
TEST_F(TracedRun, KilledRunLeavesWholeLines) {
    e2e::Peer device;
    ASSERT_TRUE(device.Start({TARNSIM_PATH, "--quiet", "--busy-answers=3", "--busy-poll-ms=50",
                              "--trace", dir_ + "device.log"}));
    const std::string pty = device.ReadLine(5000);
    setenv("TARNLOAD_TRACE", (dir_ + "host.log").c_str(), 1);
    e2e::Peer load;
    ASSERT_TRUE(load.Start({TARNLOAD_PATH, pty, dir_ + "fw.dfu"}));
    unsetenv("TARNLOAD_TRACE");
    for (int i = 0;
         i < 1000 && ReadFile(dir_ + "host.log").find("DNLOAD block 3") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // SIGTERM while running: killed (-1), or status 1 from a handler that
    // restores the port first.
    const int status = load.Stop(0);
    EXPECT_TRUE(status == -1 || status == 1) << status;
    device.Stop(0);

    const std::string host = ReadFile(dir_ + "host.log");
    ASSERT_NE(host.find("DNLOAD block 3"), std::string::npos);
    ASSERT_EQ(host.back(), '\n');
    std::istringstream lines(host);
    const std::regex whole("^ *[0-9]+\\.[0-9]{6} (H>D|D>H|link|dfu |con |port|net |os  |run ) .+$");
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
    const std::vector<std::string> sent = RequestFrames(host, "H>D");
    const std::vector<std::string> received = RequestFrames(ReadFile(dir_ + "device.log"), "H>D");
    ASSERT_LE(received.size(), sent.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), sent.begin()));
}

} // namespace
