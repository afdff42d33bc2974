// tarnsim: the virtual device on a pseudo-terminal, and the sample firmware
// file writer. The device itself lives in the tarn_sim library; this file
// only owns the pty, real time, signals and files.
#include "platform_wait.h"
#include "sim_capture.h"
#include "sim_device.h"
#include "sim_dfu_file.h"
#include "sim_noise.h"
#include "sim_options.h"
#include "sim_stats.h"
#include "trace.h"
#include "trace_wire.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_BAD_OPTIONS = 2;
// After the last requested update the host still sends its reset request
// and reads the acknowledgement; leave once the line has been quiet this
// long.
constexpr uint64_t LINGER_US = 300000;
// The longest the loop sleeps without looking at the line.
constexpr uint64_t MAX_WAIT_US = 10000;
// While no one has the terminal open, poll reports a hang-up at once; rest
// this long between looks instead of spinning.
constexpr uint64_t HANGUP_REST_US = 5000;
// Output nobody reads is dropped beyond this much.
constexpr size_t MAX_PENDING_OUTPUT = 65536;
constexpr size_t IO_CHUNK = 4096;
// A USB adapter passes bytes to the host in packets of this many at most.
constexpr size_t ADAPTER_PACKET_BYTES = 62;
constexpr uint64_t US_PER_MS = 1000;
constexpr uint64_t NS_PER_US = 1000;
// A trickling line lets one byte through this often.
constexpr uint64_t TRICKLE_INTERVAL_US = 1000000;
// A babbling line is topped up this often: a steady stream, as on a wire.
constexpr uint64_t BABBLE_STEP_US = 1000;
constexpr uint8_t DNLOAD_REQUEST = 1;
// Any fixed seed: the noise only has to look random and repeat between runs.
constexpr uint64_t NOISE_SEED = 0x7A52;

// What the line does once a chosen DNLOAD block has arrived: noise in place
// of the device's bytes, or its bytes one a second.
struct LineTurn {
    bool babbling = false;
    bool trickling = false;
    uint64_t babble_since_us = 0;
    uint64_t babbled = 0; // noise bytes due so far, written or dropped
    uint64_t next_trickle_us = 0;
    size_t requests_seen = 0;

    void Watch(const sim::Device& device, const sim::RunOptions& options, uint64_t now_us) {
        const std::vector<sim::RequestRecord>& requests = device.Requests();
        for (; requests_seen < requests.size(); ++requests_seen) {
            const sim::RequestRecord& r = requests[requests_seen];
            if (r.request != DNLOAD_REQUEST) {
                continue;
            }
            if (!babbling && options.babble_after_block >= 0 &&
                r.value >= options.babble_after_block) {
                babbling = true;
                babble_since_us = now_us;
            }
            if (!trickling && options.trickle_after_block >= 0 &&
                r.value >= options.trickle_after_block) {
                trickling = true;
                next_trickle_us = now_us + TRICKLE_INTERVAL_US;
            }
        }
    }
};

// How fast the host answers: from the moment a write of the device's bytes
// has handed them to the terminal to the next byte the host writes.
struct Turnaround {
    uint64_t count = 0;
    uint64_t total_us = 0;
    uint64_t max_us = 0;
    uint64_t last_out_us = 0;
    bool device_spoke = false;

    void DeviceWrote(uint64_t now_us) {
        last_out_us = now_us;
        device_spoke = true;
    }
    void HostWrote(uint64_t now_us) {
        if (!device_spoke) {
            return;
        }
        device_spoke = false;
        const uint64_t took = now_us - last_out_us;
        ++count;
        total_us += took;
        max_us = std::max(max_us, took);
    }
    std::string Format() const {
        return "turnaround_count=" + std::to_string(count) +
               "\nturnaround_mean_us=" + std::to_string(count ? total_us / count : 0) +
               "\nturnaround_max_us=" + std::to_string(max_us) + "\n";
    }
};

volatile sig_atomic_t stop_requested = 0;

void OnSignal(int) {
    stop_requested = 1;
}

uint64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    file.close();
    return static_cast<bool>(file);
}

int MakeDfu(const sim::MakeDfuOptions& m) {
    std::vector<uint8_t> body;
    if (!m.from.empty()) {
        std::ifstream raw(m.from, std::ios::binary);
        if (!raw) {
            std::fprintf(stderr, "tarnsim: cannot read %s\n", m.from.c_str());
            return EXIT_FAILED;
        }
        body.assign(std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>());
        if (m.has_size) {
            if (body.size() < m.size) {
                std::fprintf(stderr, "tarnsim: %s holds %zu bytes, fewer than --size %llu\n",
                             m.from.c_str(), body.size(), static_cast<unsigned long long>(m.size));
                return EXIT_FAILED;
            }
            body.resize(m.size);
        }
    } else {
        body = sim::RandomBytes(m.size, m.seed);
    }
    const std::vector<uint8_t> file = sim::BuildDfuFile(body, m.vid, m.pid, m.description, m.flaws);
    if (!WriteFile(m.out, file.data(), file.size())) {
        std::fprintf(stderr, "tarnsim: cannot write %s\n", m.out.c_str());
        return EXIT_FAILED;
    }
    std::printf("%s: %zu bytes, image %zu bytes, VID 0x%04X, PID 0x%04X\n", m.out.c_str(),
                file.size(), file.size() - sim::DFU_FILE_SUFFIX_SIZE, m.vid, m.pid);
    return EXIT_OK;
}

