// The run's report: the static record, the console lines kept for it, and
// the line formatted and written at the end.
#include "report.h"

#include "console.h"
#include "dfu_wire.h"
#include "json_out.h"
#include "platform_clock.h"
#include "text_escape.h"
#include "trace.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <tuple>

#ifndef TARN_VERSION
#define TARN_VERSION "unknown"
#endif

namespace report_detail {
bool enabled = false;
} // namespace report_detail

namespace {

// Names longer than this are cut in the report (each may be escaped to six
// times its length, and the whole line must fit REPORT_LINE_MAX).
constexpr size_t NAME_MAX_BYTES = 1024;
// The report file's path as TARNLOAD_REPORT gave it; a longer one is not
// opened at all (cut, it could name another file).
constexpr size_t REPORT_PATH_MAX = 4096;
char report_path[REPORT_PATH_MAX];
// Console text kept for the failure's lines: the oldest lines give way.
constexpr size_t CAPTURE_SIZE = 2048;
// The longest line: every field at its longest, escaped.
constexpr size_t REPORT_LINE_MAX = 32768;
constexpr uint32_t ERROR_TEXT_MAX = 256;
constexpr uint32_t PLATFORM_TEXT_MAX = 128;
constexpr uint32_t UTC_TEXT_MAX = 32;
constexpr uint32_t HOST_TEXT_MAX = 256;
constexpr int EXIT_INTERRUPTED = 1;
constexpr uint32_t REPORT_WAIT_MS = TRACE_END_WAIT_MS;

constexpr const char* STAGE_NAME[REPORT_STAGE_COUNT] = {"arguments", "port",     "file",    "link",
                                                        "idle",      "download", "manifest"};
constexpr uint16_t ATTR_CAN_DOWNLOAD = 0x0001;
constexpr uint16_t ATTR_CAN_UPLOAD = 0x0002;
constexpr uint16_t ATTR_MANIFEST_TOLERANT = 0x0004;
constexpr uint16_t ATTR_WILL_DETACH = 0x0008;

struct Record {
    intptr_t handle = -1;
    TraceIsPort is_port = nullptr;
    const char* path = nullptr;
    const char* port = nullptr;
    const char* file_path = nullptr;
    char port_opened[NAME_MAX_BYTES + 1] = "";
    bool port_opened_known = false;
    char platform[PLATFORM_TEXT_MAX] = "";
    char host[HOST_TEXT_MAX] = "";
    char started[UTC_TEXT_MAX] = "";
    uint64_t start_us = 0;
    ReportFile file{};
    bool file_known = false;
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool identity_known = false;
    uint16_t transfer_size = 0;
    uint16_t attributes = 0;
    bool functions_known = false;
    uint8_t dfu_state = 0;
    uint8_t dfu_status = 0;
    bool dfu_known = false;
    volatile uint32_t blocks = 0;
    volatile uint32_t resent = 0;
    volatile uint32_t frame_errors = 0;
    volatile sig_atomic_t stage = REPORT_ARGUMENTS;
    uint64_t stage_start_us[REPORT_STAGE_COUNT] = {};
    char captured[CAPTURE_SIZE];
    volatile size_t captured_length = 0;
};

Record record;
// Set by whichever end comes first: the line is written once.
volatile sig_atomic_t ended = 0;
char console_text[CAPTURE_SIZE];
char line[REPORT_LINE_MAX];
char complaint[TEXT_SHOWN_NAME_SIZE + ERROR_TEXT_MAX + 64];

// `format` on standard error, its first %s the report's path (control
// characters as \xNN), its second `reason`; built without stdio, since a
// signal handler may be the caller.
void Complain(const char* format, const char* reason) {
    char shown[TEXT_SHOWN_NAME_SIZE];
    const char* fill[2] = {text_ShownCut(record.path, shown, sizeof shown), reason};
    int filled = 0;
    JsonOut text(complaint, sizeof complaint);
    for (const char* c = format; *c != '\0'; ++c) {
        if (c[0] == '%' && c[1] == 's' && filled < 2) {
            text.Raw(fill[filled++]);
            ++c;
        } else {
            text.Raw(c, 1);
        }
    }
    trace_OsComplain(complaint, static_cast<uint32_t>(text.Length()));
}

void Close() {
    if (record.handle >= 0 && !report_OsIsStandardError(record.handle)) {
        report_OsClose(record.handle);
    }
    record.handle = -1;
    report_detail::enabled = false;
}

// Keeps `length` bytes of console text; when the buffer is full the oldest
// lines give way (a longer text keeps its end).
void Capture(const char* text, size_t length) {
    if (length > CAPTURE_SIZE) {
        text += length - CAPTURE_SIZE;
        length = CAPTURE_SIZE;
    }
    size_t have = record.captured_length;
    if (have + length > CAPTURE_SIZE) {
        size_t drop = have + length - CAPTURE_SIZE;
        while (drop < have && record.captured[drop - 1] != '\n') {
            ++drop;
        }
        if (drop > have) {
            drop = have;
        }
        std::memmove(record.captured, record.captured + drop, have - drop);
        have -= drop;
    }
    std::memcpy(record.captured + have, text, length);
    record.captured_length = have + length;
}

// A console line that says nothing of the failure: empty, or progress (its
// dots, then the running byte total that ends every 50 blocks).
bool IsProgress(const char* text, size_t length) {
    size_t i = 0;
    while (i < length && text[i] == '.') {
        ++i;
    }
    while (i < length && text[i] >= '0' && text[i] <= '9') {
        ++i;
    }
    return i == length;
}

void Lines(JsonOut* out) {
    out->Raw("[");
    bool first = true;
    const size_t length = record.captured_length;
    size_t begin = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && record.captured[i] != '\n') {
            continue;
        }
        if (!IsProgress(record.captured + begin, i - begin)) {
            if (!first) {
                out->Raw(",");
            }
            first = false;
            out->String(record.captured + begin, i - begin);
        }
        begin = i + 1;
    }
    out->Raw("]");
}

