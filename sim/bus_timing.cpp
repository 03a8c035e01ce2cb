#include "sim/bus_timing.h"

namespace {

constexpr int ID_BITS = 11;
constexpr int DLC_BITS = 4;
constexpr int BITS_PER_BYTE = 8;
constexpr int CRC_BITS = 15;
constexpr unsigned CRC_POLYNOMIAL = 0x4599;
constexpr unsigned CRC_MASK = 0x7FFF;
// A transmitter inserts a bit of the other level after this many equal bits.
constexpr int STUFF_RUN = 5;
// Start of frame, ID, RTR, IDE, r0, DLC, data and CRC: the part that is stuffed.
constexpr int MAX_STUFFED_BITS =
    1 + ID_BITS + 3 + DLC_BITS + SIM_MAX_DATA_BYTES * BITS_PER_BYTE + CRC_BITS;

struct BitString {
    int bits[MAX_STUFFED_BITS];
    int count;
};

void appendBits(BitString* s, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        s->bits[s->count++] = static_cast<int>((value >> i) & 1U);
    }
}

unsigned crc15(const BitString& s) {
    unsigned crc = 0;
    for (int i = 0; i < s.count; ++i) {
        const unsigned next = static_cast<unsigned>(s.bits[i]) ^ ((crc >> (CRC_BITS - 1)) & 1U);
        crc = (crc << 1) & CRC_MASK;
        if (next) {
            crc ^= CRC_POLYNOMIAL;
        }
    }
    return crc;
}

int stuffBits(const BitString& s) {
    int inserted = 0;
    int run = 0;
    int level = -1;
    for (int i = 0; i < s.count; ++i) {
        if (s.bits[i] == level) {
            ++run;
        } else {
            level = s.bits[i];
            run = 1;
        }
        if (run == STUFF_RUN) {
            // The stuff bit has the other level and starts the next run.
            ++inserted;
            level = 1 - level;
            run = 1;
        }
    }
    return inserted;
}

}  // namespace

int simFrameBits(uint32_t id, const uint8_t* data, int len) {
    const int bytes = len < 0 ? 0 : (len > SIM_MAX_DATA_BYTES ? SIM_MAX_DATA_BYTES : len);
    BitString s{};
    appendBits(&s, 0, 1);  // start of frame (dominant)
    appendBits(&s, id, ID_BITS);
    appendBits(&s, 0, 3);  // RTR, IDE and r0: a standard data frame
    appendBits(&s, static_cast<unsigned>(bytes), DLC_BITS);
    for (int i = 0; i < bytes; ++i) {
        appendBits(&s, data[i], BITS_PER_BYTE);
    }
    appendBits(&s, crc15(s), CRC_BITS);
    return SIM_FRAME_FIXED_BITS + bytes * BITS_PER_BYTE + stuffBits(s);
}

int64_t simFrameTimeUs(uint32_t id, const uint8_t* data, int len) {
    return simFrameBits(id, data, len) * SIM_BIT_TIME_US;
}
