#include "sim_options.h"

#include "sim_dfu_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace sim {

namespace {

constexpr uint64_t U16_MAX = 0xFFFF;
constexpr uint64_t U32_MAX = 0xFFFFFFFF;
constexpr size_t DESCRIPTOR_HEX_DIGITS = 24;
// The make-dfu image may not outgrow the header's 32-bit suffix offset.
constexpr uint64_t MAX_IMAGE_SIZE = 0x7FFFFFFF;

const char USAGE_HEAD[] =
    R"(Usage: tarnsim [options]
       tarnsim make-dfu --out FILE (--size N [--seed S] | --from RAW [--size N])
                        [--vid V] [--pid P] [--desc TEXT]
       tarnsim decode [--from-host|--to-host] FILE
       tarnsim --help
       tarnsim --version

A virtual device on a pseudo-terminal. The first line of standard output is
the path of the terminal to give tarnload. Runs until SIGINT/SIGTERM or until
--updates updates have completed. Diagnostics go to standard error.
Numbers may be decimal or 0x-hex. Exit status: 0 done, 1 runtime failure,
2 bad options.

Run:
)";

// Between the run options and make-dfu's.
const char USAGE_COMMANDS[] = R"(
decode: reads a capture of ONE direction of a line and prints its frames as
trace lines, with the byte offset of each frame's opening delimiter in place
of a time. FILE is raw binary bytes, or a hex dump: `socat -x` output, a
logic analyser's export (0xC0 tokens, e.g. CSV), or plain two-digit hex
bytes (hexdump -C works; its offsets and ASCII column are skipped).
--from-host reads channel-12 payloads as requests, --to-host as replies;
without either the first channel-12 frame decides. Of a socat dump holding
both directions (blocks marked > and <), the blocks going the chosen way are
taken (the first marker's without a choice). A frame cut by the end of the
capture is reported as truncated.

make-dfu: a firmware file of a 100-byte header (suffix offset u32 LE at 10,
description at 16), the image (header included: the file's bytes before the
suffix) and a 16-byte DFU suffix (bcdDevice 0xFFFF, PID, VID, bcdDFU 0x0100,
"UFD", 16, CRC-32 without final inversion over all bytes before it).
)";

// Where an option's help starts on its line; a longer option takes one space.
constexpr size_t HELP_COLUMN = 27;

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value > max) {
        return false;
    }
    *out = value;
    return true;
}

bool ParseRate(const std::string& text, double* out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0.0 && value <= 1.0)) {
        return false;
    }
    *out = value;
    return true;
}

bool ParseDescriptor(const std::string& text, uint8_t out[12]) {
    if (text.size() != DESCRIPTOR_HEX_DIGITS) {
        return false;
    }
    for (size_t i = 0; i < 12; ++i) {
        uint64_t byte = 0;
        if (!ParseUnsigned("0x" + text.substr(2 * i, 2), 0xFF, &byte) ||
            text.substr(2 * i, 2).find_first_of("xX") != std::string::npos) {
            return false;
        }
        out[i] = static_cast<uint8_t>(byte);
    }
    return true;
}

// One option: whether it takes a value, and what to do with it (false: the
// value is not acceptable; `why` says what is expected); and its entry in
// the usage: the option as shown there (nullptr: shown with another one's)
// and its help, one line a '\n'.
struct Option {
    bool takes_value;
    const char* why;
    std::function<bool(const std::string&)> apply;
    const char* shown;
    const char* help;
};

// The options in the order the usage lists them, with the usage's section
// headings between them.
struct Table {
    std::vector<std::pair<std::string, Option>> rows;

    Option& operator[](const std::string& name) {
        rows.push_back({name, Option{}});
        return rows.back().second;
    }
    void Heading(const char* text) { rows.push_back({"", Option{false, "", {}, nullptr, text}}); }
    const Option* Find(const std::string& name) const {
        for (const auto& [row_name, option] : rows) {
            if (option.apply && row_name == name) {
                return &option;
            }
        }
        return nullptr;
    }
};

std::function<bool(const std::string&)> Unsigned(uint64_t max, std::function<void(uint64_t)> set) {
    return [max, set](const std::string& v) {
        uint64_t n = 0;
        if (!ParseUnsigned(v, max, &n)) {
            return false;
        }
        set(n);
        return true;
    };
}

