// What a run leaves behind when it is cut short or disturbed: the port as it
// was found, the device never holding a mixed image reported as complete,
// no download cut by its own output, a run that ends when its device is gone.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "file_bytes.h"
#include "sim_dfu_file.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int RUN_TIMEOUT_MS = 20000;
// An unprivileged account: TIOCEXCL does not hold root back, only others.
constexpr uid_t NOBODY = 65534;
// A device slow enough that the download is still under way when the test
// acts on it.
const std::vector<std::string> SLOW_DEVICE = {"--start=dfu-idle", "--busy-answers=0",
                                              "--reply-delay-ms=10"};
const std::string INTERRUPTED = "Interrupted: the device was left in the middle of an update; "
                                "running the same command again completes it\n";

// Signals the peer's own process only; a peer that never started or has
// been stopped (no pid) gets nothing, never a broadcast.
void SendSignal(const e2e::Peer& peer, int signal_number) {
    if (peer.Pid() > 0) {
        kill(peer.Pid(), signal_number);
    }
}

class Integrity : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = testing::TempDir() + "tarn_integrity_" + std::to_string(getpid()) + "_";
    }
    void TearDown() override {
        for (const char* f : {"fw.dfu", "image.bin", "stats.txt"}) {
            std::remove((dir_ + f).c_str());
        }
    }

    Bytes FirmwareFile(size_t image_size, uint64_t seed) {
        return sim::BuildDfuFile(sim::RandomBytes(image_size - 100, seed), 1, 2, "integrity");
    }
    void Write(const Bytes& bytes, bool in_place = false) {
        // In place: the same file, rewritten without truncation, as an
        // editor or `dd conv=notrunc` does.
        std::fstream out(dir_ + "fw.dfu", std::ios::binary | std::ios::in | std::ios::out |
                                              (in_place ? std::ios::openmode{} : std::ios::trunc));
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    Bytes Read(const std::string& name) { return e2e::ReadBytes(dir_ + name); }
    // The statistics the device wrote as it ended.
    std::string Stats() {
        const Bytes bytes = Read("stats.txt");
        return std::string(bytes.begin(), bytes.end());
    }
    // Starts tarnsim; returns its pty path ("" on failure).
    std::string StartDevice(e2e::Peer* device, std::vector<std::string> args) {
        std::vector<std::string> argv = {TARNSIM_PATH,       "--quiet", "--image-out",
                                         dir_ + "image.bin", "--stats", dir_ + "stats.txt"};
        argv.insert(argv.end(), args.begin(), args.end());
        if (!device->Start(argv)) {
            return "";
        }
        return device->ReadLine(5000);
    }
    // Starts tarnload and reads its output up to the line `until`.
    std::string StartDownload(e2e::Peer* host, const std::string& pty,
                              const std::string& until = "Downloading\n") {
        if (!host->Start({TARNLOAD_PATH, pty, dir_ + "fw.dfu"})) {
            return "";
        }
        std::string seen;
        for (std::string line; seen.find(until) == std::string::npos;) {
            line = host->ReadLine(5000);
            if (line.empty()) {
                break;
            }
            seen += line + "\n";
        }
        return seen;
    }

    // Ends the device (it writes its statistics and image as it goes).
    static int StopDevice(e2e::Peer* device) {
        SendSignal(*device, SIGTERM);
        return device->Stop(2000);
    }

    std::string dir_;
};

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cflag == b.c_cflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Opens `path` as an unprivileged user would (a forked child drops root
// first). Returns 0 when it opened, else the errno of the failure.
int OpenAsUnprivileged(const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) {
            _exit(255);
        }
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Integrity, PortIsLeftAsItWasFound) {
    struct Case {
        const char* name;
        std::vector<std::string> sim_args;
        int signal;      // sent once the run printed `signal_after`; 0: none
        int want_status; // -1: ended by the signal itself
        std::string want_end;
        std::string signal_after = "Downloading\n";
    };
    const std::vector<std::string> slow = {"--start=dfu-idle", "--busy-answers=0",
                                           "--reply-delay-ms=20"};
    const Case cases[] = {
        {"success",
         {"--start=dfu-idle", "--busy-answers=0"},
         0,
         0,
         "Operation complete, the new application should now be running\n"},
        {"failed download", {"--start=dfu-idle", "--error-at-block=1"}, 0, 1, "Download failed\n"},
        {"SIGINT mid-download", slow, SIGINT, 1, INTERRUPTED},
        {"SIGQUIT mid-download ends as SIGQUIT does", slow, SIGQUIT, -1, INTERRUPTED},
        {"SIGTERM while the link is sought",
         {"--mute"},
         SIGTERM,
         1,
         "Interrupted: the device was not changed\n",
         "DFU file VID"},
        // Any other signal that ends a process: a user's kill, a resource
        // limit, a crash.
        {"SIGUSR1 mid-download", slow, SIGUSR1, 1, INTERRUPTED},
        {"SIGSEGV mid-download ends as SIGSEGV does", slow, SIGSEGV, -1, INTERRUPTED},
        {"SIGXCPU (a CPU-time limit) while the link is sought",
         {"--mute"},
         SIGXCPU,
         1,
         "Interrupted: the device was not changed\n",
         "DFU file VID"},
    };
    // The default action of SIGQUIT and SIGSEGV must leave no core file behind.
    const rlimit no_core{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &no_core), 0);
    Write(FirmwareFile(5000, 3));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Peer device;
        const std::string pty = StartDevice(&device, c.sim_args);
        ASSERT_EQ(pty.rfind("/dev/", 0), 0u);
        if (geteuid() == 0) {
            ASSERT_EQ(chmod(pty.c_str(), 0666), 0);
        }
        // Settings nothing in the run would choose: cooked, echoing, 9600.
        termios before{};
        {
            const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(tcgetattr(fd, &before), 0);
            before.c_lflag |= ICANON | ECHO | ISIG;
            before.c_iflag |= ICRNL | IXON;
            before.c_oflag |= OPOST;
            cfsetispeed(&before, B9600);
            cfsetospeed(&before, B9600);
            ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
            ASSERT_EQ(tcgetattr(fd, &before), 0);
            close(fd);
        }

        e2e::Peer host;
        std::string out = StartDownload(&host, pty, c.signal_after);
        if (c.signal != 0) {
            SendSignal(host, c.signal);
        }
        EXPECT_EQ(host.Stop(RUN_TIMEOUT_MS), c.want_status);
        out += host.Rest();
        EXPECT_GE(out.size(), c.want_end.size());
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), c.want_end.size())), c.want_end)
            << out;

        const int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        termios after{};
        ASSERT_EQ(tcgetattr(fd, &after), 0);
        EXPECT_TRUE(SameSettings(before, after));
