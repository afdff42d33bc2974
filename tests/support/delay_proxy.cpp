#include "delay_proxy.h"

#include <cstdlib>

namespace e2e {

bool DelayProxy::Start(int target_port, double delay_ms) {
    Stop();
    error_.clear();
    if (!proxy_.Start({PYTHON3_PATH, TCP_DELAY_PROXY_PATH, "--target",
                       "127.0.0.1:" + std::to_string(target_port), "--delay-ms",
                       std::to_string(delay_ms)})) {
        error_ = "cannot start " PYTHON3_PATH;
        return false;
    }
    const std::string line = proxy_.ReadLine(5000);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) != 0) {
        proxy_.Stop(0);
        error_ = "the delay proxy did not start; it printed: " + line + proxy_.Rest();
        return false;
    }
    port_ = std::atoi(line.c_str() + prefix.size());
    return true;
}

void DelayProxy::Stop() {
    if (proxy_.Pid() > 0) {
        proxy_.Stop(0);
    }
    port_ = 0;
}

} // namespace e2e
