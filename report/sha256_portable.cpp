// SHA-256 as FIPS 180-4 gives it, for the systems without a hashing service
// every installation has: 64-byte blocks, big-endian words, no heap.
#include "sha256.h"

#include <cstring>

namespace {

struct State {
    uint32_t h[8];
    uint64_t total; // bytes added
    uint8_t block[64];
    uint32_t used; // bytes waiting in block
};
static_assert(sizeof(State) <= SHA256_STATE_SIZE);

constexpr uint32_t INITIAL[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

State* Of(Sha256* ctx) {
    return reinterpret_cast<State*>(ctx->state);
}

uint32_t Rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void Compress(State* s, const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (static_cast<uint32_t>(p[4 * i]) << 24) |
               (static_cast<uint32_t>(p[4 * i + 1]) << 16) |
               (static_cast<uint32_t>(p[4 * i + 2]) << 8) | p[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = s->h[0], b = s->h[1], c = s->h[2], d = s->h[3];
    uint32_t e = s->h[4], f = s->h[5], g = s->h[6], h = s->h[7];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 =
            h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
        const uint32_t t2 =
            (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    s->h[0] += a;
    s->h[1] += b;
    s->h[2] += c;
    s->h[3] += d;
    s->h[4] += e;
    s->h[5] += f;
    s->h[6] += g;
    s->h[7] += h;
}

} // namespace

void sha256_Begin(Sha256* ctx) {
    State* s = Of(ctx);
    std::memcpy(s->h, INITIAL, sizeof INITIAL);
    s->total = 0;
    s->used = 0;
}

void sha256_Add(Sha256* ctx, const void* data, size_t length) {
    State* s = Of(ctx);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    s->total += length;
    if (s->used > 0) {
        const size_t take = length < 64 - s->used ? length : 64 - s->used;
        std::memcpy(s->block + s->used, p, take);
        s->used += static_cast<uint32_t>(take);
        p += take;
        length -= take;
        if (s->used < 64) {
            return;
        }
        Compress(s, s->block);
        s->used = 0;
    }
    for (; length >= 64; p += 64, length -= 64) {
        Compress(s, p);
    }
    std::memcpy(s->block, p, length);
    s->used = static_cast<uint32_t>(length);
}

bool sha256_End(Sha256* ctx, uint8_t digest[SHA256_DIGEST_SIZE]) {
    State* s = Of(ctx);
    const uint64_t bits = s->total * 8;
    // The padding: a 1 bit, zeros up to 56 bytes into a block, the length.
    s->block[s->used++] = 0x80;
    if (s->used > 56) {
        std::memset(s->block + s->used, 0, 64 - s->used);
        Compress(s, s->block);
        s->used = 0;
    }
    std::memset(s->block + s->used, 0, 56 - s->used);
    for (int i = 0; i < 8; ++i) {
        s->block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    Compress(s, s->block);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<uint8_t>(s->h[i] >> (24 - 8 * j));
        }
    }
    return true;
}
