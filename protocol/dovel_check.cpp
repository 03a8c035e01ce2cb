#include "protocol/dovel_check.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "protocol/property.h"
#include "protocol/role.h"

namespace {

// The byte of an ID reply that holds the controller's ID, the one field of it that every
// controller fills alike.
constexpr int ID_REPLY_BYTE = 2;

enum Answer { ANSWERED, NOT_ANSWERED, LINK_DOWN };

// One get request and the standard frame that follows it, within the reply bound; the
// bound's own line is left out, so that the verdict completes the check's line.
Answer ask(int controllerId, int property, CanFrame* reply) {
    discardQueuedFrames();
    const CanFrame request = makeGetRequest(controllerId, property);
    CAN_Write(&request);
    const int64_t dueUs = clockNowUs() + static_cast<int64_t>(REPLY_TIMEOUT_MS) * 1000;
    switch (awaitStandardReply(reply, dueUs, REPLY_TIMEOUT_MS, QUIET_TIMEOUT, controllerId)) {
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

// NOT_ANSWERED when the first query gets no frame; a frame that does not hold the ID, or
// a later query that gets none, makes *provedId false.
Answer askId(int controllerId, int queries, bool* provedId) {
    *provedId = true;
    for (int i = 0; i < queries; ++i) {
        CanFrame reply{};
        const Answer answer = ask(controllerId, ID, &reply);
        if (answer == LINK_DOWN || (answer == NOT_ANSWERED && i == 0)) {
            return answer;
        }
        *provedId = *provedId && answer == ANSWERED && holdsId(reply, controllerId);
    }
    return ANSWERED;
}

DovelCheck fromAnswer(Answer answer) {
    return answer == LINK_DOWN ? CHECK_LINK_DOWN : CHECK_NO_REPLY;
}

// The verdict of a controller that proved its ID, from its ROLE, STATUS and VERS; what it
// read in *role and *answer.
DovelCheck checkProvedDovel(int controllerId, const ExpectedVersion& expected, int32_t* role,
                            DovelCheckAnswer* answer) {
    Answer asked = askValue(controllerId, ROLE, role);
    if (asked != ANSWERED) {
        return fromAnswer(asked);
    }
    const uint32_t roleCode = static_cast<uint32_t>(*role) & CHECK_ROLE_CODE_MASK;
    if (roleCode == CHECK_MONITOR_ROLE_CODE) {
        return CHECK_IN_MONITOR;
    }
    if (roleCode != CHECK_HAND_ROLE_CODE) {
        return CHECK_NOT_HAND_ROLE;
    }
    int32_t status = 0;
    asked = askValue(controllerId, STATUS, &status);
    if (asked == ANSWERED && status == STATUS_MONITOR) {
        return CHECK_IN_MONITOR;
    }
    int32_t version = 0;
    if (asked == ANSWERED) {
        asked = askValue(controllerId, VERS, &version);
    }
    if (asked != ANSWERED) {
        return fromAnswer(asked);
    }
    answer->versRead = true;
    answer->vers = checkWordForDisplay(version);
    return expected.given && answer->vers != expected.vers ? CHECK_WRONG_VERSION
                                                           : CHECK_MAIN_FIRMWARE;
}

// The ROLE word after the verdict: always with withRole, and after an update when it is
// not the word the restoration stored (a controller may keep settings of its own there).
void printRole(const DovelCheckQuestion& question, DovelCheck check, int32_t role) {
    const unsigned word = roleWordForDisplay(role);
    const bool differs = question.roleStored && word != question.storedRole;
    if (check == CHECK_NOT_HAND_ROLE || (!question.withRole && !differs)) {
        return;
    }
    std::printf(", ROLE 0x%04x", word);
    if (differs) {
        std::printf(", not the 0x%04x stored", static_cast<unsigned>(question.storedRole));
    }
}

}  // namespace

uint32_t checkWordForDisplay(int32_t value) {
    return value < 0 && value >= INT16_MIN ? static_cast<uint16_t>(value)
                                           : static_cast<uint32_t>(value);
}

DovelCheck checkDovel(int controllerId, const DovelCheckQuestion& question,
                      DovelCheckAnswer* answer) {
    *answer = DovelCheckAnswer{};
    std::printf("Checking Dovel %d...", controllerId);
    DovelCheck check = CHECK_LINK_DOWN;
    int32_t role = 0;
    bool roleRead = false;
    // Once the link has gone, no answer can come: nothing is asked.
    if (canLinkDown() == nullptr) {
        bool provedId = false;
        const Answer answered = askId(controllerId, question.idQueries, &provedId);
        if (answered != ANSWERED) {
            check = fromAnswer(answered);
        } else if (!provedId) {
            check = CHECK_NOT_ITS_ID;
        } else {
            check = checkProvedDovel(controllerId, question.expected, &role, answer);
            roleRead = check != CHECK_NO_REPLY && check != CHECK_LINK_DOWN;
        }
    }
    switch (check) {
        case CHECK_MAIN_FIRMWARE:
            std::printf("[OK] main firmware, VERS 0x%04x", answer->vers);
            break;
        case CHECK_IN_MONITOR:
            std::printf("[FAILED] still in its monitor");
            break;
        case CHECK_WRONG_VERSION:
            std::printf("[FAILED] main firmware, VERS 0x%04x, expected 0x%04x", answer->vers,
                        question.expected.vers);
            break;
        case CHECK_NOT_HAND_ROLE:
            std::printf(
                "[FAILED] ROLE 0x%04x holds role code %u, not 5: it may still be in its "
                "monitor, taking an image from an interrupted update\n",
                roleWordForDisplay(role), static_cast<unsigned>(role) & CHECK_ROLE_CODE_MASK);
            return check;
        case CHECK_NOT_ITS_ID:
            std::printf(
                "[FAILED] answers, but not with its ID: it may still be in its monitor, taking "
                "an image from an interrupted update\n");
            return check;
        case CHECK_NO_REPLY:
            std::printf("[FAILED] no reply\n");
            return check;
        case CHECK_LINK_DOWN: {
            *answer = DovelCheckAnswer{};
            const char* down = canLinkDown();
            std::printf("not checked: the CAN link went down (%s)\n",
                        down != nullptr ? down : "gone");
            return check;
        }
    }
    if (roleRead) {
        answer->roleRead = true;
        answer->role = roleWordForDisplay(role);
        printRole(question, check, role);
    }
    std::printf("\n");
    return check;
}
