// The line ceiling: the paced local cases against the most the protocol
// allows on the line, the same run in-process on virtual time, and what the
// trace costs of the ratio.
#include "bench_cases.h"

#include "bcsp_link.h"
#include "child_process.h"
#include "dfu_file.h"
#include "dfu_transport.h"
#include "dfu_update.h"
#include "platform_clock.h"
#include "sim_device.h"
#include "sim_line.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <regex>
#include <unistd.h>

namespace bench {

namespace {

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

} // namespace

bool RunLineCases(const Program& program, const std::string& dir, const std::string& firmware,
                  const Bytes& image) {
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
        return ok;
    }

    Bytes in_process_image;
    const std::string in_process = RunInProcess(firmware, &in_process_image);
    std::smatch v;
    if (!std::regex_search(in_process, v,
                           std::regex("Download time: ([0-9.]+) s \\(([0-9]+) Bytes/s\\)"))) {
        std::fprintf(stderr, "in-process run failed:\n%s", in_process.c_str());
        return false;
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
    return ok && in_process_image == image;
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

} // namespace bench
