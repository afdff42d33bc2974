// Download benchmark: flashes a 64 KiB image through tarnsim with the line
// paced at 115200 baud 8E1 and no device busy time, and sets the data rate
// tarnload reports against the most this protocol allows on that line.
//
// The ceiling: every request and reply is a whole frame that must cross the
// line before the next one can start (one request in flight), so the
// download phase takes at least (every byte of every frame of that phase,
// both directions, escapes included) x 11 bits / 115200 baud. The frames
// are built here exactly as they go on the wire for this image. Behind a
// USB adapter's latency timer each reply short of a full adapter packet
// reaches the host only when the timer runs out: the adapter-adjusted
// ceiling adds that hold to every reply.
//
// Cases: replies reliable, replies unreliable, and replies reliable behind
// a 16 ms adapter latency timer. For each: the ratio to the ceiling, the
// host's turnaround (a device write handed to the terminal -> the host's
// next byte, as tarnsim sees it), frames the host sent more than once, CPU
// time (also as a share of the run's wall time) and peak resident memory.
//
// With --network the same update goes through a real ser2net instead
// (tarnload given socket:// or rfc2217://), with 0, 5, 20 and 50 ms added
// each way by a TCP delay proxy (0 ms: straight to ser2net). The local port
// runs first as the reference and a closing table sets every case against
// it; "device again" counts replies the device sent a second time because
// the host's acknowledgement was still on its way. The ceiling stays the
// local line's: the network adds round trips that one request in flight
// cannot hide, and the table shows what they cost.
// It ends with the time to give up on a connection that falls silent
// mid-download (the device off the line, the connection open) at 0, 20 and
// 50 ms each way: four send attempts of 5 s, each with at most one answer
// allowance. --give-up runs only those.
//
// Usage: download_bench [--wine WINE EXE LINK NAME] [--network | --give-up] [work-dir]
//        download_bench --trace-cost N [work-dir]
// The second form measures what TARNLOAD_TRACE costs: N pairs of paced pty
// runs, untraced and traced (to a file) in turn so that both see the same
// machine load, and the mean ratio of each.
//   (default work-dir: a fresh directory in /tmp). With --wine, the
//   Windows build EXE runs under the program WINE (a path; WINEPREFIX from
//   the environment):
//   LINK (a path in the prefix's dosdevices) is made to point at tarnsim's
//   terminal and NAME (e.g. \\.\TARNBENCH) is the port tarnload.exe is given.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "bcsp_link.h"
#include "child_process.h"
#include "console.h"
#include "delay_proxy.h"
#include "dfu_file.h"
#include "dfu_transport.h"
#include "dfu_update.h"
#include "platform_clock.h"
#include "ser2net_server.h"
#include "sim_device.h"
#include "sim_dfu_file.h"
#include "sim_frame.h"
#include "sim_line.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t IMAGE_SIZE = 64 * 1024;
constexpr size_t BLOCK = 230;
constexpr double LINE_BAUD = 115200.0;
constexpr double BITS_PER_BYTE = 11.0; // start, 8 data, even parity, stop
constexpr size_t STATUS_DATA = 6;
// A paced 64 KiB update takes about 9 s on a local port and about a minute
// with 50 ms added each way on a network port; a run this long has hung.
constexpr int RUN_TIMEOUT_MS = 300000;

bool WriteFile(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::map<std::string, std::string> ReadStats(const std::string& path) {
    std::map<std::string, std::string> stats;
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) {
        return stats;
    }
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::string s(line);
        const size_t eq = s.find('=');
        if (eq != std::string::npos) {
            stats[s.substr(0, eq)] = s.substr(eq + 1, s.find('\n') - eq - 1);
        }
    }
    std::fclose(f);
    return stats;
}

double LineSeconds(double bytes) {
    return bytes * BITS_PER_BYTE / LINE_BAUD;
}

// A USB adapter passes bytes to the host in packets of this many at most.
constexpr size_t ADAPTER_PACKET_BYTES = 62;

