#pragma once
// tcp_delay_proxy.py as a child process: a TCP port on 127.0.0.1 that
// forwards to a target and adds a fixed delay each way, order kept. For
// network ports over a slow link where netem is not available.

#include "child_process.h"

#include <string>

namespace e2e {

class DelayProxy {
  public:
    DelayProxy() = default;
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;
    ~DelayProxy() { Stop(); }

    // Starts the proxy in front of 127.0.0.1:`target_port`, adding
    // `delay_ms` each way, and waits (up to 5 s) until it listens. False
    // when it does not come up; Error() says why. Prints nothing.
    bool Start(int target_port, double delay_ms);
    // Stops it by its pid; connections through it are cut.
    void Stop();
    // The port it listens on, 0 when not running.
    int Port() const { return port_; }
    const std::string& Error() const { return error_; }

  private:
    Peer proxy_;
    int port_ = 0;
    std::string error_;
};

} // namespace e2e
