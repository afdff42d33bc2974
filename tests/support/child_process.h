#pragma once
// Runs the project's binaries as child processes for the end-to-end tests
// and the benchmarks: one with its standard output captured whole
// (tarnload), and one long-running peer whose first output line is read at
// once (tarnsim's pty path).

#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace e2e {

struct RunResult {
    int exit_status = -1; // -1 when killed or not waited for
    std::string output;   // everything written to standard output
    rusage usage{};       // CPU time and peak memory of the child
};

// Runs `argv` to completion (killed after `timeout_ms`), standard output
// captured; standard error is left alone.
RunResult Run(const std::vector<std::string>& argv, int timeout_ms);

// Output as it arrived: each chunk with the milliseconds since the start.
struct TimedChunk {
    long ms;
    std::string text;
};

// Runs `argv` with its standard output on a pseudo-terminal (so that it
// sees a terminal), recording when each piece of output arrived.
std::vector<TimedChunk> RunOnTerminal(const std::vector<std::string>& argv, int timeout_ms);

// A started peer process with its standard output on a pipe.
class Peer {
  public:
    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer();

    // Starts `argv`; false when it cannot be started. Its standard error is
    // appended to `stderr_path` when one is given. It is killed when the
    // process that started it dies, so that a crashed test leaves no
    // server or device behind.
    bool Start(const std::vector<std::string>& argv, const std::string& stderr_path = {});
    // The next line of its output without the newline; empty on end of
    // output or after `timeout_ms`.
    std::string ReadLine(int timeout_ms);
    // Waits up to `timeout_ms` for it to end; SIGTERM, then SIGKILL, when
    // it is still running. Returns its exit status, -1 when killed.
    int Stop(int timeout_ms);
    // Its process id while it runs, -1 otherwise.
    pid_t Pid() const { return pid_; }
    // Everything it printed after the lines already read, once stopped.
    const std::string& Rest() const { return rest_; }

  private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string pending_;
    std::string rest_;
};

} // namespace e2e
