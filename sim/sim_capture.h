#pragma once
// Captures of one direction of a real line, read back as trace lines: the
// byte stream out of a binary file or a hex dump, and its frames named by
// the same decoder as tarnload's and tarnsim's traces.

#include "sim_options.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The line bytes of a capture. Binary unless the content is all printable
// text; text is read as a hex dump (see `tarnsim decode` in the help). Of a
// socat dump holding both directions, the blocks whose frames go
// `direction` are taken (the first marker's when that cannot be told).
// *note receives one line about what was skipped ("" when nothing was).
std::vector<uint8_t> ParseCapture(const std::string& content, CaptureDirection direction,
                                  std::string* note);

// FromHost when the first channel-12 frame carries a request, ToHost when it
// carries anything else, Guess when there is none.
CaptureDirection GuessDirection(const std::vector<uint8_t>& bytes);

// One trace line per frame, "@<offset> <H>D|D>H> <frame>", then a line for a
// truncated tail and for bytes before the first delimiter, if any.
std::string DecodeCapture(const std::vector<uint8_t>& bytes, CaptureDirection direction);

} // namespace sim
