// Asking a controller what it runs, with get requests only: nothing is written.
#pragma once

#include <cstdint>

enum DovelCheck {
    CHECK_MAIN_FIRMWARE,  // its ID twice, STATUS non-zero and VERS read (and as expected)
    CHECK_IN_MONITOR,     // STATUS 0
    CHECK_NO_REPLY,
    CHECK_NOT_ITS_ID,     // it answers, but not with its own ID: its answers mean nothing
    CHECK_WRONG_VERSION,  // main firmware, but not the VERS that DOVEL_EXPECT_VERS names
    CHECK_LINK_DOWN,      // the CAN link is gone or down: nothing could be asked
};

// The version word a release promises, from the environment; without it any VERS passes.
constexpr const char* EXPECT_VERS_VARIABLE = "DOVEL_EXPECT_VERS";

// How often the controller is asked its ID. A controller that a killed run left in its
// monitor in the middle of a download answers every frame with a ready reply that counts
// the characters it took; two answers in a row cannot both hold the same count, so they
// cannot both pass for the ID by chance.
constexpr int CHECK_ID_QUERIES = 2;

// Prints "Checking Dovel %d..." and the verdict on the same line: "[OK] main firmware,
// VERS 0x%04x", "[FAILED] still in its monitor", "[FAILED] no reply", "[FAILED] answers,
// but not with its ID: ...", "[FAILED] main firmware, VERS 0x%04x, expected 0x%04x" or
// "[FAILED] the CAN link is down (...)"; with withRole, the ROLE word is added to the
// line of a controller that proved its ID.
DovelCheck checkDovel(int controllerId, bool withRole);

// The words a check read, as the controller holds them, for a record of the run.
struct DovelReadings {
    bool versRead;
    unsigned vers;
    bool roleRead;  // asked only with withRole
    unsigned role;
};

// checkDovel telling what it read.
DovelCheck checkDovelReading(int controllerId, bool withRole, DovelReadings* readings);
