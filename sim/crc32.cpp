#include "sim/crc32.h"

#include <array>

namespace {

constexpr uint32_t POLYNOMIAL = 0xEDB88320;  // IEEE 802.3, bit-reversed
constexpr uint32_t ALL_BITS = 0xFFFFFFFF;
constexpr int BITS_PER_BYTE = 8;
constexpr int BYTE_VALUES = 256;

// A table built at compile time: the state file is checksummed whole each time it is
// written, and the flash at every report, so a bit-by-bit loop would cost.
constexpr std::array<uint32_t, BYTE_VALUES> TABLE = [] {
    std::array<uint32_t, BYTE_VALUES> table{};
    for (uint32_t n = 0; n < BYTE_VALUES; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < BITS_PER_BYTE; ++bit) {
            c = (c & 1U) ? (c >> 1) ^ POLYNOMIAL : c >> 1;
        }
        table[n] = c;
    }
    return table;
}();

}  // namespace

uint32_t simCrc32(uint32_t crc, const uint8_t* bytes, size_t count) {
    uint32_t c = crc ^ ALL_BITS;
    for (size_t i = 0; i < count; ++i) {
        c = TABLE[(c ^ bytes[i]) & (BYTE_VALUES - 1)] ^ (c >> BITS_PER_BYTE);
    }
    return c ^ ALL_BITS;
}