// Line time of the download phase in seconds: each data block and the
// end-of-image block as a DNLOAD request and its reply, each data block
// followed by a GETSTATUS request and its 6-byte reply. Acknowledgements
// travel in these frames' headers; sequence numbers advance as the link
// advances them. A reply shorter than an adapter packet is held until the
// adapter's latency timer runs out. *line_bytes gets the bytes both ways.
double DownloadPhaseSeconds(const Bytes& image, bool reliable_replies, double latency_s,
                            size_t* line_bytes) {
    uint8_t host_seq = 0;
    uint8_t device_seq = 0;
    size_t total = 0;
    double held_s = 0;
    auto exchange = [&](const Bytes& request, const Bytes& reply) {
        sim::Frame req;
        req.reliable = true;
        req.channel = sim::REQUEST_CHANNEL;
        req.seq = host_seq;
        req.ack = device_seq;
        req.payload = request;
        host_seq = (host_seq + 1) & 7;
        sim::Frame rep;
        rep.reliable = reliable_replies;
        rep.channel = sim::REQUEST_CHANNEL;
        rep.seq = device_seq;
        rep.ack = host_seq;
        rep.payload = reply;
        if (reliable_replies) {
            device_seq = (device_seq + 1) & 7;
        }
        const size_t reply_bytes = sim::EncodeFrame(rep).size();
        total += sim::EncodeFrame(req).size() + reply_bytes;
        if (reply_bytes < ADAPTER_PACKET_BYTES) {
            held_s += std::max(0.0, latency_s - LineSeconds(double(reply_bytes)));
        }
    };
    const Bytes status_only = {0, 0, 0, 0};
    const Bytes status_reply = {0, 0, STATUS_DATA, 0, 0, 0, 0, 0, 5, 0};
    const Bytes get_status = {0xA1, 3, 0, 0, 0, 0, STATUS_DATA, 0};
    uint16_t block = 0;
    for (size_t at = 0; at < image.size(); at += BLOCK, ++block) {
        const size_t n = std::min(BLOCK, image.size() - at);
        Bytes dnload = {
            0x21, 1, static_cast<uint8_t>(block & 0xFF), static_cast<uint8_t>(block >> 8),
            0,    0, static_cast<uint8_t>(n & 0xFF),     static_cast<uint8_t>(n >> 8)};
        dnload.insert(dnload.end(), image.begin() + static_cast<long>(at),
                      image.begin() + static_cast<long>(at + n));
        exchange(dnload, status_only);
        exchange(get_status, status_reply);
    }
    exchange(
        {0x21, 1, static_cast<uint8_t>(block & 0xFF), static_cast<uint8_t>(block >> 8), 0, 0, 0, 0},
        status_only);
    *line_bytes = total;
    return LineSeconds(double(total)) + held_s;
}

// The same update run inside this process on the in-memory line, paced, on
// virtual time: every 1 ms sleep lasts exactly 1 ms and nothing waits for a
// CPU. What it reports is what the polling design itself costs; the gap to
// the pty run is scheduling. Returns tarnload's output.
std::string RunInProcess(const std::string& firmware, std::vector<uint8_t>* received) {
    sim::DeviceConfig config;
    config.paced = true;
    config.busy_answers = 0;
    sim::Device device(config);
    const std::string out_path = firmware + ".inprocess.txt";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    close(out);
    {
        sim::InProcessLine line(device, true);
        bcsp_Init();
        dfu_TransportInit();
        if (dfufile_Open(firmware.c_str(), nullptr) && dfu_Connect() && dfu_EnterIdle()) {
            dfu_DownloadImage();
        }
        bcsp_Init();
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    *received = device.Image();
    FILE* f = std::fopen(out_path.c_str(), "r");
    std::string text;
    for (int c; f != nullptr && (c = std::fgetc(f)) != EOF;) {
        text += static_cast<char>(c);
    }
    if (f != nullptr) {
        std::fclose(f);
    }
    std::remove(out_path.c_str());
    return text;
}

Bytes ReadBytes(const std::string& path) {
    Bytes got;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr) {
        for (int c; (c = std::fgetc(f)) != EOF;) {
            got.push_back(static_cast<uint8_t>(c));
        }
        std::fclose(f);
    }
    return got;
}

double Seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

struct Case {
    const char* name;
    bool reliable_replies;
    uint32_t adapter_latency_ms;
    // Through ser2net: "socket" or "rfc2217"; nullptr for the local pty.
    const char* scheme = nullptr;
    int added_delay_ms = 0; // each way, by the delay proxy
};

// What the closing table of the network cases shows of one case.
struct Figures {
    double ratio = 0;
    std::string sent_twice;        // by the host
    std::string device_sent_twice; // replies the device sent again, unacknowledged in time
    double cpu_s = 0;
};

// How tarnload is run: natively, or the Windows build under wine through a
// port link in the prefix.
struct Program {
    std::string wine;     // the wine program's path
    std::string wine_exe; // "" = the native build
    std::string link;
    std::string name;
};

// One update through a fresh tarnsim; prints the case's figures. False when
// the run failed or the image arrived damaged.
bool RunCase(const Case& c, const Program& program, const std::string& dir,
             const std::string& firmware, const Bytes& image, Figures* figures = nullptr) {
    std::string tag = dir + "/";
    for (const char* ch = c.name; *ch != '\0'; ++ch) {
        tag += std::isalnum(static_cast<unsigned char>(*ch)) ? *ch : '_';
    }
    const std::string received = tag + ".received.bin";
    const std::string stats_file = tag + ".stats.txt";
    std::vector<std::string> sim_argv = {TARNSIM_PATH,  "--paced", "--busy-answers=0", "--quiet",
                                         "--image-out", received,  "--stats",          stats_file};
    if (!c.reliable_replies) {
        sim_argv.push_back("--unreliable-replies");
    }
    if (c.adapter_latency_ms != 0) {
        sim_argv.push_back("--adapter-latency-ms=" + std::to_string(c.adapter_latency_ms));
    }
    e2e::Peer sim;
    if (!sim.Start(sim_argv)) {
        std::fprintf(stderr, "cannot start tarnsim\n");
        return false;
    }
    const std::string pty = sim.ReadLine(5000);
    if (pty.rfind("/dev/", 0) != 0) {
        std::fprintf(stderr, "tarnsim did not report its terminal\n");
        return false;
    }
    // Declared after the device so that they are gone before it however this
    // returns: a server left on a reused pty number would reach another.
    e2e::Ser2net server;
    e2e::DelayProxy proxy;
    std::string port = pty;
    if (c.scheme != nullptr) {
        if (!server.Start(pty)) {
            std::fprintf(stderr, "%s: %s\n", c.name, server.Error().c_str());
            return false;
        }
        int tcp_port = std::string(c.scheme) == "rfc2217" ? server.Rfc2217Port() : server.RawPort();
        if (c.added_delay_ms > 0) {
            if (!proxy.Start(tcp_port, c.added_delay_ms)) {
                std::fprintf(stderr, "%s: %s\n", c.name, proxy.Error().c_str());
                return false;
            }
            tcp_port = proxy.Port();
        }
        port = std::string(c.scheme) + "://127.0.0.1:" + std::to_string(tcp_port);
    }
    std::vector<std::string> load_argv = {TARNLOAD_PATH, port, firmware};
    if (!program.wine_exe.empty() && c.scheme != nullptr) {
        load_argv = {program.wine, program.wine_exe, port, firmware};
    } else if (!program.wine_exe.empty()) {
        unlink(program.link.c_str());
        if (symlink(pty.c_str(), program.link.c_str()) != 0) {
            std::perror(program.link.c_str());
            return false;
        }
        load_argv = {program.wine, program.wine_exe, program.name, firmware};
    }
    const auto t0 = std::chrono::steady_clock::now();
    const e2e::RunResult load = e2e::Run(load_argv, RUN_TIMEOUT_MS);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!program.wine_exe.empty() && c.scheme == nullptr) {
        unlink(program.link.c_str());
    }
    proxy.Stop();
    server.Stop();
    // tarnsim writes its image and statistics when it is stopped.
    sim.Stop(0);

    std::smatch m;
    if (load.exit_status != 0 ||
        !std::regex_search(load.output, m,
                           std::regex("Download time: ([0-9.]+) s \\(([0-9]+) Bytes/s\\)"))) {
        std::fprintf(stderr, "%s: tarnload failed:\n%s", c.name, load.output.c_str());
        return false;
    }
    const double reported_rate = std::stod(m[2]);
    size_t line_bytes = 0;
    const double phase_s = DownloadPhaseSeconds(image, c.reliable_replies,
                                                double(c.adapter_latency_ms) / 1000.0, &line_bytes);
    const double ceiling = double(image.size()) / phase_s;
    auto stats = ReadStats(stats_file);
    const bool intact = ReadBytes(received) == image;
    const double cpu = Seconds(load.usage.ru_utime) + Seconds(load.usage.ru_stime);
    const size_t blocks = (image.size() + BLOCK - 1) / BLOCK;

    std::printf("%s\n", c.name);
    std::printf("  image received intact     %s\n", intact ? "yes" : "NO");
    std::printf("  reported data rate        %.0f B/s (download time %s s)\n", reported_rate,
                m[1].str().c_str());
    std::printf("  protocol ceiling          %.0f B/s (%zu line bytes both ways, %.2f s%s)\n",
                ceiling, line_bytes, phase_s,
                c.adapter_latency_ms != 0 ? " with the adapter's hold" : "");
    std::printf("  ratio                     %.3f\n", reported_rate / ceiling);
    std::printf("  per block                 %.2f ms measured, %.2f ms at the ceiling\n",
                std::stod(m[1]) * 1000.0 / double(blocks + 1),
                phase_s * 1000.0 / double(blocks + 1));
    std::printf("  host turnaround           mean %.3f ms, max %.3f ms (%s samples)\n",
                std::stod(stats["turnaround_mean_us"]) / 1000.0,
                std::stod(stats["turnaround_max_us"]) / 1000.0, stats["turnaround_count"].c_str());
    std::printf("  frames sent more than once %s (tarnsim host_retransmissions)\n",
                stats["host_retransmissions"].c_str());
    std::printf("  replies the device sent again %s (tarnsim reply_retransmissions)\n",
                stats["reply_retransmissions"].c_str());
    std::printf("  tarnload CPU time         %.3f s (user %.3f, system %.3f), %.2f %% of the "
                "%.2f s run\n",
                cpu, Seconds(load.usage.ru_utime), Seconds(load.usage.ru_stime), 100.0 * cpu / wall,
                wall);
    std::printf("  tarnload peak RSS         %ld KiB\n", load.usage.ru_maxrss);
    std::fflush(stdout);
    if (figures != nullptr) {
        *figures = {reported_rate / ceiling, stats["host_retransmissions"],
                    stats["reply_retransmissions"], cpu};
    }
    return intact;
}

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One paced update on a pty; the data rate tarnload reported, 0 on failure,
// and tarnload's CPU time in *cpu. `trace`: the TARNLOAD_TRACE value, or ""
// for none.
double PtyRate(const std::string& firmware, const std::string& trace, double* cpu) {
    e2e::Peer sim;
    if (!sim.Start({TARNSIM_PATH, "--paced", "--busy-answers=0", "--quiet"})) {
        return 0;
    }
    const std::string pty = sim.ReadLine(5000);
    if (trace.empty()) {
        unsetenv("TARNLOAD_TRACE");
    } else {
        std::remove(trace.c_str());
        setenv("TARNLOAD_TRACE", trace.c_str(), 1);
    }
    const e2e::RunResult load = e2e::Run({TARNLOAD_PATH, pty, firmware}, RUN_TIMEOUT_MS);
    unsetenv("TARNLOAD_TRACE");
    *cpu = CpuSeconds(load.usage);
    sim.Stop(0);
    std::smatch m;
    if (load.exit_status != 0 ||
        !std::regex_search(load.output, m,
                           std::regex("Download time: ([0-9.]+) s \\(([0-9]+) Bytes/s\\)"))) {
        return 0;
    }
    return std::stod(m[2]);
}