std::function<bool(const std::string&)> Rate(double* target) {
    return [target](const std::string& v) { return ParseRate(v, target); };
}

std::function<bool(const std::string&)> Flag(std::function<void()> set) {
    return [set](const std::string&) {
        set();
        return true;
    };
}

Table RunTable(RunOptions& r) {
    DeviceConfig& d = r.device;
    FaultConfig& f = d.faults;
    const char* u16 = "a number 0..65535";
    const char* u32 = "a number 0..4294967295";
    const char* rate = "a probability 0..1";
    const char* frame = "a frame number 1..4294967295";
    auto frames = [](std::vector<uint32_t>* list) {
        return [list](const std::string& v) {
            uint64_t n = 0;
            if (!ParseUnsigned(v, U32_MAX, &n) || n == 0) {
                return false;
            }
            list->push_back(static_cast<uint32_t>(n));
            return true;
        };
    };
    auto vid = [](Identity* id) {
        return Unsigned(U16_MAX,
                        [id](uint64_t n) { id->SetIds(static_cast<uint16_t>(n), id->Pid()); });
    };
    auto pid = [](Identity* id) {
        return Unsigned(U16_MAX,
                        [id](uint64_t n) { id->SetIds(id->Vid(), static_cast<uint16_t>(n)); });
    };
    auto field = [](uint16_t* a, uint16_t* b) {
        return Unsigned(U16_MAX, [a, b](uint64_t n) {
            *a = static_cast<uint16_t>(n);
            if (b) {
                *b = static_cast<uint16_t>(n);
            }
        });
    };
    auto both = [](std::function<bool(const std::string&)> x,
                   std::function<bool(const std::string&)> y) {
        return [x, y](const std::string& v) { return x(v) && y(v); };
    };
    auto descriptor = [](Identity* id) {
        return [id](const std::string& v) { return ParseDescriptor(v, id->device_descriptor); };
    };
    auto block = [](int32_t* target) {
        return Unsigned(U16_MAX, [target](uint64_t n) { *target = static_cast<int32_t>(n); });
    };
    auto ms = [](uint32_t* target) {
        return Unsigned(U32_MAX, [target](uint64_t n) { *target = static_cast<uint32_t>(n); });
    };

    Table t;
    t["--updates"] = {true, u32, ms(&r.updates), "--updates N",
                      "stop after N completed updates (default 0: run until a signal)"};
    t["--image-out"] = {true, "a file name",
                        [&r](const std::string& v) {
                            r.image_out = v;
                            return !v.empty();
                        },
                        "--image-out FILE",
                        "write the last received image (DNLOAD data in block order)"};
    t["--stats"] = {true, "a file name",
                    [&r](const std::string& v) {
                        r.stats_file = v;
                        return !v.empty();
                    },
                    "--stats FILE",
                    "write the statistics as key=value lines at exit: bytes_from_host,\n"
                    "bytes_to_host (line bytes each way), host_frames, frame_errors,\n"
                    "host_retransmissions (a reliable host frame received again),\n"
                    "out_of_sequence, requests, replies, reply_retransmissions,\n"
                    "acks_sent, link_ups, host_restarts, restarts, updates,\n"
                    "injected_tx, injected_rx (faults applied), damaged_rx_passed\n"
                    "(host frames a fault altered that still passed the frame check;\n"
                    "each also logged on standard error), damaged_tx_passed (the same\n"
                    "for the device's frames, judged by the device), image_bytes,\n"
                    "image_complete, manifestation_done, state, and the host's\n"
                    "turnaround (a device write done -> the host's next byte read):\n"
                    "turnaround_count, turnaround_mean_us, turnaround_max_us"};
    t["--adapter-latency-ms"] = {true, u32, ms(&r.adapter_latency_ms), "--adapter-latency-ms MS",
                                 "hold the device's bytes like a USB adapter's latency timer:\n"
                                 "they reach the host MS after the first of them was held, or\n"
                                 "at once when 62 are held (default 0: no adapter)"};
    t["--babble-after-block"] = {true, u16, block(&r.babble_after_block), "--babble-after-block K",
                                 "once DNLOAD block K has arrived and what the device wrote at\n"
                                 "once has gone out, the line carries endless noise at line\n"
                                 "speed instead (a console at another baud rate: no frame passes)"};
    t["--trickle-after-block"] = {true, u16, block(&r.trickle_after_block),
                                  "--trickle-after-block K",
                                  "once DNLOAD block K has arrived, the device's bytes reach the\n"
                                  "host one a second"};
    t["--quiet"] = {false, "", Flag([&r] { r.quiet = true; }), "--quiet",
                    "no diagnostics on standard error"};
    t["--trace"] = {true, "a file name or -",
                    [&r](const std::string& v) {
                        r.trace_file = v;
                        return !v.empty();
                    },
                    "--trace FILE",
                    "append the device's side of the run trace to FILE, in the format\n"
                    "of tarnload's TARNLOAD_TRACE (\"-\": standard error); frames the\n"
                    "device's injected faults touched say so; TARNLOAD_TRACE_BYTES=1\n"
                    "in the environment adds each frame's line bytes"};
    t.Heading("\nDevice (defaults: a healthy device in application mode that detaches by itself):");
    t["--start"] = {true, "app, dfu-idle, error or a state number 0..10",
                    [&d](const std::string& v) {
                        uint64_t n = 0;
                        if (v == "app") {
                            n = STATE_APP_IDLE;
                        } else if (v == "dfu-idle") {
                            n = STATE_DFU_IDLE;
                        } else if (v == "error") {
                            n = STATE_ERROR;
                        } else if (!ParseUnsigned(v, STATE_ERROR, &n)) {
                            return false;
                        }
                        d.start_state = static_cast<uint8_t>(n);
                        return true;
                    },
                    "--start STATE", "app | dfu-idle | error | 0..10 (default app)"};
    t["--vid"] = {true, u16, both(vid(&d.app), vid(&d.dfu)), "--vid V / --pid P",
                  "VID/PID of both modes (default 0x7A52, PID 0x0100 app, 0x0101 DFU)"};
    t["--pid"] = {true, u16, both(pid(&d.app), pid(&d.dfu)), nullptr, nullptr};
    t["--app-vid"] = {true, u16, vid(&d.app), "--app-vid V --app-pid P --dfu-vid V --dfu-pid P",
                      ""};
    t["--app-pid"] = {true, u16, pid(&d.app), nullptr, nullptr};
    t["--dfu-vid"] = {true, u16, vid(&d.dfu), nullptr, nullptr};
    t["--dfu-pid"] = {true, u16, pid(&d.dfu), nullptr, nullptr};
    t["--app-descriptor"] = {
        true, "24 hex digits", descriptor(&d.app), "--app-descriptor HEX",
        "the 12-byte device descriptor, 24 hex digits (VID at 6-7, PID at 8-9 LE)"};
    t["--dfu-descriptor"] = {true, "24 hex digits", descriptor(&d.dfu), "--dfu-descriptor HEX", ""};
    t["--attributes"] = {true, u16, field(&d.app.attributes, &d.dfu.attributes), "--attributes N",
                         "functional attributes of both modes (default 0x000D:\n"
                         "download, manifestation tolerant, will detach)"};
    t["--app-attributes"] = {true, u16, field(&d.app.attributes, nullptr),
                             "--app-attributes N --dfu-attributes N", ""};
    t["--dfu-attributes"] = {true, u16, field(&d.dfu.attributes, nullptr), nullptr, nullptr};
    t["--no-will-detach"] = {false, "", Flag([&d] {
                                 d.app.attributes =
                                     static_cast<uint16_t>(d.app.attributes & ~ATTR_WILL_DETACH);
                             }),
                             "--no-will-detach", "clear the will-detach bit of the application"};
    t["--detach-timeout"] = {
        true, u16, field(&d.app.detach_timeout_ms, &d.dfu.detach_timeout_ms), "--detach-timeout MS",
        "both modes (default 1000); --app-detach-timeout, --dfu-detach-timeout"};
    t["--app-detach-timeout"] = {true, u16, field(&d.app.detach_timeout_ms, nullptr), nullptr,
                                 nullptr};
    t["--dfu-detach-timeout"] = {true, u16, field(&d.dfu.detach_timeout_ms, nullptr), nullptr,
                                 nullptr};
    t["--transfer-size"] = {true, u16, field(&d.app.transfer_size, &d.dfu.transfer_size),
                            "--transfer-size N",
                            "both modes (default 230; blocks above 230 are refused whatever\n"
                            "is announced); --app-transfer-size, --dfu-transfer-size"};
    t["--app-transfer-size"] = {true, u16, field(&d.app.transfer_size, nullptr), nullptr, nullptr};
    t["--dfu-transfer-size"] = {true, u16, field(&d.dfu.transfer_size, nullptr), nullptr, nullptr};
    t["--busy-answers"] = {true, u32, ms(&d.busy_answers), "--busy-answers N",
                           "dfuDNBUSY answers per block (default 1)"};
    t["--busy-poll-ms"] = {
        true, "a number 0..16777215",
        Unsigned(0xFFFFFF, [&d](uint64_t n) { d.busy_poll_timeout_ms = static_cast<uint32_t>(n); }),
        "--busy-poll-ms MS", "their poll time-out (default 5)"};
    t["--manifest-answers"] = {true, u32, ms(&d.manifest_answers), "--manifest-answers N",
                               "dfuMANIFEST answers after the last block (default 1)"};
    t["--manifest-poll-ms"] = {
        true, "a number 0..16777215",
        Unsigned(0xFFFFFF,
                 [&d](uint64_t n) { d.manifest_poll_timeout_ms = static_cast<uint32_t>(n); }),
        "--manifest-poll-ms MS", "their poll time-out (default 10)"};
    t["--manifest-state"] = {true, "2 or 8",
                             [&d](const std::string& v) {
                                 uint64_t n = 0;
                                 if (!ParseUnsigned(v, STATE_ERROR, &n) ||
                                     (n != STATE_DFU_IDLE && n != STATE_MANIFEST_WAIT_RESET)) {
                                     return false;
                                 }
                                 d.manifest_final_state = static_cast<uint8_t>(n);
                                 return true;
                             },
                             "--manifest-state S",
                             "state after manifestation: 2 (dfuIDLE, default) or 8 (wait reset)"};
    t["--no-reset-ack"] = {false, "", Flag([&d] { d.ack_reset_request = false; }), "--no-reset-ack",
                           "request 7 resets the device without acknowledging it"};
    t["--unreliable-replies"] = {false, "", Flag([&d] { d.reliable_replies = false; }),
                                 "--unreliable-replies",
                                 "send replies unreliable (default reliable)"};
    t["--error-at-block"] = {true, u16, block(&d.error_at_block), "--error-at-block K",
                             "report an error (dfuERROR) after DNLOAD block K"};
    t["--error-in-manifest"] = {false, "", Flag([&d] { d.error_in_manifest = true; }),
                                "--error-in-manifest",
                                "report an error at the end of manifestation"};
    t["--error-status"] = {true, "a number 1..255",
                           [&d](const std::string& v) {
                               uint64_t n = 0;
                               if (!ParseUnsigned(v, 0xFF, &n) || n == 0) {
                                   return false;
                               }
                               d.error_status = static_cast<uint8_t>(n);
                               return true;
                           },
                           "--error-status S",
                           "the DFU status of those errors (default 3, errWRITE)"};
    t["--refuse-clear-status"] = {
        true, "a number 1..65535",
        [&d](const std::string& v) {
            uint64_t n = 0;
            if (!ParseUnsigned(v, U16_MAX, &n) || n == 0) {
                return false;
            }
            d.clear_status_refusal = static_cast<uint16_t>(n);
            return true;
        },
        "--refuse-clear-status S",
        "CLRSTATUS fails with reply status S, the device stays in dfuERROR"};
    t["--short-status"] = {false, "", Flag([&d] { d.short_status = true; }), "--short-status",
                           "GETSTATUS replies carry 5 data bytes instead of 6"};
    t["--restart-after-block"] = {
        true, u16, block(&d.restart_after_block), "--restart-after-block K",
        "restart after replying to DNLOAD block K (once); the DFU\n"
        "firmware comes back in dfuERROR, errFIRMWARE (image incomplete)"};
    t["--restart-after-request"] = {true, "a request number 1..4294967295",
                                    [&d](const std::string& v) {
                                        uint64_t n = 0;
                                        if (!ParseUnsigned(v, U32_MAX, &n) || n == 0) {
                                            return false;
                                        }
                                        d.restart_after_request = static_cast<uint32_t>(n);
                                        return true;
                                    },
                                    "--restart-after-request N ",
                                    "restart after answering the Nth request since power-up"};
    auto request = [](uint32_t* target) {
        return [target](const std::string& v) {
            uint64_t n = 0;
            if (!ParseUnsigned(v, U32_MAX, &n) || n == 0) {
                return false;
            }
            *target = static_cast<uint32_t>(n);
            return true;
        };
    };
    t["--restart-before-reply"] = {true, "a request number 1..4294967295",
                                   request(&d.restart_before_reply), "--restart-before-reply N  ",
                                   "acknowledge the Nth request, then restart without a reply"};
    t["--restart-unacknowledged"] = {
        true, "a request number 1..4294967295", request(&d.restart_unacknowledged),
        "--restart-unacknowledged N", "restart on the Nth request without acknowledging it"};
    t["--sticky-error"] = {false, "", Flag([&d] { d.sticky_error = true; }), "--sticky-error",
                           "CLRSTATUS answers status 0 but the device stays in dfuERROR"};
    t["--partial-replies"] = {false, "", Flag([&d] { d.partial_replies = true; }),
                              "--partial-replies",
                              "cut every reply to 2 bytes (shorter than its header)"};
    t["--stray-channel"] = {true, "a channel 2..15 other than 12",
                            [&d](const std::string& v) {
                                uint64_t n = 0;
                                if (!ParseUnsigned(v, 15, &n) || n < 2 || n == 12) {
                                    return false;
                                }
                                d.stray_channel = static_cast<uint8_t>(n);
                                return true;
                            },
                            "--stray-channel C",
                            "send an unreliable packet on channel C before every reply"};
    t["--reply-delay-ms"] = {true, u32, ms(&d.reply_delay_ms), "--reply-delay-ms MS",
                             "replies leave MS after the request (acknowledged at once)"};
    t["--restart-ms"] = {true, u32, ms(&d.restart_ms), "--restart-ms MS",
                         "time a restart keeps the device off the line (default 20)"};
    t["--link-repeat-ms"] = {true, "a number 1..4294967295",
                             [&d](const std::string& v) {
                                 uint64_t n = 0;
                                 if (!ParseUnsigned(v, U32_MAX, &n) || n == 0) {
                                     return false;
                                 }
                                 d.link_repeat_ms = static_cast<uint32_t>(n);
                                 return true;
                             },
                             "--link-repeat-ms MS",
                             "repeat interval of sync and conf (default 50)"};
    t["--retransmit-ms"] = {true, "a number 1..4294967295",
                            [&d](const std::string& v) {
                                uint64_t n = 0;
                                if (!ParseUnsigned(v, U32_MAX, &n) || n == 0) {
                                    return false;
                                }
                                d.retransmit_ms = static_cast<uint32_t>(n);
                                return true;
                            },
                            "--retransmit-ms MS",
                            "rest before an unacknowledged reply is sent again (default 100)"};
    t["--mute"] = {false, "", Flag([&d] { d.mute = true; }), "--mute", "never send a byte"};
    t["--paced"] = {false, "", Flag([&d] { d.paced = true; }), "--paced",
                    "both directions at 115200 baud 8E1, 11 bits per byte (default off)"};
    t.Heading("\nLine faults (frame counters start at 1 and may be repeated; rates are 0..1):");
    t["--drop-frame"] = {true, frame, frames(&f.drop_frame), "--drop-frame N",
                         "drop the Nth frame the device writes (any kind)"};
    t["--corrupt-frame"] = {true, frame, frames(&f.corrupt_frame), "--corrupt-frame N",
                            "flip a bit in the Nth frame the device writes (fails the CRC)"};
    t["--drop-reply"] = {true, frame, frames(&f.drop_reply), "--drop-reply N",
                         "drop the Nth channel-12 frame (retransmissions count)"};
    t["--corrupt-reply"] = {true, frame, frames(&f.corrupt_reply), "--corrupt-reply N",
                            "corrupt the Nth channel-12 frame"};
    t["--duplicate-reply"] = {true, frame, frames(&f.duplicate_reply), "--duplicate-reply N",
                              "write the Nth channel-12 frame twice"};
    t["--drop-ack"] = {true, frame, frames(&f.drop_ack), "--drop-ack N",
                       "drop the Nth acknowledgement-only frame"};
    t["--tx-corrupt-rate"] = {true, rate, Rate(&f.tx_corrupt_rate), "--tx-corrupt-rate P",
                              "corrupt each byte to the host with probability P"};
    t["--tx-drop-rate"] = {true, rate, Rate(&f.tx_drop_rate), "--tx-drop-rate P",
                           "drop each byte to the host with probability P"};
    t["--rx-corrupt-rate"] = {true, rate, Rate(&f.rx_corrupt_rate), "--rx-corrupt-rate P",
                              "corrupt each byte from the host with probability P"};
    t["--rx-drop-rate"] = {true, rate, Rate(&f.rx_drop_rate), "--rx-drop-rate P",
                           "drop each byte from the host with probability P"};
    t["--tx-dup-rate"] = {true, rate, Rate(&f.tx_duplicate_rate), "--tx-dup-rate P",
                          "write each frame twice with probability P"};
    t["--rx-dup-rate"] = {true, rate, Rate(&f.rx_duplicate_rate), "--rx-dup-rate P",
                          "handle each good host frame twice with probability P"};
    t["--seed"] = {true, "a number", Unsigned(UINT64_MAX, [&f](uint64_t n) { f.seed = n; }),
                   "--seed S", "seed of the random faults (default 1)"};
    return t;
}

