#pragma once
// A real ser2net in the foreground, serving one pseudo-terminal on
// 127.0.0.1 only through two ports: raw TCP and Telnet with RFC 2217. The
// device side is 115200 8E1 without modem lines, and characters are passed
// on at once (ser2net otherwise holds device output back for a few
// milliseconds to gather it).
//
// Only one connection at a time reaches the device: a second one, on either
// port, is told the device is in use and closed. ser2net releases the device
// a moment after a client closes.
//
// Stop it (or destroy it) before whoever owns the pseudo-terminal goes:
// pty numbers are reused within seconds, and a server left pointing at a
// reused one would talk to someone else's device. Declare it after the
// device's Peer so that it is destroyed first.

#include "child_process.h"

#include <string>

namespace e2e {

// A TCP connection to 127.0.0.1:`port`: its descriptor, or -1 (nothing left
// open) when it is refused.
int ConnectLoopback(int port);

class Ser2net {
  public:
    Ser2net() = default;
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;
    // Stops the server and removes its configuration, pid file and log.
    ~Ser2net();

    // Writes a configuration for `pty` in a fresh private directory, starts
    // ser2net on two free ports and waits (up to a few seconds) until both
    // are listening in that very process. Should another process take one
    // of the ports first, it tries again on fresh ones. Returns false when
    // ser2net is not installed or does not come up; Error() then says why,
    // with what ser2net printed. Prints nothing.
    bool Start(const std::string& pty);

    // Stops the server by its pid (SIGTERM, then SIGKILL) and removes its
    // files. Does nothing when it is not running.
    void Stop();

    int RawPort() const { return raw_port_; }
    int Rfc2217Port() const { return rfc2217_port_; }
    // Port names as tarnload takes them.
    std::string SocketUrl() const { return "socket://127.0.0.1:" + std::to_string(raw_port_); }
    std::string Rfc2217Url() const {
        return "rfc2217://127.0.0.1:" + std::to_string(rfc2217_port_);
    }
    // The server's process id while it runs, -1 otherwise.
    pid_t Pid() const { return server_.Pid(); }
    // The configuration file while the server runs (for diagnostics).
    const std::string& ConfigPath() const { return config_; }
    const std::string& Error() const { return error_; }

    // The installed ser2net, or empty when there is none.
    static std::string Binary();

  private:
    bool StartOnce(const std::string& binary, const std::string& pty, bool* port_taken);
    void RemoveFiles();

    Peer server_;
    std::string dir_;
    std::string config_;
    std::string pidfile_;
    std::string log_;
    int raw_port_ = 0;
    int rfc2217_port_ = 0;
    std::string error_;
};

} // namespace e2e
