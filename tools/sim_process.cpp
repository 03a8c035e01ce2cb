#include "tools/sim_process.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// How far the hand runs on after a stop request, at most, to finish its steps.
constexpr int64_t SETTLE_LIMIT_US = 10 * 1000000;
constexpr int SETTLE_MAX_STEPS = 1000000;

void requestStop(int) { simStopRequested = 1; }

}  // namespace

volatile sig_atomic_t simStopRequested = 0;

bool simTraceUnmaskedAsked() {
    const char* value = std::getenv("DOVEL_CAN_TRACE_UNMASKED");
    return value != nullptr && std::string(value) == "1";
}

void catchStopSignals(sigset_t* waitMask) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, waitMask);
    sigdelset(waitMask, SIGTERM);
    sigdelset(waitMask, SIGINT);
    struct sigaction stop {};
    stop.sa_handler = requestStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
}

void settleHand(SimHand* hand) {
    const int64_t limitUs = simHandNowUs(hand) + SETTLE_LIMIT_US;
    for (int step = 0; step < SETTLE_MAX_STEPS; ++step) {
        const int64_t nextUs = simHandNextEventUs(hand);
        if (nextUs == SIM_NO_EVENT || nextUs > limitUs) {
            return;
        }
        simHandAdvance(hand, nextUs);
    }
}
