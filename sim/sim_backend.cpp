// The adapter operations over one in-process simulated hand.
#include "sim/sim_backend.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "can/can_api.h"
#include "can/can_trace.h"
#include "can/clock.h"
#include "sim/sim_options.h"
#include "sim/state_path.h"

namespace {

// The adapter's state lives in the process, as a real adapter library's does.
struct SimBackendState {
    SimHand* hand;
    bool fast;
    int64_t realStartUs;  // the real clock at hand time 0, when not fast
    bool linkFoundDown;   // the last write or start-up call met the link-down fault
    int64_t wallStartUs;  // the wall clock at hand time 0, for the traces' stamps
};

SimBackendState current{};

int64_t handNowUs() {
    return current.fast ? simHandNowUs(current.hand) : realClockNowUs() - current.realStartUs;
}

// The hand's time line as the utility's clock (can/clock.h).
int64_t clockHandDeadline(int64_t clockUs) {
    return current.fast ? clockUs : clockUs - current.realStartUs;
}

int64_t virtualNowUs() { return simHandNowUs(current.hand); }

void virtualSleepUs(int64_t us) {
    simHandAdvance(current.hand, simHandNowUs(current.hand) + (us > 0 ? us : 0));
}

const ClockSource VIRTUAL_CLOCK = {virtualNowUs, virtualSleepUs};

void tearDown() {
    if (current.fast) {
        clockUse(nullptr);
    }
    simHandDestroy(current.hand);
    current = SimBackendState{};
}

// The report belongs to the end of the link, when the run lets go of the bus or the
// process ends normally. It shows the state the controllers come to rest in: a reset
// sent last has run its course. A hand with a state file writes it here.
void finishHand() {
    if (current.hand) {
        simHandSettle(current.hand);
        simHandReport(current.hand, stderr);
        tearDown();
    }
}

struct ReportAtExit {
    ~ReportAtExit() { finishHand(); }
};

ReportAtExit reportAtExit;

// As a kernel interface tells it: only an operation that tried the link finds it down.
int32_t noteLinkDown(int32_t result) {
    current.linkFoundDown = result == SIM_LINK_DOWN;
    return result;
}

int32_t simInit(uint16_t bitTiming, int) {
    if (!current.hand) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    if (bitTiming != CAN_BITRATE_1M) {
        return SIM_ILLEGAL_PARAMETER;  // the simulated bus runs at 1 Mbit/s only
    }
    const int64_t now = handNowUs();
    const int32_t result = simHandHostClear(current.hand, now);
    return noteLinkDown(result != CAN_OK
                            ? result
                            : simHandHostFilter(current.hand, now, 0, SIM_HIGHEST_STANDARD_ID));
}

int32_t simRead(CanFrame* frame) {
    if (!current.hand) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    const int64_t now = handNowUs();
    const int32_t result = simHandHostRead(current.hand, now, frame);
    if ((result == RX_QUEUE_EMPTY || result == SIM_ADAPTER_GONE) && current.fast) {
        // A small step only: a reader that polls on a schedule must see a frame at its
        // own next read, not at the moment the frame arrives; and a reader that retries a
        // missing adapter still sees time pass.
        simHandAdvance(current.hand, now + SIM_EMPTY_READ_STEP_US);
    }
    return result;
}

int32_t simWrite(const CanFrame* frame) {
    return current.hand ? noteLinkDown(simHandHostWrite(current.hand, handNowUs(), frame))
                        : CAN_ERR_NOT_INITIALIZED;
}

const char* simLinkDown() { return current.linkFoundDown ? "sim: the link is down" : nullptr; }

const char* simProbeLink() {
    current.linkFoundDown =
        current.linkFoundDown || (current.hand && simHandLinkDown(current.hand));
    return simLinkDown();
}

int32_t simResetClient() {
    if (!current.hand) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    return simHandHostClear(current.hand, handNowUs());
}

int32_t simMsgFilter(uint32_t lowestId, uint32_t highestId, int) {
    if (!current.hand) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    return simHandHostFilter(current.hand, handNowUs(), lowestId, highestId);
}

void simWaitForFrame(int64_t deadlineUs) {
    if (!current.hand) {
        return;
    }
    const int64_t deadline = clockHandDeadline(deadlineUs);
    const int64_t due = simHandRunToDelivery(current.hand, deadline);
    if (!current.fast) {
        // The waiting host does nothing with the hand until this returns, so the hand
        // may run ahead to the moment its next frame is due; the thread sleeps until the
        // real clock gets there, and the frame is queued when the host reads again.
        realSleepUntilUs(current.realStartUs + due);
    }
}

// The link's trace is stamped with the hand's time on the wall clock, so that the two
// traces of a run agree and either reads like a candump log of a real bus.
int64_t simTraceNowUs() { return current.wallStartUs + (current.hand ? handNowUs() : 0); }

const CanBackend SIM_BACKEND = {"sim",          simInit,      simRead,         simWrite,
                                simResetClient, simMsgFilter, simWaitForFrame, simTraceNowUs,
                                nullptr,        finishHand,   simLinkDown,     simProbeLink};

}  // namespace

const CanBackend* simOpenBackend(const char* options) {
    tearDown();
    std::string error;
    SimHand* hand = simHandCreate(options, &error);
    if (!hand) {
        std::fprintf(stderr, "sim: %s\n", error.c_str());
        return nullptr;
    }
    current.hand = hand;
    current.fast = simHandUsesFastClock(hand);
    current.realStartUs = realClockNowUs();
    current.wallStartUs = canTraceWallClockUs();
    if (current.fast) {
        clockUse(&VIRTUAL_CLOCK);
    }
    return &SIM_BACKEND;
}

void simNameBus(const char* options, BusName* bus) {
    SimOptions parsed = simDefaultOptions();
    std::string error;
    if (simParseOptions(options, &parsed, &error) == 0 && !parsed.statePath.empty()) {
        bus->shown = "the simulated hand " + parsed.statePath;
        // By the file's one real name, so that a link to it or to its folder, or a "..",
        // meets the same lock; and not on the file itself: every write replaces the state
        // file with a new one by a rename, and a lock on the old one would go with it.
        // Where locks are files, the lock file lies beside the state file.
        const std::string canonical = simRealPath(parsed.statePath);
        bus->lockName = "sim-" + canonical;
        bus->lockFile = canonical + ".lock";
    }
}

SimHand* simCurrentHand() { return current.hand; }

int simStartTrace(const char* path, bool unmasked) {
    if (!current.hand) {
        return ENODEV;
    }
    errno = 0;
    if (simHandTraceTo(current.hand, path,
                       SimTraceSettings{!current.fast, current.wallStartUs, unmasked}) != 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

int simCheckOptions(const char* options, std::string* problem) {
    SimOptions parsed = simDefaultOptions();
    if (simParseOptions(options, &parsed, problem) != 0) {
        *problem = "the simulated hand: " + *problem + " (dovelflash --help lists its options)";
        return 1;
    }
    return 0;
}

void simCloseBackend() { tearDown(); }
