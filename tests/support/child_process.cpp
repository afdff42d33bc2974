#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// `stderr_path` empty leaves standard error alone. A peer dies with its
// parent.
pid_t Spawn(const std::vector<std::string>& argv, int* out_fd, const std::string& stderr_path = {},
            bool peer = false) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        if (!stderr_path.empty()) {
            const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (err >= 0) {
                dup2(err, STDERR_FILENO);
            }
        }
        if (peer) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(127); // the parent died before the request took hold
            }
        }
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    *out_fd = fds[0];
    return pid;
}

enum class Read { Data, Nothing, End };

// Reads what arrives within `timeout_ms`.
Read ReadSome(int fd, std::string* into, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) {
        return Read::Nothing;
    }
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
        return Read::Nothing;
    }
    if (n <= 0) {
        return Read::End;
    }
    into->append(buf, static_cast<size_t>(n));
    return Read::Data;
}

// Waits for `pid` until `deadline`, then SIGTERM and SIGKILL. Returns the
// exit status, -1 when it had to be killed. `usage`, when given, receives the
// resources the child used.
int Reap(pid_t pid, Clock::time_point deadline, rusage* usage = nullptr) {
    int status = 0;
    for (;;) {
        const pid_t r = wait4(pid, &status, WNOHANG, usage);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 || Clock::now() >= deadline) {
            break;
        }
        usleep(2000);
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (wait4(pid, &status, WNOHANG, usage) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        usleep(2000);
    }
    kill(pid, SIGKILL);
    wait4(pid, &status, 0, usage);
    return -1;
}

} // namespace

RunResult Run(const std::vector<std::string>& argv, int timeout_ms) {
    RunResult result;
    int fd = -1;
    const pid_t pid = Spawn(argv, &fd);
    if (pid < 0) {
        return result;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (MsLeft(deadline) > 0 && ReadSome(fd, &result.output, MsLeft(deadline)) != Read::End) {
    }
    close(fd);
    result.exit_status = Reap(pid, deadline, &result.usage);
    return result;
}

std::vector<TimedChunk> RunOnTerminal(const std::vector<std::string>& argv, int timeout_ms) {
    std::vector<TimedChunk> chunks;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return chunks;
    }
    const std::string slave = ptsname(master);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(slave.c_str(), O_RDWR);
        dup2(fd, STDOUT_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    const auto deadline = start + std::chrono::milliseconds(timeout_ms);
    auto now_ms = [&start] {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    bool exited = false;
    while (pid > 0 && MsLeft(deadline) > 0) {
        std::string text;
        // Reading fails once the child has exited and nothing is left.
        const Read r = ReadSome(master, &text, 50);
        if (r == Read::Data) {
            chunks.push_back({now_ms(), text});
            continue;
        }
        if (r == Read::End || exited) {
            break;
        }
        // Gone: one more pass picks up what it left in the terminal.
        exited = waitpid(pid, nullptr, WNOHANG) == pid;
    }
    close(master);
    if (pid > 0 && !exited) {
        Reap(pid, Clock::now());
    }
    return chunks;
}

Peer::~Peer() {
    if (pid_ > 0) {
        Stop(0);
    }
}

bool Peer::Start(const std::vector<std::string>& argv, const std::string& stderr_path) {
    pid_ = Spawn(argv, &out_fd_, stderr_path, true);
    return pid_ > 0;
}

std::string Peer::ReadLine(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        if (MsLeft(deadline) == 0 || ReadSome(out_fd_, &pending_, MsLeft(deadline)) == Read::End) {
            return {};
        }
    }
}

int Peer::Stop(int timeout_ms) {
    if (pid_ <= 0) {
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const int status = Reap(pid_, deadline);
    pid_ = -1;
    rest_ = pending_;
    // The process is gone: drain what it left in the pipe.
    while (ReadSome(out_fd_, &rest_, 100) == Read::Data) {
    }
    close(out_fd_);
    out_fd_ = -1;
    return status;
}

} // namespace e2e
