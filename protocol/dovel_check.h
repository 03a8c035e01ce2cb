// Asking a controller what it runs, with get requests only: nothing is written.
#pragma once

#include <cstdint>

enum DovelCheck {
    CHECK_MAIN_FIRMWARE,  // STATUS non-zero and VERS read
    CHECK_IN_MONITOR,     // STATUS 0
    CHECK_NO_REPLY,
};

// Prints "Checking Dovel %d..." and the verdict: "[OK] main firmware, VERS 0x%04x",
// "[FAILED] still in its monitor" or "[FAILED] no reply"; with withRole, the ROLE word
// is added to the line of a controller that answered.
DovelCheck checkDovel(int controllerId, bool withRole);