void File(JsonOut* out) {
    if (!record.file_known) {
        out->Raw("null");
        return;
    }
    const ReportFile& f = record.file;
    out->Raw("{");
    out->Key("path", true);
    out->StringOrNull(record.file_path, NAME_MAX_BYTES);
    out->Key("size");
    out->Unsigned(f.size);
    out->Key("image_size");
    out->Unsigned(f.image_size);
    out->Key("sha256");
    out->HexBytes(f.sha256, sizeof f.sha256);
    out->Key("crc32");
    out->HexString(f.stored_crc, 8);
    out->Key("description");
    out->String(f.description, REPORT_DESCRIPTION_SIZE);
    out->Key("vid");
    out->HexString(f.vid, 4);
    out->Key("pid");
    out->HexString(f.pid, 4);
    out->Raw("}");
}

void Device(JsonOut* out) {
    if (!record.identity_known) {
        out->Raw("null");
        return;
    }
    out->Raw("{");
    out->Key("vid", true);
    out->HexString(record.vid, 4);
    out->Key("pid");
    out->HexString(record.pid, 4);
    out->Key("transfer_size");
    if (record.functions_known) {
        out->Unsigned(record.transfer_size);
    } else {
        out->Raw("null");
    }
    out->Key("capabilities");
    if (!record.functions_known) {
        out->Raw("null");
    } else {
        out->Raw("[");
        const char* separator = "";
        const struct {
            uint16_t bit;
            const char* name;
        } CAPABILITY[] = {{ATTR_CAN_DOWNLOAD, "download"},
                          {ATTR_CAN_UPLOAD, "upload"},
                          {ATTR_MANIFEST_TOLERANT, "manifestation_tolerant"},
                          {ATTR_WILL_DETACH, "will_detach"}};
        for (const auto& c : CAPABILITY) {
            if (record.attributes & c.bit) {
                out->Raw(separator);
                out->String(c.name);
                separator = ",";
            }
        }
        out->Raw("]");
    }
    out->Raw("}");
}

