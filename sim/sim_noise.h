#pragma once
// Line noise: what a host sees on a port where no frame ever passes, such
// as a device's console printing at another baud rate or a bad adapter.
// Delimiters come by now and then, so the host's decoder keeps finding
// frames, but every one of them fails its header check: nothing in the
// noise is ever taken for a packet.

#include <cstdint>

namespace sim {

class LineNoise {
  public:
    explicit LineNoise(uint64_t seed);
    // The next byte. Never the escape byte 0xDB (an escape could turn a
    // header into a valid one); the four bytes after each 0xC0 never sum
    // to the valid header sum 0xFF.
    uint8_t Next();

  private:
    uint64_t state_;
    uint8_t header_count_ = 0; // bytes since the last delimiter, up to 4
    uint8_t header_sum_ = 0;
};

} // namespace sim
