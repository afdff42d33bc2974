// tarnload run as a process: argument checking, the port and the firmware
// file stages, their exact output and exit status, and what they leave alone.
#include <gtest/gtest.h>

#include "../support/test_pty.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct RunResult {
    int status = -1; // exit status, -1 when it did not exit normally
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

// Runs tarnload with `args` in directory `cwd`; killed after 30 s.
RunResult run_tarnload(const std::vector<std::string>& args, const std::string& cwd) {
    int out_pipe[2];
    int err_pipe[2];
    RunResult r;
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        return r;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(TARNLOAD_PATH));
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(TARNLOAD_PATH, argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    // Output of these runs is small: reading stdout to its end cannot block
    // on a full stderr pipe.
    r.out = drain(out_pipe[0]);
    r.err = drain(err_pipe[0]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

struct Pty : test_support::PtyPair {
    // Bytes the program sent; they cross the pty asynchronously, so this
    // waits a little for the first.
    size_t pending_bytes() const {
        pollfd p{master, POLLIN, 0};
        poll(&p, 1, 100);
        uint8_t buf[4096];
        size_t total = 0;
        ssize_t n;
        while ((n = read(master, buf, sizeof buf)) > 0) {
            total += static_cast<size_t>(n);
        }
        return total;
    }
};

// Notices whether anybody opened a path.
class OpenWatch {
  public:
    explicit OpenWatch(const std::string& path) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) {
            inotify_add_watch(fd_, path.c_str(), IN_OPEN);
        }
    }
    ~OpenWatch() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool valid() const { return fd_ >= 0; }
    bool opened() const {
        alignas(inotify_event) char buf[4096];
        return read(fd_, buf, sizeof buf) > 0;
    }

  private:
    int fd_ = -1;
};

std::string make_temp_dir() {
    char pattern[] = "/tmp/driver_test.XXXXXX";
    const char* made = mkdtemp(pattern);
    return made ? made : "";
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) { // an empty vector's data() may be null
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    }
    std::fclose(f);
}

// A well-formed file: 300-byte image, suffix right after it.
std::vector<uint8_t> valid_dfu() {
    std::vector<uint8_t> bytes(316, 0);
    bytes[10] = 300 & 0xFF;
    bytes[11] = 300 >> 8;
    return bytes;
}

const std::string USAGE = "Usage: tarnload.exe <com> <file.dfu>\n";

class DriverTest : public testing::Test {
  protected:
    std::string dir = make_temp_dir();
    std::string firmware = dir + "/firmware.dfu";
    Pty pty;

    void SetUp() override {
        ASSERT_FALSE(dir.empty());
        ASSERT_FALSE(pty.slave.empty());
        write_file(firmware, valid_dfu());
    }
    void TearDown() override {
        std::error_code ignored;
        if (!dir.empty()) {
            std::filesystem::remove_all(dir, ignored);
        }
    }
};

TEST_F(DriverTest, WrongArgumentCountPrintsUsageAndTouchesNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {pty.slave},
        {pty.slave, firmware, "extra"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.size());
        termios before{};
        ASSERT_EQ(tcgetattr(pty.master, &before), 0);
        OpenWatch port_watch(pty.slave);
        OpenWatch file_watch(firmware);
        ASSERT_TRUE(port_watch.valid() && file_watch.valid());

        const RunResult r = run_tarnload(args, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, USAGE);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(port_watch.opened());
        EXPECT_FALSE(file_watch.opened());
        termios after{};
        ASSERT_EQ(tcgetattr(pty.master, &after), 0);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
    }
}

TEST_F(DriverTest, PortThatCannotBeOpenedEndsTheRunBeforeTheFile) {
    // Somebody else holds the port, as a second tarnload would.
    const int holder = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string held = pty.slave;
    struct Case {
        std::string port;
        std::string reason; // the line before the summary
    };
    const Case cases[] = {
        {"/dev/no_such_port", "no such device"},
        {"no such port", "no such device"},
        {"./firmware.dfu", "not a serial port"}, // the arguments the wrong way round
        {dir, "not a serial port"},
        {held, "in use by another program"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        OpenWatch file_watch(firmware);
        const std::string file_arg = c.port == "./firmware.dfu" ? held : firmware;
        const RunResult r = run_tarnload({c.port, file_arg}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out,
                  "Serial port: " + c.reason + "\nCannot open com port \"" + c.port + "\"\n");
        EXPECT_EQ(r.err, "");
        if (c.port != "./firmware.dfu") {
            EXPECT_FALSE(file_watch.opened());
        }
    }
    close(holder);
    // Nothing was written into the firmware file taken for a port.
    FILE* f = std::fopen(firmware.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> content(1000);
    content.resize(std::fread(content.data(), 1, content.size(), f));
    std::fclose(f);
    EXPECT_EQ(content, valid_dfu());
}

TEST_F(DriverTest, BadFirmwareFileIsRejectedWithThePathAsTyped) {
    auto beyond_end = valid_dfu();
    beyond_end[11] = 0x20; // suffix offset 0x202C, past the end
    write_file(dir + "/short.dfu", std::vector<uint8_t>(60, 0x41));
    write_file(dir + "/beyond.dfu", beyond_end);
    auto suffix_cut = valid_dfu();
    suffix_cut.resize(310);
    write_file(dir + "/suffix_cut.dfu", suffix_cut);
    write_file(dir + "/empty.dfu", {});
    struct Case {
        std::string path;
        std::string reason; // the line before the summary
        std::string shown;  // the path as the summary prints it
    };
    const std::string missing = "cannot be opened (No such file or directory)";
    const std::string short_header = "shorter than the 100-byte header";
    const std::string fake_success =
        "a\nOperation complete, the new application should now be running\nb";
    const Case cases[] = {
        {"missing.dfu", missing, ""},
        {"./sub/../missing.dfu", missing, ""},
        {dir + "/missing.dfu", missing, ""},
        {"short.dfu", short_header, ""},
        {"beyond.dfu", "ends before its 16-byte suffix (suffix offset 8236)", ""},
        {"./suffix_cut.dfu", "ends before its 16-byte suffix (suffix offset 300)", ""},
        {"empty.dfu", short_header, ""},
        // A name's line breaks cannot forge a line of the program's own.
        {fake_success, missing,
         "a\\x0AOperation complete, the new application should now be running\\x0Ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        OpenWatch port_watch(pty.slave);
        const RunResult r = run_tarnload({pty.slave, c.path}, dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Firmware file: " + c.reason + "\n" +
                             (c.shown.empty() ? c.path : c.shown) + " is not a valid DFU file\n");
        EXPECT_EQ(r.err, "");
        // The port was opened (the watch sees opens), yet nothing was sent.
        EXPECT_TRUE(port_watch.opened());
        EXPECT_EQ(pty.pending_bytes(), 0u);
    }
}

} // namespace
