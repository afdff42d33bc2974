#include "sim_line.h"

#include "platform_clock.h"
#include "serial_backend.h"

#include <algorithm>
#include <cstdlib>

namespace sim {

namespace {

constexpr uint64_t NS_PER_US = 1000;
constexpr uint64_t NS_PER_MS = 1000000;
// What a purge reads away at a time.
constexpr size_t PURGE_CHUNK = 256;

// The operation tables are process-wide, so is the line behind them.
InProcessLine* active_line = nullptr;

bool LineOpen(const char* /*name*/);
uint32_t LineRead(uint8_t* buf, uint32_t max);
void LineWrite(const uint8_t* buf, uint32_t len);
void LinePurge();
bool LineWait(uint32_t max_us);
void LineClose() {}
void LineSleep(uint32_t ms) {
    active_line->Sleep(ms);
}
uint32_t LineTick() {
    return active_line->NowMs();
}
uint64_t LineUs() {
    return active_line->NowUs();
}

const ComPortOps line_ops = {LineOpen, LineRead, LineWrite, LinePurge, LineClose, LineWait};
const ClockOps line_clock = {LineSleep, LineTick, LineUs};

} // namespace

// The port operations need the line's private counters.
struct LineAccess {
    static bool Open(InProcessLine& line) {
        ++line.opens_;
        return line.open_result_;
    }
    static uint32_t Read(InProcessLine& line, uint8_t* buf, uint32_t max) {
        const size_t n = line.device_.Transmit(buf, max);
        line.bytes_read_ += n;
        return static_cast<uint32_t>(n);
    }
    static void Write(InProcessLine& line, const uint8_t* buf, uint32_t len) {
        ++line.writes_;
        line.bytes_written_ += len;
        line.device_.Receive(buf, len);
        if (line.paced_) {
            // A synchronous write returns when its last byte has left.
            line.now_ns_ += len * PACED_BYTE_NS;
            line.device_.AdvanceTo(line.now_ns_ / NS_PER_US);
        }
    }
    // Virtual time moves to the device's next byte or event, at most to the
    // end of the wait: a reply is read the moment it has arrived.
    static bool Wait(InProcessLine& line, uint32_t max_us) {
        const uint64_t until_ns = line.now_ns_ + uint64_t{max_us} * NS_PER_US;
        for (;;) {
            if (line.device_.OutputDue()) {
                return true;
            }
            if (line.now_ns_ >= until_ns) {
                return false;
            }
            const uint64_t next_us = line.device_.NextEventTime();
            const uint64_t next_ns =
                next_us >= until_ns / NS_PER_US ? until_ns : next_us * NS_PER_US;
            line.now_ns_ = std::min(until_ns, std::max(next_ns, line.now_ns_ + NS_PER_US));
            line.device_.AdvanceTo(line.now_ns_ / NS_PER_US);
        }
    }
    static void Purge(InProcessLine& line) {
        ++line.purges_;
        uint8_t scratch[PURGE_CHUNK];
        while (line.device_.Transmit(scratch, sizeof scratch) != 0) {
        }
    }
};

namespace {

bool LineOpen(const char* /*name*/) {
    return LineAccess::Open(*active_line);
}
uint32_t LineRead(uint8_t* buf, uint32_t max) {
    return LineAccess::Read(*active_line, buf, max);
}
void LineWrite(const uint8_t* buf, uint32_t len) {
    LineAccess::Write(*active_line, buf, len);
}
void LinePurge() {
    LineAccess::Purge(*active_line);
}
bool LineWait(uint32_t max_us) {
    return LineAccess::Wait(*active_line, max_us);
}

} // namespace

InProcessLine::InProcessLine(Device& device, bool paced)
    : device_(device), now_ns_(device.Now() * NS_PER_US), paced_(paced) {
    if (active_line != nullptr) {
        std::abort();
    }
    active_line = this;
    if (paced) {
        device_.Config().paced = true;
    }
    com_SetOps(&line_ops);
    plat_SetClock(&line_clock);
}

InProcessLine::~InProcessLine() {
    com_SetOps(nullptr);
    plat_SetClock(nullptr);
    active_line = nullptr;
}

void InProcessLine::SetOpenResult(bool ok) {
    open_result_ = ok;
}

uint64_t InProcessLine::NowUs() const {
    return now_ns_ / NS_PER_US;
}

uint32_t InProcessLine::NowMs() const {
    return static_cast<uint32_t>(now_ns_ / NS_PER_MS);
}

void InProcessLine::Sleep(uint32_t ms) {
    now_ns_ += ms * NS_PER_MS;
    device_.AdvanceTo(now_ns_ / NS_PER_US);
}

uint32_t InProcessLine::Opens() const {
    return opens_;
}
uint32_t InProcessLine::Writes() const {
    return writes_;
}
uint32_t InProcessLine::Purges() const {
    return purges_;
}
uint64_t InProcessLine::BytesWritten() const {
    return bytes_written_;
}
uint64_t InProcessLine::BytesRead() const {
    return bytes_read_;
}
Device& InProcessLine::Dev() {
    return device_;
}

} // namespace sim