Table MakeTable(MakeDfuOptions& m) {
    Table t;
    t["--out"] = {true, "a file name",
                  [&m](const std::string& v) {
                      m.out = v;
                      return !v.empty();
                  },
                  "--out FILE", "the file to write"};
    t["--size"] = {true, "a number 0..2147483547",
                   Unsigned(MAX_IMAGE_SIZE - 100,
                            [&m](uint64_t n) {
                                m.size = n;
                                m.has_size = true;
                            }),
                   "--size N", "N random bytes after the header"};
    t["--seed"] = {true, "a number",
                   Unsigned(UINT64_MAX,
                            [&m](uint64_t n) {
                                m.seed = n;
                                m.has_seed = true;
                            }),
                   "--seed S", "their seed (default 1)"};
    t["--from"] = {true, "a file name",
                   [&m](const std::string& v) {
                       m.from = v;
                       return !v.empty();
                   },
                   "--from RAW",
                   "the bytes of RAW after the header instead (with --size: its\n"
                   "first N bytes; RAW must be that long)"};
    t["--vid"] = {true, "a number 0..65535",
                  Unsigned(U16_MAX, [&m](uint64_t n) { m.vid = static_cast<uint16_t>(n); }),
                  "--vid V --pid P", "default 0x7A52 / 0x0100"};
    t["--pid"] = {true, "a number 0..65535",
                  Unsigned(U16_MAX, [&m](uint64_t n) { m.pid = static_cast<uint16_t>(n); }),
                  nullptr, nullptr};
    t["--desc"] = {true, "at most 64 characters",
                   [&m](const std::string& v) {
                       m.description = v;
                       return v.size() <= 64;
                   },
                   "--desc TEXT",
                   "description, at most 64 characters (default \"tarnsim sample firmware\")"};
    t.Heading("Damaged files, for tests (each otherwise consistent: the CRC matches what is "
              "written):");
    t["--bad-crc"] = {false, "", Flag([&m] { m.flaws.bad_crc = true; }), "--bad-crc",
                      "a suffix CRC that matches nothing"};
    t["--no-signature"] = {false, "", Flag([&m] { m.flaws.no_signature = true; }), "--no-signature",
                           "no \"UFD\" in the suffix"};
    t["--suffix-offset"] = {
        true, "a number 14..99",
        Unsigned(99, [&m](uint64_t n) { m.flaws.suffix_offset = static_cast<uint32_t>(n); }),
        "--suffix-offset N",
        "the header names offset N (14..99, inside the header) and a\n"
        "suffix is written there too"};
    return t;
}

