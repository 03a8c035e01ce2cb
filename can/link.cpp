#include "can/link.h"

#include <cstdio>
#include <string>

#include "can/bus_lock.h"
#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"

namespace {

// Why the last start-up failed, in its result line's words.
std::string startProblem;

// The adapter's codes are 32-bit; they are shown as signed decimal numbers.
int32_t reportStep(const char* operation, int32_t code) {
    if (code == CAN_OK) {
        std::printf("SUCCESS - %s()\n", operation);
    } else {
        std::printf("ERROR - %s(): %ld\n", operation, static_cast<long>(code));
        startProblem = std::string(operation) + "(): " + std::to_string(code);
    }
    return code;
}

// Who holds the bus, in the words the system gives: any program may have taken the
// bus's lock name first, so the holder is named as a process, not as another run.
void printInUse(const std::string& shown, const BusHolder& holder) {
    std::printf("[FAILED] %s is in use", shown.c_str());
    if (holder.pid > 0) {
        std::printf(" by process %ld", holder.pid);
    } else if (!holder.user.empty()) {
        std::printf(" by a process");
    }
    if (!holder.user.empty()) {
        std::printf(" of user %s", holder.user.c_str());
    }
    std::printf("\n");
}

// The bus is this run's alone before anything is sent on it; the line when it is not.
// With a backend chosen already, the backend names the bus it would use now: an
// interface that was missing at the first attempt is locked once it is there.
bool takeBus() {
    BusName bus;
    canNameBus(&bus);
    const CanBackend* backend = canCurrentBackend();
    if (backend && backend->nameBus) {
        backend->nameBus(&bus);
    }
    BusHolder holder;
    const int taken = busLockTake(bus, &holder);
    if (taken == BUS_IN_USE) {
        printInUse(bus.shown, holder);
        startProblem = bus.shown + " is in use";
    } else if (taken == BUS_LOCK_FAILED) {
        std::printf("[FAILED] %s cannot be locked for this run\n", bus.shown.c_str());
        startProblem = bus.shown + " cannot be locked for this run";
    }
    return taken == BUS_TAKEN;
}

}  // namespace

int32_t canStart() {
    startProblem.clear();
    if (!takeBus()) {
        return CAN_ERR_BUS_NOT_TAKEN;
    }
    int32_t code = reportStep("CAN_Init", CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    if (code != CAN_OK) {
        return code;
    }
    code = reportStep("CAN_ResetClient", CAN_ResetClient());
    if (code != CAN_OK) {
        return code;
    }
    return reportStep("CAN_MsgFilter", CAN_MsgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID,
                                                     CAN_INIT_TYPE_STANDARD));
}

void canFinish() {
    // The link ends first: the simulated hand writes its lasting state as it closes,
    // and that must not land after the next run has read it.
    canCloseBackend();
    busLockRelease();
}

ReplyOutcome awaitReply(CanFrame* frame, int askedController) {
    const int64_t deadlineUs = clockNowUs() + static_cast<int64_t>(REPLY_TIMEOUT_MS) * 1000;
    for (;;) {
        const int32_t result = CAN_Read(frame);
        if (result == RX_QUEUE_EMPTY) {
            if (const char* down = canLinkDown()) {
                std::printf("ERROR - the CAN link is down (%s)\n", down);
                return REPLY_LINK_DOWN;
            }
            if (clockNowUs() >= deadlineUs) {
                if (const char* down = canProbeLink()) {
                    std::printf("ERROR - the CAN link is down (%s)\n", down);
                    return REPLY_LINK_DOWN;
                }
                std::printf("ERROR - no reply within %d ms\n", REPLY_TIMEOUT_MS);
                return REPLY_TIMEOUT;
            }
            CAN_WaitForFrame(deadlineUs);
            continue;
        }
        if (result != CAN_OK) {
            // A read that fails because the link is gone is said in the link's words.
            if (const char* down = canLinkDown()) {
                std::printf("ERROR - the CAN link is down (%s)\n", down);
                return REPLY_LINK_DOWN;
            }
            std::printf("ERROR - CAN_Read(): %ld\n", static_cast<long>(result));
            return REPLY_READ_ERROR;
        }
        if (frame->TYPE == FRAME_TYPE_STATUS) {
            printStatusMessage(frame);
            return REPLY_STATUS;
        }
        if (frame->TYPE != FRAME_TYPE_STANDARD) {
            return REPLY_OTHER_TYPE;
        }
        if (!replyOfAnotherController(frame->ID, askedController)) {
            return REPLY_STANDARD;
        }
    }
}

void printStatusMessage(const CanFrame* frame) {
    std::printf("Got status message, DATA[3] = 0x%.4x\n", static_cast<unsigned>(frame->DATA[3]));
}

int readReply(CanFrame* frame) { return awaitReply(frame) == REPLY_STANDARD ? 0 : 1; }

ReplyOutcome awaitStandardReply(CanFrame* frame, int64_t deadlineUs, int timeoutMs,
                                TimeoutReport report, int askedController) {
    // What was printed last in this wait, so a repeat of it is not printed again.
    int32_t lastReadError = CAN_OK;
    int lastStatus = -1;
    for (;;) {
        const int32_t result = CAN_Read(frame);
        if (result == CAN_OK && frame->TYPE == FRAME_TYPE_STANDARD &&
            !replyOfAnotherController(frame->ID, askedController)) {
            return REPLY_STANDARD;
        }
        if (result == CAN_OK && frame->TYPE == FRAME_TYPE_STATUS && frame->DATA[3] != lastStatus) {
            printStatusMessage(frame);
            lastStatus = frame->DATA[3];
        }
        const bool readFailed = result != CAN_OK && result != RX_QUEUE_EMPTY;
        // A read that fails because the link is gone is said in the caller's words.
        if (readFailed && canLinkDown() != nullptr) {
            return REPLY_LINK_DOWN;
        }
        if (readFailed && result != lastReadError && report == PRINT_TIMEOUT) {
            std::printf("ERROR - CAN_Read(): %ld\n", static_cast<long>(result));
            lastReadError = result;
        }
        if (canLinkDown() != nullptr) {
            return REPLY_LINK_DOWN;
        }
        if (clockNowUs() >= deadlineUs) {
            // Nothing came: the link itself may have gone while nothing was sent.
            if (canProbeLink() != nullptr) {
                return REPLY_LINK_DOWN;
            }
            if (report == PRINT_TIMEOUT) {
                std::printf("ERROR - no reply within %d ms\n", timeoutMs);
            }
            return REPLY_TIMEOUT;
        }
        if (result == RX_QUEUE_EMPTY) {
            CAN_WaitForFrame(deadlineUs);
        } else if (readFailed) {
            sleepMs(READ_ERROR_PAUSE_MS);
        }
    }
}

int discardQueuedFrames() {
    CanFrame stale{};
    int dropped = 0;
    while (dropped < MAX_FRAMES_DISCARDED && CAN_Read(&stale) == CAN_OK) {
        if (stale.TYPE == FRAME_TYPE_STATUS) {
            printStatusMessage(&stale);
        }
        ++dropped;
    }
    return dropped;
}

const char* canStartProblem() { return startProblem.empty() ? nullptr : startProblem.c_str(); }
