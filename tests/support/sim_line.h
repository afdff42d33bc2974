#pragma once
// The in-process line: the program's serial port and clock wired straight to
// a sim::Device on virtual time, so that its modules can be tested against
// the device without a pty and without waiting.
//
// While an InProcessLine is alive it owns the serial port operations
// (com_SetOps) and the clock (plat_SetClock):
// - com_Open succeeds (see SetOpenResult) and does nothing else;
// - a host write hands the bytes to the device at the current virtual time;
//   paced, the write also takes the line time of its bytes (11 bits per
//   byte at 115200 baud), as a synchronous write on a real port does;
// - a host read takes what the device has put on the line by now;
// - a purge throws away what the device has put on the line by now;
// - plat_Sleep(ms) moves virtual time forward by ms and runs the device's
//   timers up to then; plat_TickCount reports virtual milliseconds.
// Nothing else moves virtual time, so a 5000-tick time-out costs 5000 calls,
// not 5 seconds. The destructor restores the platform port operations and
// the system clock. Only one line may be alive at a time (the operation
// tables are process-wide); a second one aborts the process.

#include "sim_device.h"

#include <cstdint>

namespace sim {

struct LineAccess;

class InProcessLine {
  public:
    // Connects `device` (which must outlive the line) and starts virtual
    // time at the device's own clock. `paced`: host writes take the line
    // time of their bytes and the device's own pacing is switched on.
    explicit InProcessLine(Device& device, bool paced = false);
    ~InProcessLine();
    InProcessLine(const InProcessLine&) = delete;
    InProcessLine& operator=(const InProcessLine&) = delete;

    // What com_Open returns from now on (default true).
    void SetOpenResult(bool ok);

    // Virtual time in microseconds and in milliseconds (what
    // plat_TickCount returns, wrapping at 2^32).
    uint64_t NowUs() const;
    uint32_t NowMs() const;

    // Moves virtual time forward by `ms` exactly as a host sleep does.
    void Sleep(uint32_t ms);

    // Host-side counters: open calls, write calls, purge calls, and the
    // bytes written and read through the port operations.
    uint32_t Opens() const;
    uint32_t Writes() const;
    uint32_t Purges() const;
    uint64_t BytesWritten() const;
    uint64_t BytesRead() const;

    Device& Dev();

  private:
    friend struct LineAccess;
    Device& device_;
    uint64_t now_ns_;
    bool paced_;
    bool open_result_ = true;
    uint32_t opens_ = 0;
    uint32_t writes_ = 0;
    uint32_t purges_ = 0;
    uint64_t bytes_written_ = 0;
    uint64_t bytes_read_ = 0;
};

} // namespace sim
