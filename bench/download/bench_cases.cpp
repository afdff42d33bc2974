// The download benchmark's shared pieces: files, one update through a fresh
// tarnsim and its figures, and the protocol's ceiling on the line.
#include "bench_cases.h"

#include "child_process.h"
#include "delay_proxy.h"
#include "ser2net_server.h"
#include "serial_port.h"
#include "sim_frame.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <regex>
#include <unistd.h>

namespace bench {

namespace {

constexpr size_t STATUS_DATA = 6;

double LineSeconds(double bytes) {
    return bytes * COM_BITS_PER_BYTE / COM_LINE_BAUD;
}

// A USB adapter passes bytes to the host in packets of this many at most.
constexpr size_t ADAPTER_PACKET_BYTES = 62;

} // namespace

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

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool RunCase(const Case& c, const Program& program, const std::string& dir,
             const std::string& firmware, const Bytes& image, Figures* figures) {
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

} // namespace bench
