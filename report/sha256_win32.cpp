// SHA-256 from Windows' CNG provider (bcrypt.dll, in every Windows since
// Vista): the system's own, validated implementation. CNG keeps the hash
// object in its own memory when none is given.
#include "sha256.h"

#include <windows.h>

#include <bcrypt.h>
#include <cstring>

namespace {

struct State {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    bool failed;
};
static_assert(sizeof(State) <= SHA256_STATE_SIZE);

State* Of(Sha256* ctx) {
    return reinterpret_cast<State*>(ctx->state);
}

bool Ok(NTSTATUS status) {
    return status >= 0;
}

} // namespace

void sha256_Begin(Sha256* ctx) {
    State* s = Of(ctx);
    s->algorithm = nullptr;
    s->hash = nullptr;
    s->failed =
        !Ok(BCryptOpenAlgorithmProvider(&s->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !Ok(BCryptCreateHash(s->algorithm, &s->hash, nullptr, 0, nullptr, 0, 0));
}

void sha256_Add(Sha256* ctx, const void* data, size_t length) {
    State* s = Of(ctx);
    // CNG takes at most 4 GiB a call.
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (!s->failed && length > 0) {
        const ULONG part = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        s->failed = !Ok(BCryptHashData(s->hash, const_cast<PUCHAR>(p), part, 0));
        p += part;
        length -= part;
    }
}

bool sha256_End(Sha256* ctx, uint8_t digest[SHA256_DIGEST_SIZE]) {
    State* s = Of(ctx);
    if (!s->failed) {
        s->failed = !Ok(BCryptFinishHash(s->hash, digest, SHA256_DIGEST_SIZE, 0));
    }
    if (s->hash != nullptr) {
        BCryptDestroyHash(s->hash);
    }
    if (s->algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(s->algorithm, 0);
    }
    s->hash = nullptr;
    s->algorithm = nullptr;
    if (s->failed) {
        std::memset(digest, 0, SHA256_DIGEST_SIZE);
    }
    return !s->failed;
}
