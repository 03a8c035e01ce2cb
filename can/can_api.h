// The five adapter operations, plus one wait of our own, as free functions over
// the backend the run's settings name (can/can_backend.h, canConfigure).
#pragma once

#include <cstdint>

#include "can/can_frame.h"

// Results: 0 for success, other values as the backend reports them.
constexpr int32_t CAN_OK = 0;
constexpr int32_t RX_QUEUE_EMPTY = 32;
// Our own codes, for failures that happen before any backend is reached.
constexpr int32_t CAN_ERR_NO_BACKEND = 0x10000;
constexpr int32_t CAN_ERR_NOT_INITIALIZED = 0x20000;
// Every operation's result once the link has been found gone or down in this run: nothing
// reaches the adapter any more.
constexpr int32_t CAN_ERR_LINK_LOST = 0x40000;

// Bit-timing code BTR0=0x00, BTR1=0x14: 8 quanta per bit, sample point 75 %, 1 Mbit/s.
constexpr uint16_t CAN_BITRATE_1M = 0x0014;
constexpr int CAN_INIT_TYPE_STANDARD = 0;
constexpr uint32_t CAN_FILTER_LOWEST_ID = 0;
constexpr uint32_t CAN_FILTER_HIGHEST_ID = 1023;

int32_t CAN_Init(uint16_t bitTiming, int frameType);
int32_t CAN_Read(CanFrame* frame);
int32_t CAN_Write(const CanFrame* frame);
int32_t CAN_ResetClient();
int32_t CAN_MsgFilter(uint32_t lowestId, uint32_t highestId, int frameType);

// When every read and write has failed for this long, the adapter counts as gone.
constexpr int CAN_LINK_LOST_AFTER_MS = 1000;

// Why the link is gone or down, or nullptr while the last operations tell nothing of the
// kind: the backend's own word (the interface deleted or set down), or every read and
// write failing for CAN_LINK_LOST_AFTER_MS (an adapter pulled out, whatever its codes
// mean). Once it has said so, it says so with the same words until the backend is
// closed, and every adapter operation returns CAN_ERR_LINK_LOST without reaching the
// adapter: a link that comes back in the middle of a run must not carry frames to
// controllers whose resets and waits the run no longer keeps track of.
const char* canLinkDown();

// canLinkDown, after asking the backend to look at the link now where it can (an
// interface deleted or set down while nothing was sent). For a wait that got nothing.
const char* canProbeLink();

// Blocks until a frame may be queued for CAN_Read or the clock (can/clock.h)
// reaches deadlineUs, whichever comes first. It may return early; callers read again.
void CAN_WaitForFrame(int64_t deadlineUs);
