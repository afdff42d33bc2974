// The line a run stopped by a signal or console event leaves, shared by the
// POSIX and Windows handlers. Everything here is safe in a signal handler.
#pragma once

#include "console.h"

#include <cstddef>

// Where the run stands: the device untouched, holding part of a new image,
// or past the download (its outcome already printed).
enum RunPhase : int { RUN_BEFORE_UPDATE = 0, RUN_UPDATING = 1, RUN_AFTER_UPDATE = 2 };

inline constexpr char RUN_INTERRUPTED_LINE[] =
    "\nInterrupted: the device was left in the middle of an update; "
    "running the same command again completes it\n";
inline constexpr char RUN_UNCHANGED_LINE[] = "Interrupted: the device was not changed\n";

// The line for `phase` without the line break that may go before it; null
// past the download.
inline const char* run_InterruptedText(int phase) {
    return phase == RUN_UPDATING        ? RUN_INTERRUPTED_LINE
           : phase == RUN_BEFORE_UPDATE ? RUN_UNCHANGED_LINE
                                        : nullptr;
}

// Writes the line for `phase` through `say(text, length)`, an unbuffered
// write to standard output; past the download nothing is written.
template <typename Say> void run_SayInterrupted(int phase, Say say) {
    if (phase == RUN_UPDATING) {
        say(RUN_INTERRUPTED_LINE, sizeof RUN_INTERRUPTED_LINE - 1);
    } else if (phase == RUN_BEFORE_UPDATE) {
        if (!con_AtLineStart()) {
            say("\n", 1);
        }
        say(RUN_UNCHANGED_LINE, sizeof RUN_UNCHANGED_LINE - 1);
    }
}
