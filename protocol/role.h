// Finding a controller and changing the role code in its ROLE word around a download.
#pragma once

#include <cstdint>

#include "protocol/property.h"

// Bits 0 to 4 of ROLE: the role code.
constexpr int32_t ROLE_CODE_CLEAR_MASK = 0xFFE0;
constexpr int32_t ROLE_CODE_HAND = 5;
constexpr int32_t STORE_ROLE = ROLE;  // the value a STORE request carries
constexpr int32_t STATUS_RESET = 0;
// What STATUS reads while the monitor runs; the main firmware reads non-zero.
constexpr int32_t STATUS_MONITOR = 0;
constexpr int SEARCH_QUERY_INTERVAL_MS = 100;
constexpr int STORE_WAIT_MS = 100;
// A controller that has not answered its ID query within this time is given up.
constexpr int SEARCH_TIMEOUT_MS = 5000;
// A reported ID from here up is no controller of this bus.
constexpr int FIRST_IMPOSSIBLE_DOVEL_ID = 32;
constexpr int32_t DOVEL_NOT_PREPARED = -1;

// Finds the controller, clears its role code, stores ROLE and resets it into its
// monitor. Returns the ROLE value read, or DOVEL_NOT_PREPARED.
int32_t prepareDovel(int controllerId);

enum PrepareOutcome {
    PREPARED,
    PREPARE_NOT_FOUND,  // the search gave up or met a status message
    PREPARE_FAILED,     // found, but its ROLE was not changed and stored
};

// prepareDovel telling how far it got; *roleRead is set when PREPARED.
PrepareOutcome prepareDovelTelling(int controllerId, int32_t* roleRead);

// A ROLE value as the 16-bit word the controller holds: a word with bit 15 set that
// arrives in two bytes decodes as a negative number.
unsigned roleWordForDisplay(int32_t role);

// Sends the access code to the unlock property for the controller's mode.
// 0, or 1 when the mode could not be read and nothing was sent.
int unlockDovel(int controllerId);

// Sets role code 5, checks it, stores ROLE and resets the controller. 0, or 1 when a
// step failed, in which case nothing was stored.
int restoreRole(int controllerId);

// restoreRole telling the ROLE word it stored, when it returns 0.
int restoreRoleStoring(int controllerId, uint16_t* storedWord);
