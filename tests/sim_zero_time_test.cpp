// The hand's zero-time option, which leaves only the host's own cost in a run, and the
// real-time hand's wait, which sleeps until the next frame is due.
#include <gtest/gtest.h>

#include <string>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "firmware/download.h"
#include "protocol/property.h"
#include "protocol/role.h"
#include "sim/bus_timing.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"
#include "sim/sim_hand.h"
#include "sim/sim_options.h"
#include "tests/support/sim_session.h"
#include "tests/support/stdout_capture.h"

namespace {

constexpr int ACCESS_CODE_WORDS = 5;
constexpr int64_t US_PER_MS = 1000;

struct ZeroTimeOptionCase {
    const char* text;
    bool fast;
    bool zeroTime;
    const char* error;  // nullptr when the list is valid
};

const ZeroTimeOptionCase ZERO_TIME_OPTION_CASES[] = {
    {"", false, false, nullptr},
    {"zero-time", false, true, nullptr},
    {"fast,zero-time", true, true, nullptr},
    {"zero-time,fast,silent=12", true, true, nullptr},
    {"zero-time=1", false, false, "malformed option 'zero-time=1'"},
    {"zero", false, false, "unknown option 'zero'"},
};

TEST(SimZeroTimeOption, ParsesAloneAndWithOthers) {
    for (const ZeroTimeOptionCase& c : ZERO_TIME_OPTION_CASES) {
        SimOptions options{};
        std::string error;
        const int result = simParseOptions(c.text, &options, &error);
        if (c.error) {
            EXPECT_EQ(result, 1) << c.text;
            EXPECT_EQ(error, c.error) << c.text;
            continue;
        }
        ASSERT_EQ(result, 0) << c.text << ": " << error;
        EXPECT_EQ(options.fast, c.fast) << c.text;
        EXPECT_EQ(options.zeroTime, c.zeroTime) << c.text;
    }
}

struct AnswerCase {
    int property;
    const char* answer;  // controller 11 in its main firmware
};

const AnswerCase ANSWER_CASES[] = {
    {VERS, "20B#80001402"},
    {ROLE, "20B#81002512"},
    {ID, "20B#83000B"},
    {STATUS, "20B#850001"},
};

SimHand* makeHand(const char* options) {
    std::string error;
    SimHand* hand = simHandCreate(options, &error);
    EXPECT_NE(hand, nullptr) << error;
    return hand;
}

// Under zero-time the answer is there at the moment the request is written; with bus
// timing the same answer comes after both frames' bus time and the controller's delay.
TEST(SimZeroTimeHand, AnswersAtTheMomentOfTheRequest) {
    for (const AnswerCase& c : ANSWER_CASES) {
        const CanFrame request = simGet(11, c.property);
        CanFrame answer{};

        SimHand* instant = makeHand("zero-time");
        ASSERT_NE(instant, nullptr);
        ASSERT_EQ(simHandHostWrite(instant, 0, &request), CAN_OK);
        ASSERT_EQ(simHandHostRead(instant, 0, &answer), CAN_OK) << c.property;
        EXPECT_EQ(simFrameText(answer), c.answer);
        EXPECT_EQ(simHandNowUs(instant), 0);
        simHandDestroy(instant);

        SimHand* timed = makeHand("");
        ASSERT_NE(timed, nullptr);
        ASSERT_EQ(simHandHostWrite(timed, 0, &request), CAN_OK);
        EXPECT_EQ(simHandHostRead(timed, 0, &answer), RX_QUEUE_EMPTY) << c.property;
        const int64_t delivered = simHandRunToDelivery(timed, US_PER_MS * US_PER_MS);
        ASSERT_EQ(simHandHostRead(timed, delivered, &answer), CAN_OK) << c.property;
        EXPECT_EQ(simFrameText(answer), c.answer);
        EXPECT_EQ(delivered, simFrameTimeUs(request.ID, request.DATA, request.LEN) +
                                 SIM_REPLY_DELAY_US +
                                 simFrameTimeUs(answer.ID, answer.DATA, answer.LEN));
        simHandDestroy(timed);
    }
}

// Unlocks controller 11, clears its role code, stores it and resets it, all at time 0.
void storeAndResetAtOnce(SimHand* hand) {
    for (int i = 0; i < ACCESS_CODE_WORDS; ++i) {
        const CanFrame word = simSet(11, UNLOCK_MAIN, simAccessWord(i));
        ASSERT_EQ(simHandHostWrite(hand, 0, &word), CAN_OK);
    }
    for (const CanFrame& frame :
         {simSet(11, ROLE, 0x1220), simSet(11, STORE, 1), simSet(11, STATUS, 0)}) {
        ASSERT_EQ(simHandHostWrite(hand, 0, &frame), CAN_OK);
    }
    simHandAdvance(hand, 0);
}

TEST(SimZeroTimeHand, StoresAndResetsAtOnce) {
    SimHand* instant = makeHand("zero-time");
    ASSERT_NE(instant, nullptr);
    storeAndResetAtOnce(instant);
    SimDovelState state{};
    ASSERT_EQ(simHandDovelState(instant, 11, &state), 0);
    EXPECT_EQ(state.storedRole, 0x1220);
    EXPECT_EQ(state.mode, SIM_MODE_MONITOR);
    EXPECT_EQ(state.resets, 1);
    EXPECT_EQ(state.framesIgnored, 0);
    simHandDestroy(instant);

    // With its timing the controller is still storing when the reset request arrives.
    SimHand* timed = makeHand("");
    ASSERT_NE(timed, nullptr);
    storeAndResetAtOnce(timed);
    simHandAdvance(timed, SIM_RESET_US * 2);
    ASSERT_EQ(simHandDovelState(timed, 11, &state), 0);
    EXPECT_EQ(state.storedRole, 0x1220);
    EXPECT_EQ(state.mode, SIM_MODE_MAIN);
    EXPECT_EQ(state.resets, 0);
    EXPECT_EQ(state.framesIgnored, 1);
    simHandDestroy(timed);
}

class SimZeroTimeDownload : public SimSessionTest {};

// The whole example image goes in while the virtual clock moves by the line pauses
// alone: at bus speed its frames would take seconds.
TEST_F(SimZeroTimeDownload, TakesNoTimeButTheLinePauses) {
    openHand("zero-time");
    const std::string image = std::string(DOVEL_SOURCE_DIR) + "/examples/dovel2.tek";
    beginStdoutCapture();
    prepareDovel(11);
    sleepMs(1);
    const int64_t start = simNowUs();
    const int result = downloadFirmware(11, image.c_str());
    const int64_t elapsed = simNowUs() - start;
    const std::string out = endStdoutCapture();
    EXPECT_EQ(result, 0);
    constexpr int IMAGE_LINES = 513;
    EXPECT_GE(elapsed, IMAGE_LINES * LINE_PAUSE_MS * US_PER_MS);
    EXPECT_LT(elapsed, (IMAGE_LINES + 1) * LINE_PAUSE_MS * US_PER_MS);
    EXPECT_NE(out.find("Download progress: 100%   \nDownload complete!   "), std::string::npos);
    sleepMs(1);
    const SimDovelState state = simDovelState(11);
    EXPECT_TRUE(state.downloadComplete);
    EXPECT_EQ(state.records, 512);
    EXPECT_EQ(state.badRecords, 0);
    EXPECT_EQ(state.charactersLost, 0);
}

TEST(RealSleep, UntilAMomentPassedReturnsAtOnce) {
    const int64_t before = realClockNowUs();
    realSleepUntilUs(before - US_PER_MS * US_PER_MS);
    EXPECT_LT(realClockNowUs() - before, US_PER_MS * US_PER_MS);
}

// The real-time hand's wait ends when the answer is due on the real clock, not before,
// and the answer is there for the read that follows.
TEST(SimRealTimeWait, EndsWhenTheAnswerIsDue) {
    const CanBackend* backend = simOpenBackend("");
    ASSERT_NE(backend, nullptr);
    canUseBackend(backend);
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), CAN_OK);
    const CanFrame request = simGet(11, ID);
    const int64_t written = realClockNowUs();
    simWrite(request);
    CAN_WaitForFrame(clockNowUs() + US_PER_MS * US_PER_MS);
    const int64_t woken = realClockNowUs();
    CanFrame answer{};
    ASSERT_EQ(CAN_Read(&answer), CAN_OK);
    EXPECT_EQ(simFrameText(answer), "20B#83000B");
    EXPECT_GE(woken - written, simFrameTimeUs(request.ID, request.DATA, request.LEN) +
                                   SIM_REPLY_DELAY_US +
                                   simFrameTimeUs(answer.ID, answer.DATA, answer.LEN));
    simSessionEnd();
}

}  // namespace