#ifdef TIOCGEXCL
        int exclusive = -1;
        EXPECT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
#endif
        close(fd);
        // The next user of the port is not locked out.
        EXPECT_EQ(OpenAsUnprivileged(pty), 0) << "255: could not drop root";
        StopDevice(&device);
    }
}

TEST_F(Integrity, DamagedFileIsRefusedWithoutAByteOnTheLine) {
    const std::pair<const char*, std::string> cases[] = {
        {"--bad-crc", "Firmware file: CRC mismatch (file 0x"},
        {"--no-signature", "Firmware file: no DFU suffix signature\n"},
        {"--suffix-offset=50", "Firmware file: suffix offset 50 lies inside the header\n"},
    };
    for (const auto& [flaw, reason] : cases) {
        SCOPED_TRACE(flaw);
        const std::string path = dir_ + "fw.dfu";
        ASSERT_EQ(e2e::Run({TARNSIM_PATH, "make-dfu", "--out", path, "--size", "500", flaw}, 5000)
                      .exit_status,
                  0);
        e2e::Peer device;
        const std::string pty = StartDevice(&device, {"--start=dfu-idle"});
        ASSERT_EQ(pty.rfind("/dev/", 0), 0u);
        const e2e::RunResult run = e2e::Run({TARNLOAD_PATH, pty, path}, RUN_TIMEOUT_MS);
        EXPECT_EQ(StopDevice(&device), 0);
        EXPECT_EQ(run.exit_status, 1);
        // The reason, then the summary, last.
        EXPECT_EQ(run.output.rfind(reason, 0), 0u) << run.output;
        const std::string summary = path + " is not a valid DFU file\n";
        EXPECT_EQ(run.output.substr(run.output.find('\n') + 1), summary) << run.output;
        const std::string stats = Stats();
        EXPECT_NE(stats.find("bytes_from_host=0\n"), std::string::npos) << stats;
    }
}

