#include "protocol/role.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "protocol/access_code.h"
#include "protocol/property.h"

namespace {

enum SearchOutcome { DOVEL_FOUND, SEARCH_MET_STATUS, SEARCH_GAVE_UP, SEARCH_LINK_DOWN };

// The link start-up without its messages; results are of no use here, the next
// query tells whether the link works.
void restartAdapterSilently() {
    CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
    CAN_ResetClient();
    CAN_MsgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID, CAN_INIT_TYPE_STANDARD);
}

// Asks for the controller's ID until a standard frame reports a plausible one. Any
// such frame ends the search, whoever sent it.
SearchOutcome searchDovel(int controllerId) {
    const int64_t giveUpAtUs = clockNowUs() + static_cast<int64_t>(SEARCH_TIMEOUT_MS) * 1000;
    // A link already found down carries nothing: no query, and no wait for its answer.
    if (canLinkDown() != nullptr) {
        return SEARCH_LINK_DOWN;
    }
    for (;;) {
        const CanFrame query = makeGetRequest(controllerId, ID);
        CAN_Write(&query);
        sleepMs(SEARCH_QUERY_INTERVAL_MS);
        CanFrame reply{};
        if (CAN_Read(&reply) != CAN_OK) {
            // No controller answers through a link that is gone: waiting out the search
            // would only hide the cause.
            if (canLinkDown() != nullptr) {
                return SEARCH_LINK_DOWN;
            }
            restartAdapterSilently();
        } else if (reply.TYPE == FRAME_TYPE_STATUS) {
            printStatusMessage(&reply);
            return SEARCH_MET_STATUS;
        } else if (reply.TYPE == FRAME_TYPE_STANDARD) {
            const int reportedId = reply.DATA[2];
            if (reportedId < FIRST_IMPOSSIBLE_DOVEL_ID) {
                return DOVEL_FOUND;
            }
            std::printf("Crazy dovel ID found: %d\n", reportedId);
        }
        if (clockNowUs() >= giveUpAtUs) {
            return canProbeLink() != nullptr ? SEARCH_LINK_DOWN : SEARCH_GAVE_UP;
        }
    }
}

// The verification compares the words a set request carries: a ROLE with bit 15
// set that the controller reports in two bytes decodes as a negative value, yet is
// the word that was written.
bool sameRoleWord(int32_t readBack, int32_t written) {
    return static_cast<uint16_t>(readBack) == static_cast<uint16_t>(written);
}

// "Getting the ROLE..." with its value; false when no value was read.
bool readRoleStep(int controllerId, int32_t* role) {
    std::printf("Getting the ROLE...");
    if (getProperty(controllerId, ROLE, role) != 0) {
        std::printf("[FAILED]\n");
        return false;
    }
    std::printf("[0x%04x]\n", roleWordForDisplay(*role));
    return true;
}

bool unlockStep(int controllerId) {
    std::printf("Unlocking the dovel...");
    if (unlockDovel(controllerId) != 0) {
        std::printf("[FAILED]\n");
        return false;
    }
    std::printf("[OK]\n");
    return true;
}

// Writes the ROLE word and reads it back; false when the read-back is missing or
// differs, with the failure line printed.
bool writeAndVerifyRole(int controllerId, int32_t role) {
    std::printf("Setting the ROLE to 0x%04x...", roleWordForDisplay(role));
    setProperty(controllerId, ROLE, role);
    std::printf("[OK]\n");

    std::printf("Verifying the ROLE...");
    int32_t readBack = 0;
    const bool read = getProperty(controllerId, ROLE, &readBack) == 0;
    if (read) {
        std::printf("[0x%04x]\n", roleWordForDisplay(readBack));
    } else {
        std::printf("[FAILED]\n");
    }
    if (!read || !sameRoleWord(readBack, role)) {
        std::printf("ROLE verification FAILED!\n");
        return false;
    }
    return true;
}

void storeStep(int controllerId) {
    std::printf("Saving the ROLE...");
    setProperty(controllerId, STORE, STORE_ROLE);
    sleepMs(STORE_WAIT_MS);
    std::printf("[OK]\n");
}

void resetStep(int controllerId) {
    std::printf("Resetting the dovel...");
    setProperty(controllerId, STATUS, STATUS_RESET);
    std::printf("[OK]\n");
}

}  // namespace

unsigned roleWordForDisplay(int32_t role) { return static_cast<uint16_t>(role); }

PrepareOutcome prepareDovelTelling(int controllerId, int32_t* roleRead) {
    std::printf("\nLooking for Dovel ID %d...", controllerId);
    switch (searchDovel(controllerId)) {
        case SEARCH_MET_STATUS:
            return PREPARE_NOT_FOUND;
        case SEARCH_GAVE_UP:
            std::printf("[FAILED]\n");
            return PREPARE_NOT_FOUND;
        case SEARCH_LINK_DOWN: {
            const char* down = canLinkDown();
            std::printf("[FAILED] the CAN link is down (%s)\n", down != nullptr ? down : "gone");
            return PREPARE_NOT_FOUND;
        }
        case DOVEL_FOUND:
            break;
    }
    std::printf("[OK]\n");

    int32_t role = 0;
    if (!readRoleStep(controllerId, &role) || !unlockStep(controllerId)) {
        return PREPARE_FAILED;
    }
    if (!writeAndVerifyRole(controllerId, role & ROLE_CODE_CLEAR_MASK)) {
        // Not stored: the reset makes the controller drop the unverified word and
        // boot from the word it has stored.
        resetStep(controllerId);
        return PREPARE_FAILED;
    }
    storeStep(controllerId);
    resetStep(controllerId);
    *roleRead = role;
    return PREPARED;
}

int32_t prepareDovel(int controllerId) {
    int32_t role = 0;
    return prepareDovelTelling(controllerId, &role) == PREPARED ? role : DOVEL_NOT_PREPARED;
}

int unlockDovel(int controllerId) {
    int32_t status = 0;
    if (getProperty(controllerId, STATUS, &status) != 0) {
        return 1;
    }
    const int unlockProperty = status != 0 ? UNLOCK_MAIN : UNLOCK_MONITOR;
    for (int i = 0; i < ACCESS_CODE_WORDS; ++i) {
        setProperty(controllerId, unlockProperty, accessCodeWord(i));
    }
    return 0;
}

int restoreRoleStoring(int controllerId, uint16_t* storedWord) {
    int32_t role = 0;
    if (!readRoleStep(controllerId, &role) || !unlockStep(controllerId) ||
        !writeAndVerifyRole(controllerId, role | ROLE_CODE_HAND)) {
        return 1;
    }
    storeStep(controllerId);
    resetStep(controllerId);
    *storedWord = static_cast<uint16_t>(role | ROLE_CODE_HAND);
    return 0;
}

int restoreRole(int controllerId) {
    uint16_t stored = 0;
    return restoreRoleStoring(controllerId, &stored);
}
