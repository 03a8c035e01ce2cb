// Writes an example firmware image in Extended Tektronix Hex: SIZE bytes of data drawn
// from SEED, 32 bytes a line, from address 0x1000 on, and the termination record.
//
//   make-tek-image SIZE SEED FILE
//
// The same SIZE and SEED always give the same file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "firmware/tek_format.h"

namespace {

constexpr int EXPECTED_ARGUMENTS = 4;
constexpr uint32_t IMAGE_BASE_ADDRESS = 0x1000;
constexpr int IMAGE_BYTES_PER_LINE = 32;
// Larger images do not fit the simulated controllers' flash.
constexpr unsigned long MAX_IMAGE_SIZE = 0x3F000;
constexpr int EXIT_USAGE = 2;
constexpr int DECIMAL_RADIX = 10;

// SplitMix64: every seed, 0 included, gives a full-period stream, the same everywhere.
constexpr uint64_t SPLITMIX_INCREMENT = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t SPLITMIX_MULTIPLIER_1 = 0xBF58476D1CE4E5B9ULL;
constexpr uint64_t SPLITMIX_MULTIPLIER_2 = 0x94D049BB133111EBULL;
constexpr int SPLITMIX_SHIFT_1 = 30;
constexpr int SPLITMIX_SHIFT_2 = 27;
constexpr int SPLITMIX_SHIFT_3 = 31;
constexpr int BYTES_PER_WORD = 8;
constexpr int BITS_PER_BYTE = 8;

uint64_t nextRandom(uint64_t* state) {
    uint64_t z = (*state += SPLITMIX_INCREMENT);
    z = (z ^ (z >> SPLITMIX_SHIFT_1)) * SPLITMIX_MULTIPLIER_1;
    z = (z ^ (z >> SPLITMIX_SHIFT_2)) * SPLITMIX_MULTIPLIER_2;
    return z ^ (z >> SPLITMIX_SHIFT_3);
}

std::vector<uint8_t> randomData(unsigned long size, uint64_t seed) {
    std::vector<uint8_t> data(size);
    uint64_t state = seed;
    uint64_t word = 0;
    for (unsigned long i = 0; i < size; ++i) {
        if (i % BYTES_PER_WORD == 0) {
            word = nextRandom(&state);
        }
        data[i] = static_cast<uint8_t>(word >> (BITS_PER_BYTE * (i % BYTES_PER_WORD)));
    }
    return data;
}

// A decimal number that makes up the whole argument; false otherwise.
bool parseNumber(const char* text, unsigned long long* value) {
    char* end = nullptr;
    *value = std::strtoull(text, &end, DECIMAL_RADIX);
    return *text >= '0' && *text <= '9' && end && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long size = 0;
    unsigned long long seed = 0;
    if (argc != EXPECTED_ARGUMENTS || !parseNumber(argv[1], &size) ||
        !parseNumber(argv[2], &seed) || size > MAX_IMAGE_SIZE) {
        std::fprintf(stderr, "usage: make-tek-image SIZE SEED FILE (SIZE at most %lu)\n",
                     MAX_IMAGE_SIZE);
        return EXIT_USAGE;
    }
    const std::vector<uint8_t> data = randomData(static_cast<unsigned long>(size), seed);
    if (tekWriteImage(argv[3], data.data(), static_cast<uint32_t>(size), IMAGE_BASE_ADDRESS,
                      IMAGE_BYTES_PER_LINE) != 0) {
        std::fprintf(stderr, "make-tek-image: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
