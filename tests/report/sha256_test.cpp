// The SHA-256 the report takes of the firmware file, against the test
// vectors of FIPS 180-2 (appendix B), fed whole and in uneven pieces so that
// every way a block fills is taken.
#include <gtest/gtest.h>

#include <string>

#include "sha256.h"

namespace {

std::string Hex(const uint8_t* digest) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i) {
        out += HEX[digest[i] >> 4];
        out += HEX[digest[i] & 0x0F];
    }
    return out;
}

// The digest of `message` fed in pieces of `piece` bytes (0: whole).
std::string Digest(const std::string& message, size_t piece) {
    Sha256 ctx;
    sha256_Begin(&ctx);
    if (piece == 0) {
        sha256_Add(&ctx, message.data(), message.size());
    } else {
        for (size_t at = 0; at < message.size(); at += piece) {
            sha256_Add(&ctx, message.data() + at, std::min(piece, message.size() - at));
        }
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    EXPECT_TRUE(sha256_End(&ctx, digest));
    return Hex(digest);
}

TEST(Sha256, FipsVectors) {
    const struct {
        const char* name;
        std::string message;
        const char* digest;
    } cases[] = {
        {"one block, \"abc\"", "abc",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks, the 448-bit message",
         "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a million 'a'", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    for (const auto& c : cases) {
        for (const size_t piece : {0, 1, 7, 63, 64, 65, 4096}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            EXPECT_EQ(Digest(c.message, piece), c.digest);
        }
    }
}

} // namespace