// The seconds each stage reached lasted, up to the next one or the end.
void Stages(JsonOut* out, uint64_t end_us, int last) {
    out->Raw("{");
    for (int s = 0; s <= last && s < REPORT_STAGE_COUNT; ++s) {
        const uint64_t to = s < last ? record.stage_start_us[s + 1] : end_us;
        out->Key(STAGE_NAME[s], s == 0);
        out->Seconds(to - record.stage_start_us[s]);
    }
    out->Raw("}");
}

void Digits(char* out, unsigned value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// "2026-12-09T09:52:48.123Z".
void FormatUtc(const ReportUtc& t, char out[UTC_TEXT_MAX]) {
    static_assert(UTC_TEXT_MAX > 24);
    char* p = out;
    for (const auto& [value, digits, after] : {std::tuple{t.year, 4, '-'},
                                               {t.month, 2, '-'},
                                               {t.day, 2, 'T'},
                                               {t.hour, 2, ':'},
                                               {t.minute, 2, ':'},
                                               {t.second, 2, '.'},
                                               {t.millisecond, 3, 'Z'}}) {
        Digits(p, value, digits);
        p += digits;
        *p++ = after;
    }
    *p = '\0';
}

// Formats the record and writes it; `signal_number` REPORT_NO_SIGNAL for a
// run that ended by itself (0 is a Windows console event, Ctrl-C).
void Write(int exit_status, int signal_number) {
    const uint64_t end_us = plat_NowUs();
    const int stage = record.stage;
    const bool interrupted = signal_number != REPORT_NO_SIGNAL;
    JsonOut out(line, sizeof line);
    out.Raw("{");
    out.Key("schema", true);
    out.String(REPORT_SCHEMA);
    out.Key("version");
    out.String(TARN_VERSION);
    out.Key("platform");
    out.String(record.platform);
    out.Key("host");
    out.String(record.host);
    out.Key("port");
    out.StringOrNull(record.port, NAME_MAX_BYTES);
    out.Key("port_opened");
    out.StringOrNull(record.port_opened_known ? record.port_opened : nullptr);
    out.Key("started");
    out.String(record.started);
    out.Key("duration_s");
    out.Seconds(end_us - record.start_us);
    out.Key("file");
    File(&out);
    out.Key("device");
    Device(&out);
    out.Key("blocks");
    out.Unsigned(record.blocks);
    out.Key("resent");
    out.Unsigned(record.resent);
    out.Key("frame_errors");
    out.Unsigned(record.frame_errors);
    out.Key("result");
    out.String(interrupted ? "interrupted" : exit_status == 0 ? "ok" : "failed");
    out.Key("stage");
    if (!interrupted && exit_status == 0) {
        out.Raw("null");
    } else {
        out.String(STAGE_NAME[stage]);
    }
    out.Key("lines");
    if (!interrupted && exit_status == 0) {
        out.Raw("[]");
    } else {
        Lines(&out);
    }
    out.Key("exit_status");
    if (exit_status < 0) {
        out.Raw("null");
    } else {
        out.Signed(exit_status);
    }
    out.Key("signal");
    out.StringOrNull(interrupted ? report_OsSignalName(signal_number) : nullptr);
    out.Key("dfu_state");
    out.StringOrNull(record.dfu_known && record.dfu_state < DFU_STATE_COUNT
                         ? DFU_STATE_NAMES[record.dfu_state]
                         : nullptr);
    out.Key("dfu_status");
    if (record.dfu_known) {
        out.Unsigned(record.dfu_status);
    } else {
        out.Raw("null");
    }
    out.Key("stages");
    Stages(&out, end_us, stage);
    out.Raw("}");
    // Every field is bounded so that the line fits; were it ever cut, a
    // partial object would be worse than none.
    if (out.Overflowed()) {
        Complain("tarnload: cannot write report file %s: %s\n", "the report is too long");
        return;
    }
    const size_t length = out.Length();
    line[length] = '\n';
    if (!trace_OsWrite(record.handle, line, static_cast<uint32_t>(length + 1), REPORT_WAIT_MS)) {
        Complain("tarnload: cannot write report file %s: %s\n", "the file did not take it");
    }
}

} // namespace

