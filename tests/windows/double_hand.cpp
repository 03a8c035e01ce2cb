#include "tests/windows/double_hand.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/can_api.h"
#include "can/can_frame.h"
#include "can/can_trace.h"
#include "sim/sim_hand.h"

namespace {

// The simulated hand's trace writes the access code as it is only when asked, as the
// utility's own traces do.
bool traceUnmaskedAsked() {
    const char* value = std::getenv("DOVEL_CAN_TRACE_UNMASKED");
    return value != nullptr && std::string(value) == "1";
}

constexpr const char* TRACE_VARIABLE = "DOVEL_SIM_TRACE";

int64_t realNowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t handNowUs(const DoubleHand* hand) {
    return realNowUs() - hand->realStartUs + hand->skippedUs;
}

}  // namespace

int doubleHandOpen(DoubleHand* hand, const std::string& options, std::string* error) {
    *hand = DoubleHand{};
    hand->hand = simHandCreate(options.c_str(), error);
    if (!hand->hand) {
        return 1;
    }
    hand->fast = simHandUsesFastClock(hand->hand);
    hand->realStartUs = realNowUs();
    const char* tracePath = std::getenv(TRACE_VARIABLE);
    const SimTraceSettings trace{!hand->fast, canTraceWallClockUs(),
                                 tracePath && traceUnmaskedAsked()};
    if (tracePath && *tracePath && simHandTraceTo(hand->hand, tracePath, trace) != 0) {
        std::fprintf(stderr, "adapter double: cannot write the trace file %s\n", tracePath);
    }
    return 0;
}

void doubleHandClose(DoubleHand* hand) {
    if (!hand->hand) {
        return;
    }
    simHandSettle(hand->hand);
    simHandReport(hand->hand, stderr);
    simHandDestroy(hand->hand);
    *hand = DoubleHand{};
}

uint32_t doubleHandInit(DoubleHand* hand, uint16_t bitTiming) {
    if (bitTiming != CAN_BITRATE_1M) {
        return SIM_ILLEGAL_PARAMETER;  // the simulated bus runs at 1 Mbit/s only
    }
    const int64_t now = handNowUs(hand);
    simHandHostClear(hand->hand, now);
    simHandHostFilter(hand->hand, now, 0, SIM_HIGHEST_STANDARD_ID);
    return CAN_OK;
}

uint32_t doubleHandReset(DoubleHand* hand) {
    simHandHostClear(hand->hand, handNowUs(hand));
    return CAN_OK;
}

uint32_t doubleHandFilter(DoubleHand* hand, uint32_t lowestId, uint32_t highestId) {
    simHandHostFilter(hand->hand, handNowUs(hand), lowestId, highestId);
    return CAN_OK;
}

uint32_t doubleHandRead(DoubleHand* hand, uint8_t* record) {
    const int64_t now = handNowUs(hand);
    CanFrame frame{};
    int32_t result = simHandHostRead(hand->hand, now, &frame);
    if (result == RX_QUEUE_EMPTY && hand->fast) {
        const int64_t reached = simHandRunToDelivery(hand->hand, now + DOUBLE_HAND_JUMP_US);
        hand->skippedUs += reached > now ? reached - now : 0;
        result = simHandHostRead(hand->hand, reached, &frame);
    }
    if (result == CAN_OK) {
        std::memcpy(record, &frame, sizeof frame);
    }
    return static_cast<uint32_t>(result);
}

uint32_t doubleHandWrite(DoubleHand* hand, const uint8_t* record) {
    CanFrame frame{};
    std::memcpy(&frame, record, sizeof frame);
    return static_cast<uint32_t>(simHandHostWrite(hand->hand, handNowUs(hand), &frame));
}