int TraceCost(int pairs, const std::string& firmware, const std::string& dir, double ceiling) {
    const std::string trace = dir + "/trace.log";
    double plain_sum = 0;
    double traced_sum = 0;
    double plain_cpu = 0;
    double traced_cpu = 0;
    size_t trace_lines = 0;
    for (int i = 0; i < pairs; ++i) {
        double cpu = 0;
        const double plain = PtyRate(firmware, "", &cpu);
        plain_cpu += cpu;
        const double traced = PtyRate(firmware, trace, &cpu);
        traced_cpu += cpu;
        if (plain == 0 || traced == 0) {
            std::fprintf(stderr, "run %d failed\n", i);
            return 1;
        }
        FILE* f = std::fopen(trace.c_str(), "r");
        trace_lines = 0;
        for (int c; f != nullptr && (c = std::fgetc(f)) != EOF;) {
            trace_lines += c == '\n';
        }
        if (f != nullptr) {
            std::fclose(f);
        }
        std::printf("pair %2d   untraced ratio %.3f   traced ratio %.3f\n", i + 1, plain / ceiling,
                    traced / ceiling);
        plain_sum += plain;
        traced_sum += traced;
    }
    const double plain_ratio = plain_sum / pairs / ceiling;
    const double traced_ratio = traced_sum / pairs / ceiling;
    std::printf("mean ratio untraced %.4f, traced %.4f (%zu trace lines a run): tracing costs "
                "%.2f %% of the ratio\n",
                plain_ratio, traced_ratio, trace_lines,
                (plain_ratio - traced_ratio) / plain_ratio * 100.0);
    // The scheduling noise of one run is often larger than the trace's cost;
    // its CPU time is not, and bounds what it can take from the rate.
    std::printf("tarnload CPU time a run: untraced %.4f s, traced %.4f s; the difference is "
                "%.3f %% of the untraced download time\n",
                plain_cpu / pairs, traced_cpu / pairs,
                (traced_cpu - plain_cpu) / pairs /
                    (static_cast<double>(IMAGE_SIZE) / (plain_sum / pairs)) * 100.0);
    return 0;
}