void report_Start(const char* port, const char* file_path, TraceIsPort is_port) {
    // As the trace reads its own: UTF-8 on every system, so that a path in
    // any script opens on Windows too. The text is the platform's until its
    // next call (the trace's), so the report keeps a copy.
    const char* value = trace_OsEnvironment(REPORT_ENV);
    if (value == nullptr || value[0] == '\0' || report_detail::enabled) {
        return;
    }
    const int length = std::snprintf(report_path, sizeof report_path, "%s", value);
    const char* path = report_path;
    record.path = path;
    record.port = port;
    record.file_path = file_path;
    record.start_us = plat_NowUs();
    record.stage_start_us[REPORT_ARGUMENTS] = record.start_us;
    FormatUtc(report_OsUtcNow(), record.started);
    trace_OsPlatform(record.platform, sizeof record.platform);
    report_OsHostName(record.host, sizeof record.host);
    // Checked before opening: opening a port for writing may already move
    // its modem lines.
    record.is_port = is_port;
    if (length < 0 || static_cast<size_t>(length) >= sizeof report_path) {
        Complain("tarnload: cannot open report file %s: %s\n", std::strerror(ENAMETOOLONG));
        return;
    }
    if (port != nullptr && is_port(port, path, -1)) {
        Complain("tarnload: cannot open report file %s: %s\n", "it is the port itself");
        return;
    }
    char error[ERROR_TEXT_MAX] = "";
    record.handle = trace_OsOpen(path, error, sizeof error);
    if (record.handle < 0) {
        Complain("tarnload: cannot open report file %s: %s\n", error);
        return;
    }
    report_detail::enabled = true;
    con_AddEcho(report_ConsoleV);
}

void report_NoteStage(ReportStage stage) {
    if (!report_detail::enabled) {
        return;
    }
    record.stage_start_us[stage] = plat_NowUs();
    record.stage = stage;
    record.captured_length = 0;
}

void report_NotePortOpened(const char* name) {
    if (!report_detail::enabled || record.port_opened_known) {
        return;
    }
    if (record.is_port(name, record.path, record.handle)) {
        Complain("tarnload: cannot open report file %s: %s\n", "it is the port itself");
        Close();
        return;
    }
    std::strncpy(record.port_opened, name, NAME_MAX_BYTES);
    record.port_opened[NAME_MAX_BYTES] = '\0';
    record.port_opened_known = true;
}

void report_NoteFile(const ReportFile& file) {
    record.file = file;
    record.file_known = true;
}

void report_NoteDeviceIdentity(uint16_t vid, uint16_t pid) {
    record.vid = vid;
    record.pid = pid;
    record.identity_known = true;
}

void report_NoteDeviceFunctions(uint16_t transfer_size, uint16_t attributes) {
    record.transfer_size = transfer_size;
    record.attributes = attributes;
    record.functions_known = true;
}

void report_NoteDfuState(uint8_t state, uint8_t status) {
    record.dfu_state = state;
    record.dfu_status = status;
    record.dfu_known = true;
}

void report_NoteBlockAcknowledged() {
    record.blocks = record.blocks + 1;
    record.captured_length = 0;
}

void report_NoteResent() {
    record.resent = record.resent + 1;
}

void report_NoteFrameError() {
    record.frame_errors = record.frame_errors + 1;
}

void report_ConsoleV(const char* format, va_list args) {
    if (!report_detail::enabled) {
        return;
    }
    const int n = std::vsnprintf(console_text, sizeof console_text, format, args);
    if (n > 0) {
        Capture(console_text, static_cast<size_t>(n) < sizeof console_text
                                  ? static_cast<size_t>(n)
                                  : sizeof console_text - 1);
    }
}

void report_End(int exit_status) {
    if (!report_detail::enabled || ended) {
        return;
    }
    ended = 1;
    Write(exit_status, REPORT_NO_SIGNAL);
    Close();
}

void report_EndInterrupted(int signal_number, const char* said, bool ends_as_signal) {
    if (!report_detail::enabled || ended) {
        return;
    }
    ended = 1;
    if (said != nullptr) {
        Capture(said, std::strlen(said));
    }
    // A process that ends as the signal does has no exit status.
    Write(ends_as_signal ? -1 : EXIT_INTERRUPTED, signal_number);
}
