// How long a frame occupies the simulated bus.
#pragma once

#include <cstdint>

// 1 Mbit/s: one bit a microsecond.
constexpr int64_t SIM_BIT_TIME_US = 1;
// A standard data frame without stuff bits: start, identifier, RTR, IDE, r0, DLC, CRC,
// CRC delimiter, ACK slot and delimiter, end of frame and the intermission after it.
constexpr int SIM_FRAME_FIXED_BITS = 47;
constexpr int SIM_MAX_DATA_BYTES = 8;

// Bits a standard data frame takes on the bus, the intermission and the stuff bits of
// its actual bit pattern included. len is taken as at most SIM_MAX_DATA_BYTES.
int simFrameBits(uint32_t id, const uint8_t* data, int len);

// The same as a time on the bus.
int64_t simFrameTimeUs(uint32_t id, const uint8_t* data, int len);
