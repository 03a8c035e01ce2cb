#include "bench/exact_host.h"

#include "can/can_api.h"
#include "can/clock.h"

namespace {

SimHand* drivenHand = nullptr;

int64_t handNowUs() { return simHandNowUs(drivenHand); }

void handSleepUs(int64_t us) { simHandAdvance(drivenHand, handNowUs() + (us > 0 ? us : 0)); }

const ClockSource HAND_CLOCK = {handNowUs, handSleepUs};

int32_t exactInit(uint16_t bitTiming, int) {
    if (bitTiming != CAN_BITRATE_1M) {
        return SIM_ILLEGAL_PARAMETER;
    }
    simHandHostClear(drivenHand, handNowUs());
    simHandHostFilter(drivenHand, handNowUs(), 0, SIM_HIGHEST_STANDARD_ID);
    return CAN_OK;
}

// Unlike the simulated adapter on its virtual clock, an empty read lets no time pass.
int32_t exactRead(CanFrame* frame) { return simHandHostRead(drivenHand, handNowUs(), frame); }

int32_t exactWrite(const CanFrame* frame) {
    return simHandHostWrite(drivenHand, handNowUs(), frame);
}

int32_t exactResetClient() {
    simHandHostClear(drivenHand, handNowUs());
    return CAN_OK;
}

int32_t exactMsgFilter(uint32_t lowestId, uint32_t highestId, int) {
    simHandHostFilter(drivenHand, handNowUs(), lowestId, highestId);
    return CAN_OK;
}

void exactWaitForFrame(int64_t deadlineUs) { simHandRunToDelivery(drivenHand, deadlineUs); }

const CanBackend EXACT_HOST = {"exact-host",     exactInit,      exactRead,        exactWrite,
                               exactResetClient, exactMsgFilter, exactWaitForFrame};

}  // namespace

const CanBackend* exactHostOpen(SimHand* hand) {
    drivenHand = hand;
    clockUse(&HAND_CLOCK);
    return &EXACT_HOST;
}

void exactHostClose() {
    clockUse(nullptr);
    drivenHand = nullptr;
}
