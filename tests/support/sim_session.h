// Drives the in-process simulated hand through the five adapter operations, on its
// virtual clock, and writes the frames the way a candump log does ("20B#81002512"), so
// that tests can compare exact frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "can/can_frame.h"
#include "sim/sim_hand.h"

// Opens a fresh hand with "fast" and the options and starts the link as the utility
// does: CAN_Init, CAN_ResetClient, CAN_MsgFilter(0, 1023). Tear down with simSessionEnd.
class SimSessionTest : public ::testing::Test {
  protected:
    void TearDown() override;
    // Adds "fast," in front of the options. Fails the test if the link does not start.
    void openHand(const std::string& options = "");
};

void simSessionEnd();

// "ID#DATA": three upper-case hex digits of identifier, LEN bytes of data.
std::string simFrameText(const CanFrame& frame);

CanFrame simGet(int node, int property);
CanFrame simSet(int node, int property, uint16_t value);
CanFrame simCharacter(int node, char c);

// CAN_Write, expecting success.
void simWrite(const CanFrame& frame);

// Lets ms pass on the virtual clock, then takes every frame queued for the host.
std::vector<std::string> simReadAfter(int ms);
// Writes the frame, then simReadAfter(ms).
std::vector<std::string> simExchange(const CanFrame& frame, int ms = 2);

// The five access-code words to the given property, back to back.
void simSendAccessCode(int node, int property);
// The access code to unlockProperty, the ROLE word, a STORE, then a reset, with the time
// each takes: the controller boots from that word (role code 0: its monitor).
void simStoreRoleAndReset(int node, int unlockProperty, uint16_t role);
// A word that is not the access word at the given position.
uint16_t simWrongAccessWord(int index);
uint16_t simAccessWord(int index);

SimDovelState simDovelState(int node);

// The virtual clock now, in microseconds.
int64_t simNowUs();
// Lets the virtual clock run to atUs.
void simAdvanceTo(int64_t atUs);
