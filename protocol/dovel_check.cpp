#include "protocol/dovel_check.h"

#include <cstdio>

#include "protocol/property.h"
#include "protocol/role.h"

namespace {

// A value that came in two bytes decodes sign-extended; shown as the word it is.
unsigned wordForDisplay(int32_t value) {
    return value < 0 && value >= INT16_MIN ? static_cast<uint16_t>(value)
                                           : static_cast<uint32_t>(value);
}

void printRole(int controllerId) {
    int32_t role = 0;
    if (getProperty(controllerId, ROLE, &role) == 0) {
        std::printf(", ROLE 0x%04x", roleWordForDisplay(role));
    } else {
        std::printf(", ROLE not read");
    }
}

}  // namespace

DovelCheck checkDovel(int controllerId, bool withRole) {
    std::printf("Checking Dovel %d...", controllerId);
    int32_t status = 0;
    int32_t version = 0;
    DovelCheck check = CHECK_NO_REPLY;
    if (getProperty(controllerId, STATUS, &status) == 0) {
        if (status == STATUS_MONITOR) {
            check = CHECK_IN_MONITOR;
        } else if (getProperty(controllerId, VERS, &version) == 0) {
            check = CHECK_MAIN_FIRMWARE;
        }
    }
    switch (check) {
        case CHECK_MAIN_FIRMWARE:
            std::printf("[OK] main firmware, VERS 0x%04x", wordForDisplay(version));
            break;
        case CHECK_IN_MONITOR:
            std::printf("[FAILED] still in its monitor");
            break;
        case CHECK_NO_REPLY:
            std::printf("[FAILED] no reply\n");
            return check;
    }
    if (withRole) {
        printRole(controllerId);
    }
    std::printf("\n");
    return check;
}
