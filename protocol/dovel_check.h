// Asking a controller what it runs, with get requests only: nothing is written.
#pragma once

#include <cstdint>

enum DovelCheck {
    CHECK_MAIN_FIRMWARE,  // its ID, role code 5, STATUS non-zero and VERS read (and as expected)
    CHECK_IN_MONITOR,     // role code 0, or STATUS 0
    CHECK_NO_REPLY,
    CHECK_NOT_ITS_ID,     // it answers, but not with its own ID: its answers mean nothing
    CHECK_NOT_HAND_ROLE,  // its ID, but a ROLE whose role code is neither the hand's nor 0
    CHECK_WRONG_VERSION,  // main firmware, but not the VERS that DOVEL_EXPECT_VERS names
    CHECK_LINK_DOWN,      // the CAN link went down: the controller was not checked
};

// The version a release promises, as the check prints VERS; without it any VERS passes.
struct ExpectedVersion {
    bool given;
    uint32_t vers;
};

// The variable that names it.
constexpr const char* EXPECT_VERS_VARIABLE = "DOVEL_EXPECT_VERS";

// How often the controller is asked its ID: once after an update, twice by --status. A
// controller that a killed run left in its monitor in the middle of a download answers
// every frame with a ready reply; one that counts the characters it took cannot hold
// the same count twice, so two answers cannot both pass for the ID by chance.
constexpr int CHECK_ID_QUERIES_AFTER_UPDATE = 1;
constexpr int CHECK_ID_QUERIES_STATUS = 2;

// The role code of the hand, in the low five bits of ROLE. No controller ID from 11 to 14
// has these bits, so a monitor that answers every frame with one frame carrying its ID
// cannot pass for a controller in its role.
constexpr uint32_t CHECK_ROLE_CODE_MASK = 0x1F;
constexpr uint32_t CHECK_HAND_ROLE_CODE = 5;
constexpr uint32_t CHECK_MONITOR_ROLE_CODE = 0;

struct DovelCheckQuestion {
    int idQueries;
    bool withRole;        // the ROLE word on the line of a controller that proved its ID
    bool roleStored;      // the restoration stored storedRole just before
    uint16_t storedRole;  // shown beside a ROLE that differs; it fails nothing
    ExpectedVersion expected;
};

// What the check read, for the summary and the run's record.
struct DovelCheckAnswer {
    bool versRead;
    uint32_t vers;  // as the line shows it
    bool roleRead;
    uint32_t role;  // the ROLE word, as the line shows it
};

// Prints "Checking Dovel %d..." and the verdict on the same line: "[OK] main firmware,
// VERS 0x%04x", "[FAILED] still in its monitor", "[FAILED] no reply", "[FAILED] answers,
// but not with its ID: ...", "[FAILED] ROLE 0x%04x holds role code %u, not 5: ...",
// "[FAILED] main firmware, VERS 0x%04x, expected 0x%04x" or "not checked: the CAN link
// went down (...)". Once the link is down nothing is asked.
DovelCheck checkDovel(int controllerId, const DovelCheckQuestion& question,
                      DovelCheckAnswer* answer);

// A value as the word the controller holds: one that came in two bytes decodes
// sign-extended, and is shown (and compared) as those two bytes.
uint32_t checkWordForDisplay(int32_t value);
