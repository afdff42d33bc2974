#include "sim_noise.h"

namespace sim {

namespace {

constexpr uint8_t DELIMITER = 0xC0;
constexpr uint8_t ESCAPE = 0xDB;
constexpr uint8_t HEADER_SIZE = 4;
constexpr uint8_t VALID_HEADER_SUM = 0xFF;

} // namespace

LineNoise::LineNoise(uint64_t seed) : state_(seed != 0 ? seed : 1) {}

uint8_t LineNoise::Next() {
    // xorshift64: any fixed sequence will do, it only has to look random.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    uint8_t b = static_cast<uint8_t>(state_ >> 24);
    if (b == ESCAPE) {
        b = ESCAPE - 1;
    }
    if (b == DELIMITER) {
        header_count_ = 0;
        header_sum_ = 0;
        return b;
    }
    if (header_count_ < HEADER_SIZE) {
        ++header_count_;
        if (header_count_ == HEADER_SIZE &&
            static_cast<uint8_t>(header_sum_ + b) == VALID_HEADER_SUM) {
            // One more misses the sum; the delimiter and the escape are stepped over.
            b = static_cast<uint8_t>(b + 1 == DELIMITER || b + 1 == ESCAPE ? b + 2 : b + 1);
        }
        header_sum_ = static_cast<uint8_t>(header_sum_ + b);
    }
    return b;
}

} // namespace sim