int Decode(const sim::DecodeOptions& d) {
    std::ifstream in(d.file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tarnsim: cannot read %s\n", d.file.c_str());
        return EXIT_FAILED;
    }
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    std::string note;
    const std::vector<uint8_t> bytes = sim::ParseCapture(content, d.direction, &note);
    if (!note.empty()) {
        std::printf("%s\n", note.c_str());
    }
    std::fputs(sim::DecodeCapture(bytes, d.direction).c_str(), stdout);
    return EXIT_OK;
}

// The device's trace file: lines appended whole, one write each, so that
// tarnsim's and tarnload's lines never tear even in one shared file.
class TraceFile {
  public:
    bool Open(const std::string& path) {
        fd_ = path == "-" ? STDERR_FILENO
                          : open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return fd_ >= 0;
    }
    ~TraceFile() {
        if (fd_ > STDERR_FILENO) {
            close(fd_);
        }
    }
    void Line(uint64_t elapsed_us, const char* source, const std::string& text) {
        char prefix[64];
        wire_LinePrefix(prefix, sizeof prefix, elapsed_us, source);
        const std::string line = prefix + text + "\n";
        trace_OsWrite(fd_, line.data(), static_cast<uint32_t>(line.size()));
    }

  private:
    int fd_ = -1;
};

