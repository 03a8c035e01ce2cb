#include "firmware/sha256.h"

#include <cstring>

namespace {

constexpr int ROUNDS = 64;
constexpr int SCHEDULE_WORDS_IN_BLOCK = 16;
constexpr int LENGTH_FIELD_BYTES = 8;
constexpr uint8_t FIRST_PADDING_BYTE = 0x80;
constexpr int BITS_PER_BYTE = 8;
constexpr int BITS_PER_WORD = 32;

// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr uint32_t INITIAL_STATE[SHA256_STATE_WORDS] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr uint32_t ROUND_CONSTANTS[ROUNDS] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t rotateRight(uint32_t word, int bits) {
    return (word >> bits) | (word << (BITS_PER_WORD - bits));
}

// The words of the stream are big-endian whatever the machine's byte order.
uint32_t loadBigEndian(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

void storeBigEndian(uint32_t word, uint8_t* bytes) {
    bytes[0] = static_cast<uint8_t>(word >> 24);
    bytes[1] = static_cast<uint8_t>(word >> 16);
    bytes[2] = static_cast<uint8_t>(word >> 8);
    bytes[3] = static_cast<uint8_t>(word);
}

void compressBlock(uint32_t state[SHA256_STATE_WORDS], const uint8_t* block) {
    uint32_t schedule[ROUNDS];
    for (int t = 0; t < SCHEDULE_WORDS_IN_BLOCK; ++t) {
        schedule[t] = loadBigEndian(block + 4 * t);
    }
    for (int t = SCHEDULE_WORDS_IN_BLOCK; t < ROUNDS; ++t) {
        const uint32_t w15 = schedule[t - 15];
        const uint32_t w2 = schedule[t - 2];
        const uint32_t sigma0 = rotateRight(w15, 7) ^ rotateRight(w15, 18) ^ (w15 >> 3);
        const uint32_t sigma1 = rotateRight(w2, 17) ^ rotateRight(w2, 19) ^ (w2 >> 10);
        schedule[t] = sigma1 + schedule[t - 7] + sigma0 + schedule[t - 16];
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < ROUNDS; ++t) {
        const uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        const uint32_t choose = (e & f) ^ (~e & g);
        const uint32_t temp1 = h + sum1 + choose + ROUND_CONSTANTS[t] + schedule[t];
        const uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t temp2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + temp1;
        d = c;
        c = b;
        b = a;
        a = temp1 + temp2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void sha256Start(Sha256* hash) {
    *hash = Sha256{};
    std::memcpy(hash->state, INITIAL_STATE, sizeof hash->state);
}

void sha256Add(Sha256* hash, const void* bytes, size_t count) {
    const uint8_t* next = static_cast<const uint8_t*>(bytes);
    hash->totalBytes += count;
    while (count > 0) {
        if (hash->blockUsed == 0 && count >= SHA256_BLOCK_BYTES) {
            compressBlock(hash->state, next);
            next += SHA256_BLOCK_BYTES;
            count -= SHA256_BLOCK_BYTES;
            continue;
        }
        size_t taken = SHA256_BLOCK_BYTES - hash->blockUsed;
        if (taken > count) {
            taken = count;
        }
        std::memcpy(hash->block + hash->blockUsed, next, taken);
        hash->blockUsed += taken;
        next += taken;
        count -= taken;
        if (hash->blockUsed == SHA256_BLOCK_BYTES) {
            compressBlock(hash->state, hash->block);
            hash->blockUsed = 0;
        }
    }
}

void sha256Finish(Sha256* hash, uint8_t digest[SHA256_DIGEST_BYTES]) {
    const uint64_t totalBits = hash->totalBytes * BITS_PER_BYTE;
    // The padding: one 1 bit, zeros up to 8 bytes short of a block's end, and the
    // stream's length in bits there, in a block of its own when it does not fit.
    hash->block[hash->blockUsed++] = FIRST_PADDING_BYTE;
    if (hash->blockUsed > SHA256_BLOCK_BYTES - LENGTH_FIELD_BYTES) {
        std::memset(hash->block + hash->blockUsed, 0, SHA256_BLOCK_BYTES - hash->blockUsed);
        compressBlock(hash->state, hash->block);
        hash->blockUsed = 0;
    }
    std::memset(hash->block + hash->blockUsed, 0,
                SHA256_BLOCK_BYTES - LENGTH_FIELD_BYTES - hash->blockUsed);
    uint8_t* lengthField = hash->block + SHA256_BLOCK_BYTES - LENGTH_FIELD_BYTES;
    storeBigEndian(static_cast<uint32_t>(totalBits >> BITS_PER_WORD), lengthField);
    storeBigEndian(static_cast<uint32_t>(totalBits), lengthField + 4);
    compressBlock(hash->state, hash->block);
    for (int i = 0; i < SHA256_STATE_WORDS; ++i) {
        storeBigEndian(hash->state[i], digest + 4 * i);
    }
}

void sha256Hex(const uint8_t digest[SHA256_DIGEST_BYTES], char hex[SHA256_HEX_SIZE]) {
    static const char DIGITS[] = "0123456789abcdef";
    for (int i = 0; i < SHA256_DIGEST_BYTES; ++i) {
        hex[2 * i] = DIGITS[digest[i] >> 4];
        hex[2 * i + 1] = DIGITS[digest[i] & 0x0F];
    }
    hex[2 * SHA256_DIGEST_BYTES] = '\0';
}
