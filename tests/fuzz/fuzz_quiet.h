#pragma once
// The code under test reports through standard output; at tens of thousands
// of inputs a second that output would dominate the run. The first call
// sends it to /dev/null unless TARN_FUZZ_VERBOSE is set (to read what the
// program printed for one crashing input).
void fuzz_Quiet();

// Aborts with `what` on standard error when `condition` is false. A fuzz
// target's own checks must stop the run like a sanitizer report does.
void fuzz_Check(bool condition, const char* what);
