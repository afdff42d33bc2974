// The network delays: the same update through a real ser2net, as socket://
// and rfc2217://, straight and with delay added each way, against the
// local port.
#include "bench_cases.h"

#include <cstdio>

namespace bench {

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

} // namespace bench
