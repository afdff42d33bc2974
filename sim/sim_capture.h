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
// text; text is read as a hex dump (see `tarnsim decode` in the help).
// *note receives one line about what was skipped ("" when nothing was).
std::vector<uint8_t> ParseCapture(const std::string& content, std::string* note);

// One trace line per frame, "@<offset> <H>D|D>H> <frame>", then a line for a
// truncated tail and for bytes before the first delimiter, if any.
std::string DecodeCapture(const std::vector<uint8_t>& bytes, CaptureDirection direction);

} // namespace sim
