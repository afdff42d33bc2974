#pragma once
// tarnsim's command line: the device options of a run and the make-dfu
// sub-command, parsed into plain records. Parsing prints nothing; the
// caller prints the message and exits with status 2.

#include "sim_device.h"
#include "sim_dfu_file.h"

#include <cstdint>
#include <string>

namespace sim {

// A run: play the device on a pty.
struct RunOptions {
    DeviceConfig device;
    uint32_t updates = 0;   // stop after this many completed updates (0: on a signal only)
    std::string image_out;  // where the received image goes ("" = nowhere)
    std::string stats_file; // where the statistics go ("" = nowhere)
    bool quiet = false;     // no diagnostics on standard error
    std::string trace_file; // the device's side of the run trace ("" = none)
    // The device's bytes reach the host the way a USB adapter's latency
    // timer lets them through (0 = as soon as they are on the line).
    uint32_t adapter_latency_ms = 0;
    // Once DNLOAD block number babble_after_block has arrived and what the
    // device wrote at once has gone out, the line carries endless noise at
    // line speed instead of the device's bytes (-1: never).
    int32_t babble_after_block = -1;
    // Once DNLOAD block number trickle_after_block has arrived, the device's
    // bytes reach the host one a second (-1: never).
    int32_t trickle_after_block = -1;
};

// `tarnsim decode`: a capture of one direction of a line, as trace lines.
enum class CaptureDirection { Guess, FromHost, ToHost };
struct DecodeOptions {
    CaptureDirection direction = CaptureDirection::Guess;
    std::string file;
};

// `tarnsim make-dfu`: write a sample firmware file.
struct MakeDfuOptions {
    std::string out;
    std::string from;  // raw image file; "" = random bytes
    uint64_t size = 0; // random bytes, or the first `size` bytes of `from`
    bool has_size = false;
    uint64_t seed = 1;
    bool has_seed = false;
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string description;
    DfuFileFlaws flaws;
};

enum class Command { Run, MakeDfu, Decode, Help, Version };

struct CommandLine {
    Command command = Command::Run;
    RunOptions run;
    MakeDfuOptions make;
    DecodeOptions decode;
};

// Parses argv[1..argc). Options take their value as the next argument or
// after '='. On success fills *out and returns true; otherwise returns false
// with *error holding one line (no newline) that names the offending option.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error);

// The --help text (every option, its default, the exit statuses).
const char* UsageText();

} // namespace sim