// Blocks the device takes before it falls silent in the give-up cases.
constexpr int SILENT_AFTER_BLOCK = 20;
// Longer than any run: a device off the line for good.
constexpr int SILENT_FOR_MS = 600000;

// A network connection that goes silent mid-download: the device restarts
// after a block and stays off the line, the connection stays open. Returns
// the seconds from the last block's progress dot to "Download failed" (the
// host's give-up), or a negative value when the run did not end that way.
double SilentGiveUpSeconds(const char* scheme, int delay_ms, const std::string& firmware) {
    e2e::Peer sim;
    // Started in DFU mode: a detach's restart would keep it off the line as long.
    if (!sim.Start({TARNSIM_PATH, "--paced", "--busy-answers=0", "--quiet", "--start=dfu-idle",
                    "--restart-after-block=" + std::to_string(SILENT_AFTER_BLOCK),
                    "--restart-ms=" + std::to_string(SILENT_FOR_MS)})) {
        return -1;
    }
    const std::string pty = sim.ReadLine(5000);
    e2e::Ser2net server;
    e2e::DelayProxy proxy;
    if (pty.rfind("/dev/", 0) != 0 || !server.Start(pty)) {
        return -1;
    }
    int tcp_port = std::string(scheme) == "rfc2217" ? server.Rfc2217Port() : server.RawPort();
    if (delay_ms > 0) {
        if (!proxy.Start(tcp_port, delay_ms)) {
            return -1;
        }
        tcp_port = proxy.Port();
    }
    const std::string port = std::string(scheme) + "://127.0.0.1:" + std::to_string(tcp_port);
    const std::vector<e2e::TimedChunk> chunks =
        e2e::RunOnTerminal({TARNLOAD_PATH, port, firmware}, RUN_TIMEOUT_MS);
    proxy.Stop();
    server.Stop();
    sim.Stop(0);
    long last_dot_ms = -1;
    for (const e2e::TimedChunk& chunk : chunks) {
        if (chunk.text.find("Download failed") != std::string::npos) {
            return last_dot_ms < 0 ? -1 : double(chunk.ms - last_dot_ms) / 1000.0;
        }
        if (chunk.text.find('.') != std::string::npos) {
            last_dot_ms = chunk.ms;
        }
    }
    return -1;
}

