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
#include "bench_cases.h"
#include "sim_dfu_file.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace bench;

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
    return RunLineCases(program, dir, firmware, image) ? 0 : 1;
}
