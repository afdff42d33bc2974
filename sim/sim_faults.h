#pragma once
// Line faults the device injects into its own traffic: whole frames dropped,
// corrupted or duplicated on purpose, and random byte damage in either
// direction. Every random decision comes from one seeded generator.

#include "sim_device.h"

#include <cstdint>
#include <random>
#include <vector>

namespace sim {

// What kind of frame the device is about to write; the frame counters of
// FaultConfig count per kind.
enum class TxKind { Link, Ack, Reply };

class FaultInjector {
  public:
    // `config` is read at every decision, so changes apply at once; it must
    // outlive the injector.
    explicit FaultInjector(const FaultConfig& config);

    // The bytes to write for one encoded frame: nothing (dropped), the frame,
    // an altered frame, or the frame twice. *altered tells whether a fault
    // changed the bytes; *injected counts the faults applied.
    std::vector<uint8_t> OnTxFrame(const std::vector<uint8_t>& frame, TxKind kind, bool* altered,
                                   uint64_t* injected);

    // One byte off the line from the host: false when the fault drops it,
    // else true with *byte possibly altered (*altered set).
    bool OnRxByte(uint8_t* byte, bool* altered);

    // Whether a decoded host frame is to be handled twice.
    bool DuplicateRxFrame();

  private:
    bool Chance(double rate);
    uint8_t NonZeroByte();

    const FaultConfig& config_;
    std::mt19937_64 random_;
    uint64_t frames_ = 0;
    uint64_t replies_ = 0;
    uint64_t acks_ = 0;
};

// Flips one bit of a frame so that its receiver rejects it for certain: a
// bit of its last unescaped CRC or payload byte, never creating a delimiter
// or an escape. Returns false when the frame has no such byte.
bool CorruptFrameSurely(std::vector<uint8_t>& frame);

// Whether any frame found in `bytes` (split at delimiters) passes the frame
// check and differs from `original`, i.e. a receiver would take damage for
// a good frame.
bool DamagedFramePasses(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& original);

} // namespace sim
