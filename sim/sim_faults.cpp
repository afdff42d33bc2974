#include "sim_faults.h"

#include "sim_frame.h"

#include <algorithm>

namespace sim {

namespace {

bool Listed(const std::vector<uint32_t>& list, uint64_t n) {
    return std::find(list.begin(), list.end(), n) != list.end();
}

bool Special(uint8_t b) {
    return b == FRAME_END || b == FRAME_ESC;
}

// The bodies (unescaped, at least a header long) of the frames in `bytes`.
std::vector<std::vector<uint8_t>> Bodies(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> out;
    FrameSplitter splitter;
    for (uint8_t b : bytes) {
        if (splitter.Feed(b)) {
            out.push_back(splitter.Body());
        }
    }
    return out;
}

} // namespace

FaultInjector::FaultInjector(const FaultConfig& config) : config_(config), random_(config.seed) {}

bool FaultInjector::Chance(double rate) {
    if (rate <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rate;
}

uint8_t FaultInjector::NonZeroByte() {
    return static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 255)(random_));
}

std::vector<uint8_t> FaultInjector::OnTxFrame(const std::vector<uint8_t>& frame, TxKind kind,
                                              bool* altered, uint64_t* injected) {
    *altered = false;
    std::vector<uint8_t> out = frame;
    bool duplicate = false;
    ++frames_;
    if (Listed(config_.drop_frame, frames_)) {
        ++*injected;
        return {};
    }
    if (Listed(config_.corrupt_frame, frames_) && CorruptFrameSurely(out)) {
        ++*injected;
        *altered = true;
    }
    if (kind == TxKind::Reply) {
        ++replies_;
        if (Listed(config_.drop_reply, replies_)) {
            ++*injected;
            return {};
        }
        if (Listed(config_.corrupt_reply, replies_) && CorruptFrameSurely(out)) {
            ++*injected;
            *altered = true;
        }
        duplicate = Listed(config_.duplicate_reply, replies_);
    } else if (kind == TxKind::Ack) {
        ++acks_;
        if (Listed(config_.drop_ack, acks_)) {
            ++*injected;
            return {};
        }
    }
    if (config_.tx_corrupt_rate > 0 || config_.tx_drop_rate > 0) {
        std::vector<uint8_t> damaged;
        damaged.reserve(out.size());
        for (uint8_t b : out) {
            if (Chance(config_.tx_drop_rate)) {
                ++*injected;
                *altered = true;
                continue;
            }
            if (Chance(config_.tx_corrupt_rate)) {
                b ^= NonZeroByte();
                ++*injected;
                *altered = true;
            }
            damaged.push_back(b);
        }
        out.swap(damaged);
    }
    if (duplicate || Chance(config_.tx_duplicate_rate)) {
        ++*injected;
        const std::vector<uint8_t> copy = out;
        out.insert(out.end(), copy.begin(), copy.end());
    }
    return out;
}

bool FaultInjector::OnRxByte(uint8_t* byte, bool* altered) {
    *altered = false;
    if (Chance(config_.rx_drop_rate)) {
        *altered = true;
        return false;
    }
    if (Chance(config_.rx_corrupt_rate)) {
        *byte ^= NonZeroByte();
        *altered = true;
    }
    return true;
}

bool FaultInjector::DuplicateRxFrame() {
    return Chance(config_.rx_duplicate_rate);
}

bool CorruptFrameSurely(std::vector<uint8_t>& frame) {
    // From the end: skip the closing delimiter, find a byte that is neither
    // special nor the second half of an escape pair.
    if (frame.size() < 3) {
        return false;
    }
    for (size_t i = frame.size() - 2; i >= 1; --i) {
        if (Special(frame[i]) || frame[i - 1] == FRAME_ESC) {
            continue;
        }
        for (uint8_t bit = 1; bit != 0; bit = static_cast<uint8_t>(bit << 1)) {
            const uint8_t flipped = frame[i] ^ bit;
            if (!Special(flipped)) {
                frame[i] = flipped;
                return true;
            }
        }
    }
    return false;
}

bool DamagedFramePasses(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& original) {
    const std::vector<std::vector<uint8_t>> before = Bodies(original);
    for (const std::vector<uint8_t>& body : Bodies(bytes)) {
        Frame frame;
        if (CheckFrame(body, &frame) != FrameCheck::Ok) {
            continue;
        }
        if (std::find(before.begin(), before.end(), body) == before.end()) {
            return true;
        }
    }
    return false;
}

} // namespace sim
