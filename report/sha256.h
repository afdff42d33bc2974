#pragma once
// SHA-256 of a byte stream fed in pieces, into a caller's context: nothing
// allocates in the tool's own code. On Windows the system's CNG provider
// computes it; elsewhere a small implementation of FIPS 180-4 does.

#include <cstddef>
#include <cstdint>

inline constexpr size_t SHA256_DIGEST_SIZE = 32;
// Room for either implementation's state (checked by each).
inline constexpr size_t SHA256_STATE_SIZE = 128;

struct Sha256 {
    alignas(8) uint8_t state[SHA256_STATE_SIZE];
};

// Starts a new digest; any earlier one in `ctx` is dropped.
void sha256_Begin(Sha256* ctx);
// Adds `length` bytes.
void sha256_Add(Sha256* ctx, const void* data, size_t length);
// Ends the digest into `digest`. False when the platform's provider failed
// somewhere since sha256_Begin (the digest is then all zeros).
bool sha256_End(Sha256* ctx, uint8_t digest[SHA256_DIGEST_SIZE]);
