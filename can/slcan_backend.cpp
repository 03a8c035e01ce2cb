#include "can/slcan_backend.h"

#include <cstdio>
#include <cstring>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/slcan_port.h"
#include "can/slcan_protocol.h"

namespace {

constexpr int64_t US_PER_MS = 1000;
constexpr uint32_t STANDARD_ID_LIMIT = 0x800;
constexpr size_t READ_CHUNK = 256;
// CRs written first, ending whatever half-written command the adapter holds. Each is
// answered (CR or BEL, or the answer of the command it completes): the start-up takes
// as many answers before its first command, so that a late one is never taken for the
// answer to a command, or goes on after SLCAN_ANSWER_TIMEOUT_MS without them.
constexpr const char* CLEAR_COMMANDS = "\r\r\r";
constexpr int CLEAR_ANSWERS = 3;
// Commands written and not yet answered, in order: answers come in the same order.
// An adapter that never answers a frame fills it; the oldest is then forgotten.
constexpr int MAX_UNANSWERED = 64;

struct SlcanLink {
    SlcanOptions options;
    std::string shortName;
    bool open;
    SlcanReader reader;
    char unanswered[MAX_UNANSWERED];
    int unansweredCount;
    bool filtered;
    uint32_t lowestId;
    uint32_t highestId;
    bool statusOffered;  // the adapter answers "F" with its flags, not with BEL
    bool statusAsked;
    int64_t statusAskedUs;
    uint8_t lastFlags;
    std::string goneReason;  // why the port is gone; empty while it works
};

SlcanLink state{};

void noteGone(const std::string& why) {
    if (state.goneReason.empty()) {
        state.goneReason = why;
    }
}

void resetTraffic() {
    slcanReaderReset(&state.reader);
    state.unansweredCount = 0;
    state.filtered = false;
    state.statusOffered = true;
    state.statusAsked = false;
    state.statusAskedUs = clockNowUs();
    state.lastFlags = 0;
}

void expectAnswer(char command) {
    if (state.unansweredCount == MAX_UNANSWERED) {
        std::memmove(state.unanswered, state.unanswered + 1, MAX_UNANSWERED - 1);
        --state.unansweredCount;
    }
    state.unanswered[state.unansweredCount++] = command;
}

// The command the answer just read belongs to, or 0 when none was awaited.
char takeAnswered() {
    if (state.unansweredCount == 0) {
        return 0;
    }
    const char command = state.unanswered[0];
    std::memmove(state.unanswered, state.unanswered + 1, MAX_UNANSWERED - 1);
    --state.unansweredCount;
    return command;
}

// Moves what the port has received into the reader: 0, or 1 when the port is gone.
int receive() {
    char buffer[READ_CHUNK];
    for (;;) {
        std::string why;
        const long got = slcanPortRead(buffer, sizeof buffer, &why);
        if (got < 0) {
            noteGone(why);
            return 1;
        }
        if (got == 0) {
            return 0;
        }
        slcanReaderFeed(&state.reader, buffer, static_cast<size_t>(got));
    }
}

int32_t sendText(const char* text, size_t length, const char* call) {
    std::string why;
    bool gone = false;
    if (slcanPortWrite(text, length, &why, &gone) == 0) {
        return CAN_OK;
    }
    std::fprintf(stderr, "slcan: %s(): %s\n", call, why.c_str());
    if (gone) {
        noteGone(why);
        return SLCAN_ERR_PORT_GONE;
    }
    return SLCAN_ERR_WRITE;
}

int32_t portGone(const char* call) {
    std::fprintf(stderr, "slcan: %s(): %s\n", call, state.goneReason.c_str());
    return SLCAN_ERR_PORT_GONE;
}

// Lets the answers to the clearing CRs pass; frames of a channel still open are no
// answers.
int32_t settleAfterClear() {
    const int64_t giveUpUs = clockNowUs() + SLCAN_ANSWER_TIMEOUT_MS * US_PER_MS;
    int answers = 0;
    while (answers < CLEAR_ANSWERS && clockNowUs() < giveUpUs) {
        if (receive() != 0) {
            return portGone("CAN_Init");
        }
        const SlcanAnswer answer = slcanNextAnswer(&state.reader);
        if (answer.kind == SLCAN_NOTHING) {
            slcanPortWait(giveUpUs);
        } else if (answer.kind != SLCAN_STANDARD_FRAME && answer.kind != SLCAN_OTHER_FRAME) {
            ++answers;
        }
    }
    return CAN_OK;
}

enum BelAnswer { BEL_TAKEN, BEL_FAILS };

// Writes one start-up command and waits for its answer.
int32_t startUpCommand(const char* command, const char* what, BelAnswer onBel) {
    const std::string text = std::string(command) + SLCAN_CR;
    const int32_t sent = sendText(text.data(), text.size(), "CAN_Init");
    if (sent != CAN_OK) {
        return sent;
    }
    const int64_t giveUpUs = clockNowUs() + SLCAN_ANSWER_TIMEOUT_MS * US_PER_MS;
    for (;;) {
        if (receive() != 0) {
            return portGone("CAN_Init");
        }
        const SlcanAnswer answer = slcanNextAnswer(&state.reader);
        if (answer.kind == SLCAN_OK) {
            return CAN_OK;
        }
        if (answer.kind == SLCAN_REFUSED) {
            if (onBel == BEL_TAKEN) {
                return CAN_OK;
            }
            std::fprintf(stderr, "slcan: CAN_Init(): %s: the adapter refused %s (%s)\n",
                         state.options.port.c_str(), command, what);
            return SLCAN_ERR_REFUSED;
        }
        if (answer.kind != SLCAN_NOTHING) {
            // Frames of a channel still open, or their acknowledgements: not this answer.
            continue;
        }
        if (clockNowUs() >= giveUpUs) {
            std::fprintf(stderr,
                         "slcan: CAN_Init(): %s: no answer to %s (%s) within %d ms: is it an "
                         "slcan adapter, at the right baud rate?\n",
                         state.options.port.c_str(), command, what, SLCAN_ANSWER_TIMEOUT_MS);
            return SLCAN_ERR_NO_ANSWER;
        }
        slcanPortWait(giveUpUs);
    }
}

int32_t openPort() {
    std::string why;
    const SlcanPortOpenResult opened = slcanPortOpen(state.options.port, state.options.baud, &why);
    if (opened == SLCAN_PORT_OPEN) {
        return CAN_OK;
    }
    std::fprintf(stderr, "slcan: CAN_Init(): %s\n", why.c_str());
    switch (opened) {
        case SLCAN_PORT_MISSING:
            return SLCAN_ERR_NO_PORT;
        case SLCAN_PORT_BUSY:
            return SLCAN_ERR_PORT_BUSY;
        case SLCAN_PORT_ATTACHED:
            return SLCAN_ERR_ATTACHED;
        default:
            return SLCAN_ERR_PORT;
    }
}

int32_t slcanInit(uint16_t bitTiming, int frameType) {
    // A restart after a failed read opens the port again.
    slcanPortClose();
    state.open = false;
    if (bitTiming != CAN_BITRATE_1M || frameType != CAN_INIT_TYPE_STANDARD) {
        std::fprintf(stderr,
                     "slcan: only bit timing 0x%04x (1 Mbit/s) with standard frames is "
                     "supported, not 0x%04x with frame type %d\n",
                     static_cast<unsigned>(CAN_BITRATE_1M), static_cast<unsigned>(bitTiming),
                     frameType);
        return SLCAN_ERR_UNSUPPORTED;
    }
    const int32_t opened = openPort();
    if (opened != CAN_OK) {
        return opened;
    }
    state.goneReason.clear();
    resetTraffic();
    int32_t result = sendText(CLEAR_COMMANDS, std::strlen(CLEAR_COMMANDS), "CAN_Init");
    if (result == CAN_OK) {
        result = settleAfterClear();
    }
    struct StartUpStep {
        const char* command;
        const char* what;
        BelAnswer onBel;
    };
    constexpr StartUpStep STEPS[] = {
        {"C", "close the channel", BEL_TAKEN},
        {"S8", "set 1 Mbit/s", BEL_FAILS},
        {"Z0", "time stamps off", BEL_TAKEN},
        {"O", "open the channel", BEL_FAILS},
    };
    for (const StartUpStep& step : STEPS) {
        if (result == CAN_OK) {
            result = startUpCommand(step.command, step.what, step.onBel);
        }
    }
    if (result != CAN_OK) {
        slcanPortClose();
        return result;
    }
    resetTraffic();
    state.open = true;
    return CAN_OK;
}

// Asks the status flags when SLCAN_STATUS_POLL_MS have passed since the last time and
// the last answer is in.
int32_t askStatusWhenDue() {
    if (!state.statusOffered || state.statusAsked ||
        clockNowUs() - state.statusAskedUs < SLCAN_STATUS_POLL_MS * US_PER_MS) {
        return CAN_OK;
    }
    const char command[] = {'F', SLCAN_CR};
    const int32_t sent = sendText(command, sizeof command, "CAN_Read");
    if (sent == CAN_OK) {
        expectAnswer('F');
        state.statusAsked = true;
        state.statusAskedUs = clockNowUs();
    }
    return sent;
}

bool passesFilter(const CanFrame& frame) {
    return !state.filtered || (frame.TYPE == FRAME_TYPE_STANDARD && frame.ID >= state.lowestId &&
                               frame.ID <= state.highestId);
}

enum AnswerUse { ANSWER_DONE, ANSWER_FRAME, ANSWER_FAILED };

// Books one answer: ANSWER_FRAME when it gives the caller a record (a frame that passes
// the filter, or a status record), ANSWER_FAILED with *result and a line on standard
// error for a fault of the protocol.
AnswerUse takeAnswer(const SlcanAnswer& answer, CanFrame* frame, int32_t* result) {
    switch (answer.kind) {
        case SLCAN_OK:
        case SLCAN_SENT:
            takeAnswered();
            return ANSWER_DONE;
        case SLCAN_REFUSED: {
            const char command = takeAnswered();
            if (command == 'F') {
                // Status flags not offered: asked no more.
                state.statusOffered = false;
                state.statusAsked = false;
                return ANSWER_DONE;
            }
            std::fprintf(stderr, "slcan: CAN_Read(): %s: the adapter refused %s (BEL)\n",
                         state.options.port.c_str(),
                         command == 't' ? "a frame written" : "a command");
            *result = SLCAN_ERR_REFUSED;
            return ANSWER_FAILED;
        }
        case SLCAN_STANDARD_FRAME:
        case SLCAN_OTHER_FRAME:
            if (!passesFilter(answer.frame)) {
                return ANSWER_DONE;
            }
            *frame = answer.frame;
            return ANSWER_FRAME;
        case SLCAN_STATUS: {
            takeAnswered();
            state.statusAsked = false;
            const uint8_t before = state.lastFlags;
            state.lastFlags = answer.flags;
            if (answer.flags == 0 || answer.flags == before) {
                return ANSWER_DONE;
            }
            *frame = slcanStatusFrame(answer.flags);
            return ANSWER_FRAME;
        }
        case SLCAN_TOO_LONG:
            std::fprintf(stderr, "slcan: CAN_Read(): %s: a line longer than any answer, skipped\n",
                         state.options.port.c_str());
            *result = SLCAN_ERR_PROTOCOL;
            return ANSWER_FAILED;
        case SLCAN_UNKNOWN:
            std::fprintf(stderr, "slcan: CAN_Read(): %s: an answer of no known kind: \"%s\"\n",
                         state.options.port.c_str(), slcanShowText(answer.text).c_str());
            *result = SLCAN_ERR_PROTOCOL;
            return ANSWER_FAILED;
        case SLCAN_NOTHING:
            break;
    }
    return ANSWER_DONE;
}

int32_t slcanRead(CanFrame* frame) {
    if (!state.open) {
        return SLCAN_ERR_NOT_OPEN;
    }
    if (!state.goneReason.empty() || receive() != 0) {
        return portGone("CAN_Read");
    }
    const int32_t asked = askStatusWhenDue();
    if (asked != CAN_OK) {
        return asked;
    }
    for (;;) {
        const SlcanAnswer answer = slcanNextAnswer(&state.reader);
        if (answer.kind == SLCAN_NOTHING) {
            return RX_QUEUE_EMPTY;
        }
        int32_t result = CAN_OK;
        const AnswerUse use = takeAnswer(answer, frame, &result);
        if (use == ANSWER_FRAME) {
            return CAN_OK;
        }
        if (use == ANSWER_FAILED) {
            return result;
        }
    }
}

int32_t slcanWrite(const CanFrame* frame) {
    if (!state.open) {
        return SLCAN_ERR_NOT_OPEN;
    }
    if (!state.goneReason.empty()) {
        return portGone("CAN_Write");
    }
    char command[SLCAN_MAX_FRAME_COMMAND + 1];
    const size_t length = slcanFrameCommand(*frame, command);
    if (length == 0) {
        std::fprintf(stderr,
                     "slcan: cannot send a record with ID 0x%x, TYPE 0x%02x and LEN %u as a "
                     "standard frame\n",
                     static_cast<unsigned>(frame->ID), static_cast<unsigned>(frame->TYPE),
                     static_cast<unsigned>(frame->LEN));
        return SLCAN_ERR_BAD_FRAME;
    }
    const int32_t sent = sendText(command, length, "CAN_Write");
    if (sent == CAN_OK) {
        expectAnswer('t');
    }
    return sent;
}

// Drops the frames received so far; the answers among them are booked as they come.
int32_t slcanResetClient() {
    if (!state.open) {
        return SLCAN_ERR_NOT_OPEN;
    }
    if (!state.goneReason.empty() || receive() != 0) {
        return portGone("CAN_ResetClient");
    }
    for (;;) {
        const SlcanAnswer answer = slcanNextAnswer(&state.reader);
        if (answer.kind == SLCAN_NOTHING) {
            return CAN_OK;
        }
        CanFrame dropped{};
        int32_t ignored = CAN_OK;
        takeAnswer(answer, &dropped, &ignored);
    }
}

int32_t slcanMsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    if (!state.open) {
        return SLCAN_ERR_NOT_OPEN;
    }
    if (frameType != CAN_INIT_TYPE_STANDARD) {
        std::fprintf(stderr, "slcan: only standard frames can be filtered, not type %d\n",
                     frameType);
        return SLCAN_ERR_UNSUPPORTED;
    }
    if (lowestId > highestId || lowestId >= STANDARD_ID_LIMIT) {
        std::fprintf(stderr, "slcan: no standard identifiers in the range %u to %u\n",
                     static_cast<unsigned>(lowestId), static_cast<unsigned>(highestId));
        return SLCAN_ERR_FILTER;
    }
    state.filtered = true;
    state.lowestId = lowestId;
    state.highestId = highestId;
    return CAN_OK;
}

