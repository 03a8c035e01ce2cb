// The simulated hand behind the adapter library's test double (script item
// hand=OPTIONS): the double's five operations reach the hand's host port, on a time
// line that follows the real clock. With the option "fast", a read that finds the
// queue empty lets the hand run ahead to its next frame for the host, by at most
// DOUBLE_HAND_JUMP_US, so replies come without their bus time while the utility's
// own sleeps still count in full.
#pragma once

#include <cstdint>
#include <string>

struct SimHand;

constexpr int64_t DOUBLE_HAND_JUMP_US = 1000;

struct DoubleHand {
    SimHand* hand;
    bool fast;
    int64_t realStartUs;
    int64_t skippedUs;  // how far the hand has run ahead of the real clock
};

// 0, or 1 with *error naming the option the hand does not take. The trace file named
// by DOVEL_SIM_TRACE, if any, follows the hand's bus.
int doubleHandOpen(DoubleHand* hand, const std::string& options, std::string* error);
// Lets the controllers come to rest, writes their report to standard error, and
// frees the hand.
void doubleHandClose(DoubleHand* hand);

// The five operations, with the results the hand gives.
uint32_t doubleHandInit(DoubleHand* hand, uint16_t bitTiming);
uint32_t doubleHandReset(DoubleHand* hand);
uint32_t doubleHandFilter(DoubleHand* hand, uint32_t lowestId, uint32_t highestId);
uint32_t doubleHandRead(DoubleHand* hand, uint8_t* record);
uint32_t doubleHandWrite(DoubleHand* hand, const uint8_t* record);