// The give-up on a silent connection at 0, 20 and 50 ms each way; false
// when a run did not end that way.
bool GiveUpCases(const std::string& firmware) {
    bool ok = true;
    std::printf("give up on a silent connection (the device silent after block %d; "
                "4 send attempts of 5 s):\n",
                SILENT_AFTER_BLOCK);
    for (int delay : {0, 20, 50}) {
        const double s = SilentGiveUpSeconds("socket", delay, firmware);
        const std::string name =
            delay == 0 ? "direct" : "+" + std::to_string(delay) + " ms each way";
        if (s < 0) {
            std::printf("  socket://, %-18s FAILED (the run did not give up as expected)\n",
                        name.c_str());
        } else {
            std::printf("  socket://, %-18s %.1f s\n", name.c_str(), s);
        }
        std::fflush(stdout);
        ok = s >= 0 && ok;
    }
    return ok;
}

// The local port, then each network port at each added delay, and a closing
// table of every case against the local one; then the time to give up on a
// connection that falls silent.
bool RunNetworkCases(const Program& program, const std::string& dir, const std::string& firmware,
                     const Bytes& image) {
    const char* const schemes[] = {"socket", "rfc2217"};
    const int delays[] = {0, 5, 20, 50};
    std::vector<std::string> names = {"local pty (reference)"};
    for (const char* scheme : schemes) {
        for (int delay : delays) {
            names.push_back(std::string(scheme) + "://, " +
                            (delay == 0 ? "direct" : "+" + std::to_string(delay) + " ms each way"));
        }
    }
    std::vector<Case> cases = {{names[0].c_str(), true, 0}};
    for (const char* scheme : schemes) {
        for (int delay : delays) {
            cases.push_back({names[cases.size()].c_str(), true, 0, scheme, delay});
        }
    }
    std::vector<Figures> figures(cases.size());
    bool ok = true;
    for (size_t i = 0; i < cases.size(); ++i) {
        ok = RunCase(cases[i], program, dir, firmware, image, &figures[i]) && ok;
    }
    std::printf("\n%-28s %7s %9s %11s %13s %7s\n", "case", "ratio", "vs local", "sent twice",
                "device again", "CPU s");
    for (size_t i = 0; i < cases.size(); ++i) {
        const double vs_local = figures[0].ratio > 0 ? figures[i].ratio / figures[0].ratio : 0;
        std::printf("%-28s %7.3f %8.1f%% %11s %13s %7.3f\n", cases[i].name, figures[i].ratio,
                    100.0 * (vs_local - 1.0), figures[i].sent_twice.c_str(),
                    figures[i].device_sent_twice.c_str(), figures[i].cpu_s);
    }
    std::printf("\n");
    ok = GiveUpCases(firmware) && ok;
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    Program program;
    bool network = false;
    bool give_up = false;
    std::string dir;
    int trace_pairs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--trace-cost" && i + 1 < argc) {
            trace_pairs = std::atoi(argv[++i]);
            if (trace_pairs <= 0) {
                std::fprintf(stderr, "--trace-cost needs a number of pairs\n");
                return 1;
            }
        } else if (arg == "--wine" && i + 4 < argc) {
            program.wine = argv[++i];
            program.wine_exe = argv[++i];
            program.link = argv[++i];
            program.name = argv[++i];
        } else if (arg == "--network") {
            network = true;
        } else if (arg == "--give-up") {
            give_up = true;
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "Usage: download_bench [--wine WINE EXE LINK NAME] [--network | "
                                 "--give-up | --trace-cost N] [work-dir]\n");
            return 2;
        } else {
            dir = arg;
        }
    }
    if (dir.empty()) {
        char templ[] = "/tmp/tarn_download_bench_XXXXXX";
        if (mkdtemp(templ) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = templ;
    }
    const std::string firmware = dir + "/bench.dfu";
    const Bytes file =
        sim::BuildDfuFile(sim::RandomBytes(IMAGE_SIZE - sim::DFU_FILE_HEADER_SIZE, 9), 0x7A52,
                          0x0100, "download benchmark");
    const Bytes image(file.begin(), file.end() - sim::DFU_FILE_SUFFIX_SIZE);
    if (!WriteFile(firmware, file)) {
        std::fprintf(stderr, "cannot write %s\n", firmware.c_str());
        return 1;
    }
    if (trace_pairs > 0) {
        size_t line_bytes = 0;
        const double ceiling =
            double(image.size()) / DownloadPhaseSeconds(image, true, 0, &line_bytes);
        return TraceCost(trace_pairs, firmware, dir, ceiling);
    }
    std::printf("image %zu bytes in blocks of at most %zu, paced 115200 8E1, no busy time; "
                "tarnload %s\n",
                image.size(), BLOCK,
                program.wine_exe.empty() ? "native" : ("under wine: " + program.wine_exe).c_str());

    if (give_up) {
        return GiveUpCases(firmware) ? 0 : 1;
    }
    if (network) {
        return RunNetworkCases(program, dir, firmware, image) ? 0 : 1;
    }
    constexpr uint32_t ADAPTER_LATENCY_MS = 16;
    const Case cases[] = {
        {"replies reliable", true, 0},
        {"replies unreliable", false, 0},
        {"replies reliable, 16 ms adapter latency", true, ADAPTER_LATENCY_MS},
    };
    bool ok = true;
    for (const Case& c : cases) {
        ok = RunCase(c, program, dir, firmware, image) && ok;
    }
    if (!program.wine_exe.empty()) {
        return ok ? 0 : 1;
    }

    Bytes in_process_image;
    const std::string in_process = RunInProcess(firmware, &in_process_image);
    std::smatch v;
    if (!std::regex_search(in_process, v,
                           std::regex("Download time: ([0-9.]+) s \\(([0-9]+) Bytes/s\\)"))) {
        std::fprintf(stderr, "in-process run failed:\n%s", in_process.c_str());
        return 1;
    }
    size_t line_bytes = 0;
    const double ceiling = double(image.size()) / DownloadPhaseSeconds(image, true, 0, &line_bytes);
    std::printf("same run in-process, replies reliable, paced, virtual time (no scheduling "
                "delays):\n");
    std::printf("  reported data rate        %s B/s (download time %s s), ratio %.3f, image %s\n",
                v[2].str().c_str(), v[1].str().c_str(), std::stod(v[2]) / ceiling,
                in_process_image == image ? "intact" : "DIFFERS");
    // The idle tick's real length on this machine, right now.
    constexpr int SLEEPS = 200;
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int i = 0; i < SLEEPS; ++i) {
        plat_Sleep(1);
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    const double tick_ms =
        (double(t1.tv_sec - t0.tv_sec) * 1e3 + double(t1.tv_nsec - t0.tv_nsec) / 1e6) / SLEEPS;
    std::printf("a 1 ms sleep lasts          %.3f ms here (mean of %d)\n", tick_ms, SLEEPS);
    return ok && in_process_image == image ? 0 : 1;
}
