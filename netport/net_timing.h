#pragma once
// Time on a network port, kept apart from the I/O so that it can be checked
// on made-up clocks.
//
// The line clock: a write cannot wait for the far UART to drain, so the far
// line is modelled. A write's bytes take 11 bits each at 115200 baud from
// when the line is free (after the previous write's bytes); the write
// returns when they are modelled to have left.
//
// The round trip: estimated as TCP does (smoothed value and mean deviation,
// gains 1/8 and 1/4) from samples taken at the connection, at each answered
// request (line settings, purge), and from the link's own traffic: the
// time from the end of the first write after the last arrival to the next
// arrival. That also counts the device's turnaround, on the safe side; a
// short one, from bytes that were already on their way, raises the
// deviation rather than lowering the allowance much.
//
// The answer allowance is how long after a write an answer can still be on
// its way: the smoothed round trip plus four deviations, capped.

#include <cstdint>

// The allowance never exceeds this: the reply time-out of the layers above
// is 5 s, and a second covers any path a serial line is worth using over.
inline constexpr uint32_t NET_ALLOWANCE_MAX_MS = 1000;

// The network port's clock is the program's (plat_NowUs), so that a test's
// virtual time covers the line model and the round trips as well.
int64_t nettiming_NowUs();
// Sleeps until nettiming_NowUs() reaches `deadline_us` (at once when past).
void nettiming_SleepUntilUs(int64_t deadline_us);

struct NetTiming {
    int64_t line_free_us;  // when the far line has sent everything written
    int64_t srtt_us;       // smoothed round trip
    int64_t rttvar_us;     // its mean deviation
    bool has_sample;       // srtt_us holds at least one sample
    int64_t waiting_since; // a write ended and no byte came since (-1: not waiting)
};

void nettiming_Reset(NetTiming* t);

// A round-trip sample of `us` microseconds (negative ones are ignored).
void nettiming_Sample(NetTiming* t, int64_t us);

// `bytes` data bytes were written at `now_us`: returns when they will have
// left the far line, and starts waiting for the answer from then.
int64_t nettiming_Write(NetTiming* t, int64_t now_us, uint32_t bytes);

// Data arrived at `now_us`: ends a wait with a sample.
void nettiming_Arrived(NetTiming* t, int64_t now_us);

// The answer allowance in whole milliseconds (rounded up); 0 before any sample.
uint32_t nettiming_AllowanceMs(const NetTiming* t);