void slcanWaitForFrame(int64_t deadlineUs) {
    if (!state.open || !state.reader.pending.empty()) {
        return;
    }
    // The status flags are asked on time even while nothing arrives.
    const int64_t statusDueUs = state.statusAskedUs + SLCAN_STATUS_POLL_MS * US_PER_MS;
    const bool statusDue = state.statusOffered && !state.statusAsked;
    slcanPortWait(statusDue && statusDueUs < deadlineUs ? statusDueUs : deadlineUs);
}

const char* slcanTraceInterface() { return state.shortName.c_str(); }

void slcanClose() {
    if (state.open && state.goneReason.empty()) {
        const char command[] = {'C', SLCAN_CR};
        std::string why;
        bool gone = false;
        slcanPortWrite(command, sizeof command, &why, &gone);
    }
    slcanPortClose();
    state.open = false;
}

const char* slcanLinkDown() {
    return state.goneReason.empty() ? nullptr : state.goneReason.c_str();
}

const char* slcanProbeLink() {
    if (state.open && state.goneReason.empty()) {
        if (const char* gone = slcanPortGone()) {
            noteGone(gone);
        }
    }
    return slcanLinkDown();
}

void slcanNameOpenBus(BusName* bus) { slcanPortNameBus(state.options.port, bus); }

const CanBackend SLCAN_BACKEND = {
    "slcan",        slcanInit,         slcanRead, slcanWrite,          slcanResetClient,
    slcanMsgFilter, slcanWaitForFrame, nullptr,   slcanTraceInterface, slcanClose,
    slcanLinkDown,  slcanProbeLink,    nullptr,   slcanNameOpenBus};

}  // namespace

void slcanNameBus(const char* options, BusName* bus) {
    SlcanOptions read;
    std::string problem;
    if (slcanParseOptions(options, &read, &problem) == 0) {
        slcanPortNameBus(read.port, bus);
    }
}

int slcanCheckOptions(const char* options, std::string* problem) {
    SlcanOptions read;
    return slcanParseOptions(options, &read, problem);
}

const CanBackend* slcanOpenBackend(const char* options) {
    SlcanOptions read;
    std::string problem;
    if (slcanParseOptions(options, &read, &problem) != 0) {
        std::fprintf(stderr, "slcan: '%s': %s\n", options, problem.c_str());
        return nullptr;
    }
    slcanClose();
    state.options = read;
    state.shortName = slcanPortShortName(read.port);
    state.goneReason.clear();
    return &SLCAN_BACKEND;
}
