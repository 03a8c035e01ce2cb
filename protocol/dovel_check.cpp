#include "protocol/dovel_check.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "protocol/property.h"
#include "protocol/role.h"

namespace {

// The byte of an ID reply that holds the controller's ID, the one field of it that every
// controller fills alike.
constexpr int ID_REPLY_BYTE = 2;
constexpr long HIGHEST_VERSION_WORD = 0xFFFF;

enum Answer { ANSWERED, NOT_ANSWERED, LINK_DOWN };

// One get request and the standard frame that follows it, within the reply bound; the
// bound's own line is left out, so that the verdict completes the check's line.
Answer ask(int controllerId, int property, CanFrame* reply) {
    discardQueuedFrames();
    const CanFrame request = makeGetRequest(controllerId, property);
    CAN_Write(&request);
    const int64_t dueUs = clockNowUs() + static_cast<int64_t>(REPLY_TIMEOUT_MS) * 1000;
    switch (awaitStandardReply(reply, dueUs, REPLY_TIMEOUT_MS, QUIET_TIMEOUT)) {
        case REPLY_STANDARD:
            return ANSWERED;
        case REPLY_LINK_DOWN:
            return LINK_DOWN;
        default:
            return NOT_ANSWERED;
    }
}

// A get answered with a value; LINK_DOWN and NOT_ANSWERED as ask gives them, and a frame
// that carries no value counts as no answer.
Answer askValue(int controllerId, int property, int32_t* value) {
    CanFrame reply{};
    const Answer answer = ask(controllerId, property, &reply);
    if (answer == ANSWERED && decodeReply(&reply, value) != 0) {
        return NOT_ANSWERED;
    }
    return answer;
}

bool holdsId(const CanFrame& reply, int controllerId) {
    return (reply.DATA[0] & REPLY_VALID_FLAG) != 0 && reply.LEN > ID_REPLY_BYTE &&
           reply.DATA[ID_REPLY_BYTE] == controllerId;
}

// NOT_ANSWERED when the first query gets no frame; a frame that does not hold the ID makes
// *provedId false.
Answer askId(int controllerId, bool* provedId) {
    *provedId = true;
    for (int i = 0; i < CHECK_ID_QUERIES; ++i) {
        CanFrame reply{};
        const Answer answer = ask(controllerId, ID, &reply);
        if (answer == LINK_DOWN || (answer == NOT_ANSWERED && i == 0)) {
            return answer;
        }
        *provedId = *provedId && answer == ANSWERED && holdsId(reply, controllerId);
    }
    return ANSWERED;
}

// A value that came in two bytes decodes sign-extended; shown as the word it is.
unsigned wordForDisplay(int32_t value) {
    return value < 0 && value >= INT16_MIN ? static_cast<uint16_t>(value)
                                           : static_cast<uint32_t>(value);
}

// The version DOVEL_EXPECT_VERS names: 0 with *expected set, 1 when it is unset or empty,
// -1 when it is no 16-bit word.
int expectedVersion(unsigned* expected) {
    const char* text = std::getenv(EXPECT_VERS_VARIABLE);
    if (text == nullptr || *text == '\0') {
        return 1;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0 || *end != '\0' || value < 0 || value > HIGHEST_VERSION_WORD) {
        return -1;
    }
    *expected = static_cast<unsigned>(value);
    return 0;
}

void printRole(int controllerId, DovelReadings* readings) {
    int32_t role = 0;
    if (askValue(controllerId, ROLE, &role) == ANSWERED) {
        readings->roleRead = true;
        readings->role = roleWordForDisplay(role);
        std::printf(", ROLE 0x%04x", roleWordForDisplay(role));
    } else {
        std::printf(", ROLE not read");
    }
}

// The verdict of a controller that proved its ID; the version it reports in *version.
DovelCheck checkProvedDovel(int controllerId, int32_t* version, DovelReadings* readings) {
    int32_t status = 0;
    Answer answer = askValue(controllerId, STATUS, &status);
    if (answer == ANSWERED && status == STATUS_MONITOR) {
        return CHECK_IN_MONITOR;
    }
    if (answer == ANSWERED) {
        answer = askValue(controllerId, VERS, version);
    }
    if (answer != ANSWERED) {
        return answer == LINK_DOWN ? CHECK_LINK_DOWN : CHECK_NO_REPLY;
    }
    readings->versRead = true;
    readings->vers = wordForDisplay(*version);
    unsigned expected = 0;
    const int promised = expectedVersion(&expected);
    if (promised < 0) {
        return CHECK_WRONG_VERSION;
    }
    return promised == 0 && static_cast<uint16_t>(*version) != expected ? CHECK_WRONG_VERSION
                                                                        : CHECK_MAIN_FIRMWARE;
}

void printWrongVersion(int32_t version) {
    unsigned expected = 0;
    if (expectedVersion(&expected) < 0) {
        std::printf("[FAILED] %s is \"%s\"; it takes a version word such as 0x0123",
                    EXPECT_VERS_VARIABLE, std::getenv(EXPECT_VERS_VARIABLE));
    } else {
        std::printf("[FAILED] main firmware, VERS 0x%04x, expected 0x%04x", wordForDisplay(version),
                    expected);
    }
}

}  // namespace

DovelCheck checkDovel(int controllerId, bool withRole) {
    DovelReadings readings{};
    return checkDovelReading(controllerId, withRole, &readings);
}

DovelCheck checkDovelReading(int controllerId, bool withRole, DovelReadings* readings) {
    *readings = DovelReadings{};
    std::printf("Checking Dovel %d...", controllerId);
    bool provedId = false;
    const Answer answer = askId(controllerId, &provedId);
    int32_t version = 0;
    DovelCheck check = CHECK_NOT_ITS_ID;
    if (answer == LINK_DOWN) {
        check = CHECK_LINK_DOWN;
    } else if (answer == NOT_ANSWERED) {
        check = CHECK_NO_REPLY;
    } else if (provedId) {
        check = checkProvedDovel(controllerId, &version, readings);
    }
    switch (check) {
        case CHECK_MAIN_FIRMWARE:
            std::printf("[OK] main firmware, VERS 0x%04x", wordForDisplay(version));
            break;
        case CHECK_IN_MONITOR:
            std::printf("[FAILED] still in its monitor");
            break;
        case CHECK_WRONG_VERSION:
            printWrongVersion(version);
            break;
        case CHECK_NOT_ITS_ID:
            std::printf(
                "[FAILED] answers, but not with its ID: it may still be in its monitor, taking "
                "an image from an interrupted update\n");
            return check;
        case CHECK_NO_REPLY:
            std::printf("[FAILED] no reply\n");
            return check;
        case CHECK_LINK_DOWN: {
            const char* down = canLinkDown();
            std::printf("[FAILED] the CAN link is down (%s)\n", down != nullptr ? down : "gone");
            return check;
        }
    }
    if (withRole) {
        printRole(controllerId, readings);
    }
    std::printf("\n");
    return check;
}
