#pragma once
// What the download benchmark's cases share: the image, how tarnload is
// run, one update through a fresh tarnsim with its figures, and the
// protocol's ceiling on the line. Each case lives in its own file
// (line_ceiling.cpp, network_delays.cpp, give_up.cpp); download_bench.cpp
// chooses among them.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/time.h>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t IMAGE_SIZE = 64 * 1024;
inline constexpr size_t BLOCK = 230;
// A paced 64 KiB update takes about 9 s on a local port and about a minute
// with 50 ms added each way on a network port; a run this long has hung.
inline constexpr int RUN_TIMEOUT_MS = 300000;

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

bool WriteFile(const std::string& path, const Bytes& bytes);
std::map<std::string, std::string> ReadStats(const std::string& path);
Bytes ReadBytes(const std::string& path);
double Seconds(const timeval& t);
double CpuSeconds(const rusage& usage);

// Line time of the download phase in seconds: each data block and the
// end-of-image block as a DNLOAD request and its reply, each data block
// followed by a GETSTATUS request and its 6-byte reply. Acknowledgements
// travel in these frames' headers; sequence numbers advance as the link
// advances them. A reply shorter than an adapter packet is held until the
// adapter's latency timer runs out. *line_bytes gets the bytes both ways.
double DownloadPhaseSeconds(const Bytes& image, bool reliable_replies, double latency_s,
                            size_t* line_bytes);

// One update through a fresh tarnsim; prints the case's figures. False when
// the run failed or the image arrived damaged.
bool RunCase(const Case& c, const Program& program, const std::string& dir,
             const std::string& firmware, const Bytes& image, Figures* figures = nullptr);

// The paced local cases (replies reliable, unreliable, behind a 16 ms
// adapter latency timer) against the ceiling, then the same run in-process
// on virtual time and the idle tick's real length. False when a run failed.
bool RunLineCases(const Program& program, const std::string& dir, const std::string& firmware,
                  const Bytes& image);

// N pairs of paced pty runs, untraced and traced, and what the trace costs
// of the ratio. The exit status.
int TraceCost(int pairs, const std::string& firmware, const std::string& dir, double ceiling);

// The local port, then each network port at each added delay, and a closing
// table of every case against the local one; then the give-up cases.
bool RunNetworkCases(const Program& program, const std::string& dir, const std::string& firmware,
                     const Bytes& image);

// The give-up on a silent connection at 0, 20 and 50 ms each way; false
// when a run did not end that way.
bool GiveUpCases(const std::string& firmware);

} // namespace bench
