// One CAN message as the adapter library takes and gives it.
#pragma once

#include <cstddef>
#include <cstdint>

// The record crosses the boundary to the adapter's own library unchanged, so its
// layout is fixed: little-endian, no gaps, 16 bytes, the last two unused.
struct CanFrame {
    uint32_t ID;
    uint8_t TYPE;
    uint8_t LEN;
    uint8_t DATA[8];
    uint8_t UNUSED[2];
};

static_assert(sizeof(CanFrame) == 16, "CanFrame must be 16 bytes");
static_assert(offsetof(CanFrame, ID) == 0, "CanFrame.ID offset");
static_assert(offsetof(CanFrame, TYPE) == 4, "CanFrame.TYPE offset");
static_assert(offsetof(CanFrame, LEN) == 5, "CanFrame.LEN offset");
static_assert(offsetof(CanFrame, DATA) == 6, "CanFrame.DATA offset");
static_assert(offsetof(CanFrame, UNUSED) == 14, "CanFrame.UNUSED offset");

constexpr uint8_t FRAME_TYPE_STANDARD = 0x00;
constexpr uint8_t FRAME_TYPE_STATUS = 0x80;

// Number of data bytes a CanFrame can hold; a LEN above it is never trusted.
constexpr int CAN_MAX_DATA = 8;