TEST_F(Integrity, FileRewrittenDuringTheDownloadIsNeverReportedAsSent) {
    const Bytes first = FirmwareFile(10000, 3);
    const Bytes second = FirmwareFile(10000, 4);
    Write(first);
    e2e::Peer device;
    const std::string pty = StartDevice(&device, SLOW_DEVICE);
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u);
    e2e::Peer host;
    std::string out = StartDownload(&host, pty);
    Write(second, true);
    const int status = host.Stop(RUN_TIMEOUT_MS);
    out += host.Rest();
    StopDevice(&device);
    const Bytes received = Read("image.bin");
    // Whatever the timing, success means one whole image, never a mix.
    if (status == 0) {
        EXPECT_TRUE(received == Bytes(first.begin(), first.end() - 16) ||
                    received == Bytes(second.begin(), second.end() - 16));
    }
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("Firmware file changed during download\nDownload failed\n"),
              std::string::npos)
        << out;
    const std::string stats = Stats();
    EXPECT_NE(stats.find("image_complete=0"), std::string::npos) << stats;
}

TEST_F(Integrity, VanishedDeviceEndsTheRunAtOnce) {
    Write(FirmwareFile(10000, 3));
    e2e::Peer device;
    const std::string pty = StartDevice(&device, SLOW_DEVICE);
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u);
    e2e::Peer host;
    std::string out = StartDownload(&host, pty);
    SendSignal(device, SIGKILL);
    device.Stop(2000);
    const auto gone = Clock::now();
    EXPECT_EQ(host.Stop(5000), 1);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - gone).count();
    out += host.Rest();
    EXPECT_LT(ms, 1000);
    EXPECT_NE(out.find("Serial port lost: Input/output error\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("retry"), std::string::npos) << out;
    EXPECT_NE(out.find("Download failed\n"), std::string::npos) << out;
}

TEST_F(Integrity, ReaderClosingEarlyDoesNotCutTheDownload) {
    const Bytes file = FirmwareFile(3000, 3);
    Write(file);
    e2e::Peer device;
    const std::string pty = StartDevice(&device, {"--start=dfu-idle", "--busy-answers=0"});
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u);
    const e2e::RunResult run = e2e::Run(
        {"/bin/bash", "-c", "\"$0\" \"$1\" \"$2\" | head -1; echo \"status ${PIPESTATUS[0]}\"",
         TARNLOAD_PATH, pty, dir_ + "fw.dfu"},
        RUN_TIMEOUT_MS);
    StopDevice(&device);
    EXPECT_EQ(run.output, "DFU file: integrity\nstatus 0\n");
    EXPECT_EQ(Read("image.bin"), Bytes(file.begin(), file.end() - 16));
}

TEST_F(Integrity, OwnTerminalIsNeverTakenForThePort) {
    Write(FirmwareFile(300, 3));
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    for (const std::string& port : {std::string("/dev/tty"), terminal}) {
        SCOPED_TRACE(port);
        // A new session whose controlling terminal is `terminal`.
        const e2e::RunResult run = e2e::Run({"/usr/bin/setsid", "/bin/bash", "-c",
                                             "exec 3<>\"$0\"; exec \"$1\" \"$2\" \"$3\"", terminal,
                                             TARNLOAD_PATH, port, dir_ + "fw.dfu"},
                                            RUN_TIMEOUT_MS);
        EXPECT_EQ(run.exit_status, 1);
        EXPECT_EQ(run.output,
                  "Serial port: the program's own terminal or the system console, not a device\n"
                  "Cannot open com port \"" +
                      port + "\"\n");
    }
    close(master);
}

TEST_F(Integrity, DeviceCountingUpdatesStaysForItsDelayedReplies) {
    const Bytes file = FirmwareFile(100, 3);
    Write(file);
    e2e::Peer device;
    // Longer than the time the device lingers after the host falls silent.
    const std::string pty =
        StartDevice(&device, {"--start=dfu-idle", "--updates=1", "--reply-delay-ms=400"});
    ASSERT_EQ(pty.rfind("/dev/", 0), 0u);
    const e2e::RunResult run = e2e::Run({TARNLOAD_PATH, pty, dir_ + "fw.dfu"}, RUN_TIMEOUT_MS);
    EXPECT_EQ(device.Stop(5000), 0);
    EXPECT_EQ(run.exit_status, 0) << run.output;
}

} // namespace
