#include "ser2net_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

// ser2net listens within milliseconds; a port another process took first is
// never opened, without a word, so waiting is the only way to tell.
constexpr auto kListenWait = std::chrono::seconds(3);
constexpr int kAttempts = 3;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Two distinct ports nobody listens on right now. The kernel picks them;
// between closing them here and ser2net binding them another process may
// take one, which Start notices and retries.
bool FreePorts(int* a, int* b) {
    int fds[2] = {-1, -1};
    int ports[2] = {0, 0};
    bool ok = true;
    for (int i = 0; i < 2 && ok; ++i) {
        fds[i] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ok = fds[i] >= 0 && bind(fds[i], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
             getsockname(fds[i], reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        ports[i] = ntohs(addr.sin_port);
    }
    for (int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
    *a = ports[0];
    *b = ports[1];
    return ok;
}

// The inode of the socket listening on 127.0.0.1:`port`, 0 when none.
unsigned long ListeningInode(int port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line); // header
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
            inode;
        if (local == want && state == "0A") {
            return inode;
        }
    }
    return 0;
}

// Whether process `pid` holds socket `inode`: the port is ser2net's own and
// not some other process's that happened to take it.
bool Holds(pid_t pid, unsigned long inode) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    const std::string want = "socket:[" + std::to_string(inode) + "]";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return false;
    }
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[64];
        const std::string link = dir + "/" + e->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && want == std::string(target, static_cast<size_t>(n))) {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

bool ListensOn(pid_t pid, int port) {
    const unsigned long inode = ListeningInode(port);
    return inode != 0 && Holds(pid, inode);
}

// A process that has ended but not been reaped is a zombie ('Z').
bool Ended(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z';
}

} // namespace

int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string Ser2net::Binary() {
    std::string path = "/usr/sbin:/usr/local/sbin:";
    if (const char* env = std::getenv("PATH")) {
        path += env;
    }
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/ser2net";
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

Ser2net::~Ser2net() {
    Stop();
}

bool Ser2net::Start(const std::string& pty) {
    Stop();
    error_.clear();
    const std::string binary = Binary();
    if (binary.empty()) {
        error_ = "ser2net is not installed (scripts/install_deps.sh installs it)";
        return false;
    }
    char dir[] = "/tmp/tarn_ser2net_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        error_ = "cannot make a directory for the ser2net configuration";
        return false;
    }
    dir_ = dir;
    config_ = dir_ + "/ser2net.yaml";
    pidfile_ = dir_ + "/ser2net.pid";
    log_ = dir_ + "/ser2net.log";
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        bool port_taken = false;
        if (StartOnce(binary, pty, &port_taken)) {
            return true;
        }
        server_.Stop(0);
        if (!port_taken) {
            break;
        }
    }
    RemoveFiles();
    return false;
}

bool Ser2net::StartOnce(const std::string& binary, const std::string& pty, bool* port_taken) {
    if (!FreePorts(&raw_port_, &rfc2217_port_)) {
        error_ = "no free TCP port on 127.0.0.1";
        return false;
    }
    const std::string connector = "serialdev," + pty + ",115200e81,local";
    std::ofstream(config_) << "%YAML 1.1\n---\n"
                           << "connection: &raw\n"
                           << "    accepter: tcp(nodelay),127.0.0.1," << raw_port_ << "\n"
                           << "    connector: " << connector << "\n"
                           << "    options:\n"
                           << "      chardelay: false\n"
                           << "connection: &rfc2217\n"
                           << "    accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,"
                           << rfc2217_port_ << "\n"
                           << "    connector: " << connector << "\n"
                           << "    options:\n"
                           << "      chardelay: false\n";
    if (!server_.Start({binary, "-n", "-u", "-c", config_, "-P", pidfile_}, log_)) {
        error_ = "cannot start " + binary;
        return false;
    }
    const auto deadline = Clock::now() + kListenWait;
    while (Clock::now() < deadline) {
        if (ListensOn(server_.Pid(), raw_port_) && ListensOn(server_.Pid(), rfc2217_port_)) {
            return true;
        }
        if (Ended(server_.Pid())) {
            break;
        }
        usleep(5000);
    }
    *port_taken = ListeningInode(raw_port_) != 0 || ListeningInode(rfc2217_port_) != 0;
    error_ = "ser2net did not come up on 127.0.0.1:" + std::to_string(raw_port_) +
             " and :" + std::to_string(rfc2217_port_) + "; it printed: " + ReadFile(log_);
    return false;
}

void Ser2net::Stop() {
    if (server_.Pid() > 0) {
        server_.Stop(0);
    }
    RemoveFiles();
}

void Ser2net::RemoveFiles() {
    if (dir_.empty()) {
        return;
    }
    for (const std::string* f : {&config_, &pidfile_, &log_}) {
        unlink(f->c_str());
    }
    rmdir(dir_.c_str());
    dir_.clear();
}

} // namespace e2e
