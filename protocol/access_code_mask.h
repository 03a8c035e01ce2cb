// A trace never hands out the controllers' access code. Its words travel as set
// requests of the UNLOCK property (number 8 while a controller's monitor runs, 13
// while its main firmware does): DATA[0] is 0x88 or 0x8D, DATA[1] 0, DATA[2] and
// DATA[3] the word. Every trace (the link's, the simulated hand's) writes such a frame
// with the bytes after the first two set to ACCESS_CODE_MASK_BYTE, so that a failure
// report still shows when the code was sent and to whom, but not the code. The link's
// trace takes accessCodeMasked as its frame filter; DOVEL_CAN_TRACE_UNMASKED=1 asks for
// the exact bytes, for a developer at a test bench.
#pragma once

#include <cstdint>

#include "can/can_frame.h"

constexpr uint8_t UNLOCK_MONITOR_SET = 0x88;
constexpr uint8_t UNLOCK_MAIN_SET = 0x8D;
constexpr int ACCESS_CODE_FIRST_VALUE_BYTE = 2;
constexpr uint8_t ACCESS_CODE_MASK_BYTE = 0xFF;

// The frame as a trace writes it: unchanged unless it carries a word of the code.
CanFrame accessCodeMasked(const CanFrame& frame);
