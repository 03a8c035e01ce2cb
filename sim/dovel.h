// One simulated Dovel: a device with state that reacts to each frame addressed to it.
// It decodes requests and encodes replies with its own code, from what it sees on the
// bus.
//
// Main firmware and monitor answer every get request with one frame, little-endian
// form, from SIM_REPLY_ID_BASE | node; no set request is answered. ROLE writes are
// accepted only once the five access-code words have arrived in order on the mode's
// unlock property with nothing else addressed to the controller in between; then it
// stays unlocked until its next reset.
//
// A download (monitor only) begins with the start request. From then until the
// termination record every LEN-1 frame addressed to the controller is an image
// character; other frames addressed to it are handled as at any other time (a second
// start request begins the download afresh, a reset ends it). After the termination
// record, LEN-1 frames are get requests again.
//
// The main firmware answers VERS with SIM_VERSION_MAIN while the flash holds the
// factory firmware, and with the low 16 bits of the flash's CRC-32 once a download has
// completed, so that the firmware a controller runs can be told from the one before.
#pragma once

#include <cstdint>

#include "sim/hand_state.h"

// Property numbers as the controller knows them.
constexpr int SIM_PROP_VERS = 0;
constexpr int SIM_PROP_ROLE = 1;
constexpr int SIM_PROP_ID = 3;
constexpr int SIM_PROP_STATUS = 5;
constexpr int SIM_PROP_UNLOCK_MONITOR = 8;
constexpr int SIM_PROP_STORE = 9;
constexpr int SIM_PROP_UNLOCK_MAIN = 13;

constexpr int32_t SIM_DOWNLOAD_START = 0xAA;
constexpr int32_t SIM_STORE_ROLE = 1;
constexpr int32_t SIM_STATUS_RESET = 0;
constexpr int32_t SIM_STATUS_MAIN = 1;
constexpr int32_t SIM_STATUS_MONITOR = 0;
constexpr int32_t SIM_VERSION_MAIN = 0x0214;
constexpr int32_t SIM_VERSION_MONITOR = 0x0103;
// Of a downloaded image's CRC-32, the part VERS gives.
constexpr uint32_t SIM_VERSION_CRC_MASK = 0xFFFF;
constexpr uint16_t SIM_ROLE_CODE_MASK = 0x001F;

// Stored ROLE words at the start of a run, controllers 11 to 14: role code 5, upper bits
// different for each; controller 13's has bit 15 set.
constexpr uint16_t SIM_INITIAL_ROLES[SIM_DOVEL_COUNT] = {0x1225, 0x0A45, 0x8465, 0x3C85};

// Reply identifiers: little-endian form, and packed form (bit 10, node, low bits 3).
constexpr uint32_t SIM_REPLY_ID_BASE = 0x200;
constexpr uint32_t SIM_PACKED_REPLY_ID_BASE = 0x400;
constexpr int SIM_PACKED_NODE_SHIFT = 5;
constexpr uint32_t SIM_PACKED_REPLY_LOW_BITS = 3;
constexpr uint8_t SIM_REPLY_FLAG = 0x80;
// Download replies under the shared-reply-id option, and under reply-id-change after the
// ready reply (with the node in the low bits).
constexpr uint32_t SIM_SHARED_REPLY_ID = SIM_REPLY_ID_BASE;
constexpr uint32_t SIM_CHANGED_REPLY_ID_BASE = 0x300;

// Timing.
constexpr int64_t SIM_REPLY_DELAY_US = 20;
constexpr int64_t SIM_CHARACTER_TAKE_US = 20;
constexpr int64_t SIM_DOWNLOAD_PREPARE_US = 2000;  // erasing the flash
constexpr int64_t SIM_STORE_BUSY_US = 50000;
constexpr int64_t SIM_RESET_US = 500000;

// Flash: records beyond it are bad records.
constexpr uint32_t SIM_FLASH_BYTES = 0x40000;

// Faults.
constexpr int SIM_CRAZY_ID = 40;
constexpr uint8_t SIM_STATUS_MESSAGE_DATA3 = 0x08;
constexpr uint32_t SIM_FOREIGN_NODE_ID = 0x1F0;
constexpr uint8_t SIM_FOREIGN_VALUE = 0x07;
constexpr int64_t SIM_FOREIGN_REPLY_DELAY_US = 10;
// In a download of a controller with the foreign fault, the node sends one frame of its
// own once the controller has taken this many characters.
constexpr int SIM_FOREIGN_DOWNLOAD_CHARACTERS = 100;
constexpr uint8_t SIM_LONG_LEN = 15;

void dovelInit(SimDovel* dovel, int node, const SimDovelFaults* faults, uint16_t storedRole);

// Power comes on: the controller boots from its lasting state (stored ROLE and flash), as
// it does after a reset. Role code 0 starts the monitor; any other the main firmware,
// which, when the flash holds an incomplete image, is damaged: it never sends a frame and
// takes none (dovelDamaged).
void dovelPowerUp(SimDovel* dovel);

// Whether the controller runs a main firmware that was only partly written.
bool dovelDamaged(const SimDovel* dovel);

// A frame whose identifier is the controller's node, at the end of its time on the bus.
void dovelReceive(SimHand* hand, SimDovel* dovel, const CanFrame* frame, int64_t atUs);

// stray=ID:OTHER: a frame addressed to another controller; the first start request to
// OTHER gets one ready frame of this controller's own.
void dovelStrayReady(SimHand* hand, SimDovel* dovel, const CanFrame* frame, int64_t atUs);

// Runs the controller's pending event (dovel->event at dovel->eventUs).
void dovelRunEvent(SimHand* hand, SimDovel* dovel);
