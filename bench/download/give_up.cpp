// Giving up on a network connection that falls silent mid-download.
#include "bench_cases.h"

#include "child_process.h"
#include "delay_proxy.h"
#include "ser2net_server.h"

#include <cstdio>

namespace bench {

namespace {

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

} // namespace

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

} // namespace bench