// A pty master in raw mode, non-blocking. Returns -1 with a message printed.
int OpenPty(std::string* slave) {
    const int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
        std::perror("tarnsim: pseudo-terminal");
        return -1;
    }
    const char* name = ptsname(fd);
    termios tio{};
    if (name == nullptr || tcgetattr(fd, &tio) != 0) {
        std::perror("tarnsim: pseudo-terminal");
        close(fd);
        return -1;
    }
    // Raw both ways: no echo, no line editing, no newline translation, so
    // the bytes of a frame pass untouched before the host sets its modes.
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    *slave = name;
    return fd;
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int RunDevice(const sim::RunOptions& options) {
    std::string slave;
    const int master = OpenPty(&slave);
    if (master < 0) {
        return EXIT_FAILED;
    }
    InstallSignals();
    std::printf("%s\n", slave.c_str());
    std::fflush(stdout);

    const uint64_t start_us = NowUs();
    sim::Device device(options.device, start_us);
    TraceFile trace;
    if (!options.trace_file.empty()) {
        if (!trace.Open(options.trace_file)) {
            std::fprintf(stderr, "tarnsim: cannot open trace file %s: %s\n",
                         options.trace_file.c_str(), std::strerror(errno));
            close(master);
            return EXIT_FAILED;
        }
        char platform[128];
        trace_OsPlatform(platform, sizeof platform);
        trace.Line(0, "run",
                   std::string("tarnsim ") + TARN_VERSION + ", " + platform + ", port " + slave +
                       ", monotonic start " + std::to_string(start_us / 1000000) + "." +
                       std::to_string(1000000 + start_us % 1000000).substr(1) + " s");
        const char* bytes = std::getenv(TRACE_BYTES_ENV);
        device.SetTrace(
            [&trace, start_us](uint64_t now_us, const char* source, const std::string& text) {
                trace.Line(now_us - start_us, source, text);
            },
            bytes != nullptr && std::strcmp(bytes, "1") == 0);
    }
    if (!options.quiet) {
        device.SetLog(
            [](const std::string& line) { std::fprintf(stderr, "tarnsim: %s\n", line.c_str()); });
    }
    std::vector<uint8_t> pending;
    // Bytes the adapter still holds, and when the first of them came.
    std::vector<uint8_t> held;
    uint64_t held_since_us = 0;
    const uint64_t latency_us = uint64_t{options.adapter_latency_ms} * US_PER_MS;
    Turnaround turnaround;
    uint8_t buffer[IO_CHUNK];
    uint64_t last_host_us = NowUs();
    uint32_t updates_seen = 0;
    LineTurn turn;
    sim::LineNoise noise(NOISE_SEED);

    while (!stop_requested) {
        uint64_t now = NowUs();
        device.AdvanceTo(now);
        bool hung_up = false;
        for (;;) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                turnaround.HostWrote(NowUs());
                device.Receive(buffer, static_cast<size_t>(n));
                last_host_us = now;
                continue;
            }
            // EIO: no one has the terminal open.
            hung_up = n < 0 && errno == EIO;
            break;
        }
        device.AdvanceTo(NowUs());
        std::vector<uint8_t>& line_out = latency_us != 0 ? held : pending;
        for (size_t n; (n = device.Transmit(buffer, sizeof buffer)) != 0;) {
            if (turn.babbling) {
                continue;
            }
            if (line_out.empty()) {
                held_since_us = NowUs();
            }
            line_out.insert(line_out.end(), buffer, buffer + n);
        }
        if (!held.empty() &&
            (held.size() >= ADAPTER_PACKET_BYTES || NowUs() - held_since_us >= latency_us)) {
            pending.insert(pending.end(), held.begin(), held.end());
            held.clear();
        }
        turn.Watch(device, options, NowUs());
        if (turn.babbling) {
            const uint64_t due = (NowUs() - turn.babble_since_us) * NS_PER_US / sim::PACED_BYTE_NS;
            for (; turn.babbled < due; ++turn.babbled) {
                const uint8_t b = noise.Next();
                if (pending.size() < MAX_PENDING_OUTPUT) {
                    pending.push_back(b);
                }
            }
        }
        const bool trickle_due = !turn.trickling || NowUs() >= turn.next_trickle_us;
        if (!pending.empty() && trickle_due) {
            const ssize_t n =
                write(master, pending.data(), turn.trickling ? size_t{1} : pending.size());
            if (n > 0 && turn.trickling) {
                turn.next_trickle_us = NowUs() + TRICKLE_INTERVAL_US;
            }
            if (n > 0) {
                turnaround.DeviceWrote(NowUs());
                pending.erase(pending.begin(), pending.begin() + n);
            } else if (n < 0 && errno == EIO) {
                pending.clear();
            }
            if (pending.size() > MAX_PENDING_OUTPUT) {
                pending.clear();
            }
        }
        if (device.CompletedUpdates() != updates_seen) {
            updates_seen = device.CompletedUpdates();
            if (!options.quiet) {
                std::fprintf(stderr, "tarnsim: update %u complete, image %zu bytes\n", updates_seen,
                             device.Image().size());
            }
        }
        now = NowUs();
        // A reply still owed to a host that has the terminal open must reach
        // it: its last status request would otherwise fail after a good
        // update. A host that closed the terminal is owed nothing.
        if (options.updates != 0 && updates_seen >= options.updates && pending.empty() &&
            (hung_up || !device.RepliesDue()) && now - last_host_us >= LINGER_US) {
            break;
        }

        uint64_t wait = MAX_WAIT_US;
        const uint64_t next = device.NextEventTime();
        if (next <= now) {
            wait = 0;
        } else if (next - now < wait) {
            wait = next - now;
        }
        if (turn.babbling) {
            wait = std::min(wait, BABBLE_STEP_US);
        }
        if (turn.trickling && !pending.empty()) {
            wait = turn.next_trickle_us <= now ? 0 : std::min(wait, turn.next_trickle_us - now);
        }
        if (!held.empty()) {
            const uint64_t release = held_since_us + latency_us;
            wait = release <= now ? 0 : std::min(wait, release - now);
        }
        if (hung_up) {
            wait = std::min<uint64_t>(wait, HANGUP_REST_US);
            timespec rest{0, static_cast<long>(wait * 1000)};
            nanosleep(&rest, nullptr);
            continue;
        }
        const bool output_due = !pending.empty() && (!turn.trickling || wait == 0);
        short revents = 0;
        plat_PollUs(master, static_cast<short>(POLLIN | (output_due ? POLLOUT : 0)),
                    static_cast<uint32_t>(wait), &revents);
    }

    int status = EXIT_OK;
    if (!options.image_out.empty() &&
        !WriteFile(options.image_out, device.Image().data(), device.Image().size())) {
        std::fprintf(stderr, "tarnsim: cannot write %s\n", options.image_out.c_str());
        status = EXIT_FAILED;
    }
    if (!options.stats_file.empty()) {
        const std::string stats = sim::FormatStats(device) + turnaround.Format();
        if (!WriteFile(options.stats_file, stats.data(), stats.size())) {
            std::fprintf(stderr, "tarnsim: cannot write %s\n", options.stats_file.c_str());
            status = EXIT_FAILED;
        }
    }
    close(master);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    sim::CommandLine command;
    std::string error;
    if (!sim::ParseCommandLine(argc, argv, &command, &error)) {
        std::fprintf(stderr, "tarnsim: %s (see tarnsim --help)\n", error.c_str());
        return EXIT_BAD_OPTIONS;
    }
    switch (command.command) {
    case sim::Command::Help:
        std::fputs(sim::UsageText(), stdout);
        return EXIT_OK;
    case sim::Command::Version:
        std::printf("tarnsim %s\n", TARN_VERSION);
        return EXIT_OK;
    case sim::Command::MakeDfu:
        return MakeDfu(command.make);
    case sim::Command::Decode:
        return Decode(command.decode);
    case sim::Command::Run:
        break;
    }
    return RunDevice(command.run);
}