// The usage lines of `table`'s options and headings.
void AppendUsage(const Table& table, std::string* out) {
    for (const auto& [name, option] : table.rows) {
        if (!option.apply) {
            *out += option.help;
            *out += '\n';
            continue;
        }
        if (option.shown == nullptr) {
            continue;
        }
        std::string line = std::string("  ") + option.shown;
        for (const char* help = option.help; *help != '\0';) {
            line.resize(line.size() < HELP_COLUMN ? HELP_COLUMN : line.size() + 1, ' ');
            const char* end = std::strchr(help, '\n');
            line.append(help, end != nullptr ? end : help + std::strlen(help));
            if (end == nullptr) {
                break;
            }
            *out += line + '\n';
            line.clear();
            help = end + 1;
        }
        *out += line + '\n';
    }
}

bool ParseWith(const Table& table, int first, int argc, const char* const* argv,
               std::string* error) {
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        const Option* found = table.Find(arg);
        if (found == nullptr) {
            *error = arg.rfind("-", 0) == 0 ? "unknown option '" + arg + "'"
                                            : "unexpected argument '" + arg + "'";
            return false;
        }
        const Option& option = *found;
        if (option.takes_value && !has_value) {
            if (i + 1 >= argc) {
                *error = "option '" + arg + "' needs a value (" + option.why + ")";
                return false;
            }
            value = argv[++i];
        } else if (!option.takes_value && has_value) {
            *error = "option '" + arg + "' takes no value";
            return false;
        }
        if (!option.apply(value)) {
            *error = "bad value '" + value + "' for " + arg + ": expected " + option.why;
            return false;
        }
    }
    return true;
}

} // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine* out, std::string* error) {
    *out = CommandLine{};
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            out->command = Command::Help;
            return true;
        }
        if (std::string(argv[i]) == "--version") {
            out->command = Command::Version;
            return true;
        }
    }
    if (argc > 1 && std::string(argv[1]) == "make-dfu") {
        out->command = Command::MakeDfu;
        out->make.vid = out->run.device.app.Vid();
        out->make.pid = out->run.device.app.Pid();
        out->make.description = "tarnsim sample firmware";
        if (!ParseWith(MakeTable(out->make), 2, argc, argv, error)) {
            return false;
        }
        if (out->make.out.empty()) {
            *error = "make-dfu needs --out FILE";
            return false;
        }
        if (!out->make.has_size && out->make.from.empty()) {
            *error = "make-dfu needs --size N or --from RAW";
            return false;
        }
        if (out->make.has_seed && !out->make.from.empty()) {
            *error = "make-dfu takes --seed S or --from RAW, not both";
            return false;
        }
        // Below 14 the suffix would overwrite the header's own offset field.
        if (out->make.flaws.suffix_offset != 0 &&
            out->make.flaws.suffix_offset < DFU_FILE_MIN_FLAWED_OFFSET) {
            *error = "--suffix-offset takes a number 14..99";
            return false;
        }
        return true;
    }
    if (argc > 1 && std::string(argv[1]) == "decode") {
        out->command = Command::Decode;
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--from-host") {
                out->decode.direction = CaptureDirection::FromHost;
            } else if (arg == "--to-host") {
                out->decode.direction = CaptureDirection::ToHost;
            } else if (arg.rfind("-", 0) == 0 || !out->decode.file.empty()) {
                *error = "decode takes [--from-host|--to-host] FILE, not '" + arg + "'";
                return false;
            } else {
                out->decode.file = arg;
            }
        }
        if (out->decode.file.empty()) {
            *error = "decode needs a capture FILE";
            return false;
        }
        return true;
    }
    out->command = Command::Run;
    return ParseWith(RunTable(out->run), 1, argc, argv, error);
}

const char* UsageText() {
    static std::string text;
    if (text.empty()) {
        RunOptions run;
        MakeDfuOptions make;
        text = USAGE_HEAD;
        AppendUsage(RunTable(run), &text);
        text += USAGE_COMMANDS;
        AppendUsage(MakeTable(make), &text);
    }
    return text.c_str();
}

} // namespace sim
