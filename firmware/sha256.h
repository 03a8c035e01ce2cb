// SHA-256 of a byte stream fed in pieces of any size, so that the bytes the file check
// reads can be hashed as they come, with nothing but the standard library.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SHA256_DIGEST_BYTES = 32;
constexpr int SHA256_BLOCK_BYTES = 64;
// The digest as sha256sum prints it: 64 lower-case hex digits, and the NUL.
constexpr int SHA256_HEX_SIZE = 2 * SHA256_DIGEST_BYTES + 1;
constexpr int SHA256_STATE_WORDS = 8;

struct Sha256 {
    uint32_t state[SHA256_STATE_WORDS];
    uint8_t block[SHA256_BLOCK_BYTES];  // the bytes of a block not yet complete
    size_t blockUsed;
    uint64_t totalBytes;
};

void sha256Start(Sha256* hash);
void sha256Add(Sha256* hash, const void* bytes, size_t count);
// Ends the stream; the record must be started again before it is used for another.
void sha256Finish(Sha256* hash, uint8_t digest[SHA256_DIGEST_BYTES]);

void sha256Hex(const uint8_t digest[SHA256_DIGEST_BYTES], char hex[SHA256_HEX_SIZE]);
