// The faults a simulated hand can be given, and the options that name them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "sim/bus_timing.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"
#include "sim/sim_options.h"
#include "tests/support/environment.h"
#include "tests/support/sim_session.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int UNLOCK_MAIN = 13;
constexpr int ROLE = 1;
constexpr int ID = 3;
constexpr int STATUS = 5;
constexpr int STORE = 9;
constexpr int VERS = 0;

class SimFaultTest : public SimSessionTest {
  protected:
    void openMonitor(int node, const std::string& options) {
        openHand(options);
        simStoreRoleAndReset(node, UNLOCK_MAIN, 0);
        ASSERT_EQ(simDovelState(node).mode, SIM_MODE_MONITOR);
    }
};

TEST_F(SimFaultTest, SilentControllerSendsNothingButKeepsItsState) {
    openHand("silent=13");
    EXPECT_EQ(simExchange(simGet(13, ID), 200), Frames{});
    EXPECT_EQ(simExchange(simGet(13, ROLE), 200), Frames{});
    simSendAccessCode(13, UNLOCK_MAIN);
    simWrite(simSet(13, ROLE, 0x8460));
    simReadAfter(1);
    EXPECT_EQ(simDovelState(13).ramRole, 0x8460);
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"20C#83000C"});
}

TEST_F(SimFaultTest, StatusMessageAnswersTheFirstIdQueryOnly) {
    openHand("status=11");
    EXPECT_EQ(simExchange(simGet(11, ID), 100), Frames{"status:000#00000008"});
    EXPECT_EQ(simExchange(simGet(11, ID)), Frames{"20B#83000B"});
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"20C#83000C"});
}

TEST_F(SimFaultTest, StatusMessagePassesTheFilterAndHasItsType) {
    openHand("status=12");
    ASSERT_EQ(CAN_MsgFilter(0x300, 0x300, CAN_INIT_TYPE_STANDARD), CAN_OK);
    simWrite(simGet(12, ID));
    sleepMs(1);
    CanFrame frame{};
    ASSERT_EQ(CAN_Read(&frame), CAN_OK);
    EXPECT_EQ(frame.TYPE, FRAME_TYPE_STATUS);
    EXPECT_EQ(frame.DATA[3], SIM_STATUS_MESSAGE_DATA3);
}

TEST_F(SimFaultTest, CrazyIdOnTheFirstAnswerOnly) {
    openHand("crazy-id=12");
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"20C#830028"});  // 40
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"20C#83000C"});
    EXPECT_EQ(simExchange(simGet(11, ID)), Frames{"20B#83000B"});
}

TEST_F(SimFaultTest, SlowAnswersTheIdQueryLate) {
    openHand("slow=13:150");
    const int64_t sent = simNowUs();
    simWrite(simGet(13, ID));
    // The query ends after 58 us; the answer is ready 150 ms later and takes 77 us.
    simAdvanceTo(sent + 58 + 150000 + 77 - 1);
    EXPECT_EQ(simReadAfter(0), Frames{});
    simAdvanceTo(sent + 58 + 150000 + 77);
    EXPECT_EQ(simReadAfter(0), Frames{"20D#83000D"});
    // Other gets are as quick as ever, and overtake a slow answer.
    simWrite(simGet(13, ID));
    EXPECT_EQ(simExchange(simGet(13, STATUS), 1), Frames{"20D#850001"});
    EXPECT_EQ(simReadAfter(150), Frames{"20D#83000D"});
}

TEST_F(SimFaultTest, ForeignNodeAnswersFirstGetAheadOfTheController) {
    openHand("foreign=11");
    EXPECT_EQ(simExchange(simGet(11, ID)), (Frames{"1F0#830007", "20B#83000B"}));
    EXPECT_EQ(simExchange(simGet(11, ID)), Frames{"20B#83000B"});
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"20C#83000C"});
}

TEST_F(SimFaultTest, ForeignNodeAnswersEvenForASilentController) {
    openHand("foreign=14,silent=14");
    EXPECT_EQ(simExchange(simGet(14, ROLE)), Frames{"1F0#810007"});
}

TEST_F(SimFaultTest, LongLenOnTheFirstRoleAnswer) {
    openHand("long-len=11");
    simWrite(simGet(11, ROLE));
    sleepMs(1);
    CanFrame frame{};
    ASSERT_EQ(CAN_Read(&frame), CAN_OK);
    EXPECT_EQ(frame.LEN, SIM_LONG_LEN);
    EXPECT_EQ(frame.ID, 0x20Bu);
    EXPECT_EQ(frame.DATA[0], 0x81);
    EXPECT_EQ(frame.DATA[2], 0x25);
    EXPECT_EQ(frame.DATA[3], 0x12);
    EXPECT_EQ(simExchange(simGet(11, ROLE)), Frames{"20B#81002512"});
    EXPECT_EQ(simExchange(simGet(11, ID)), Frames{"20B#83000B"});
}

TEST_F(SimFaultTest, StallStopsAnsweringAfterNCharacters) {
    openMonitor(12, "stall=12:3");
    EXPECT_EQ(simExchange(simSet(12, VERS, 0xAA), 3), Frames{"20C#80000000"});
    Frames replies;
    for (char c : std::string("0A61")) {
        const Frames got = simExchange(simCharacter(12, c), 1);
        replies.insert(replies.end(), got.begin(), got.end());
    }
    EXPECT_EQ(replies, (Frames{"20C#80000100", "20C#80000200", "20C#80000300"}));
    EXPECT_EQ(simDovelState(12).charactersTaken, 4);
    // Until a reset: afterwards it answers again.
    simWrite(simSet(12, STATUS, 0));
    simReadAfter(600);
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"20C#83000C"});
}

TEST_F(SimFaultTest, RecoveringStallHangsThenAbandonsTheDownloadAndAnswersAgain) {
    openMonitor(12, "stall=12:2:300");
    EXPECT_EQ(simExchange(simSet(12, VERS, 0xAA), 3), Frames{"20C#80000000"});
    EXPECT_EQ(simExchange(simCharacter(12, '0'), 1), Frames{"20C#80000100"});
    EXPECT_EQ(simExchange(simCharacter(12, 'A'), 1), Frames{"20C#80000200"});
    // The third character is taken and never answered; for 300 ms nothing gets through.
    EXPECT_EQ(simExchange(simCharacter(12, '6'), 100), Frames{});
    EXPECT_EQ(simExchange(simGet(12, ID), 150), Frames{});
    EXPECT_TRUE(simDovelState(12).downloading);
    simReadAfter(51);
    // Back: the download is abandoned, a LEN-1 frame is a get request again.
    const SimDovelState state = simDovelState(12);
    EXPECT_FALSE(state.downloading);
    EXPECT_EQ(state.image, SIM_IMAGE_INCOMPLETE);
    EXPECT_EQ(state.charactersTaken, 3);
    EXPECT_EQ(state.framesIgnored, 1);
    EXPECT_EQ(simExchange(simGet(12, ROLE)), Frames{"20C#81000000"});
    EXPECT_EQ(simExchange(simGet(12, STATUS)), Frames{"20C#850000"});
    // Once only: a new download runs through.
    EXPECT_EQ(simExchange(simSet(12, VERS, 0xAA), 3), Frames{"20C#80000000"});
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(simExchange(simCharacter(12, '0'), 1).size(), 1u) << i;
    }
}

TEST_F(SimFaultTest, SlowEraseDelaysTheFirstReplyOfEveryDownload) {
    openMonitor(14, "erase=14:6000");
    for (int download = 0; download < 2; ++download) {
        const int64_t start = simNowUs();
        simWrite(simSet(14, VERS, 0xAA));
        EXPECT_EQ(simReadAfter(5999), Frames{}) << download;
        CAN_WaitForFrame(start + 7000000);
        const CanFrame request = simSet(14, VERS, 0xAA);
        const uint8_t ready[4] = {0x80, 0, 0, 0};
        EXPECT_EQ(simNowUs() - start, simFrameTimeUs(request.ID, request.DATA, request.LEN) +
                                          6000000 + simFrameTimeUs(0x20E, ready, 4))
            << download;
        EXPECT_EQ(simReadAfter(0), Frames{"20E#80000000"}) << download;
    }
}

struct UnplugCase {
    int frames;         // unplug-after=N
    Frames received;    // of two get exchanges with controller 11
    int32_t readAfter;  // a read once the gets are over
};

// The Nth frame ends on the bus, and the adapter is gone with whatever it held.
const UnplugCase UNPLUG_CASES[] = {
    {5, {"20B#83000B", "20B#850001"}, RX_QUEUE_EMPTY},
    {4, {"20B#83000B"}, SIM_ADAPTER_GONE},
    {3, {"20B#83000B"}, SIM_ADAPTER_GONE},
    {2, {}, SIM_ADAPTER_GONE},
};

// CAN_Write, then every frame read until the queue is empty or a read fails.
Frames writeAndReadAll(const CanFrame& request) {
    Frames got;
    if (CAN_Write(&request) != CAN_OK) {
        return got;
    }
    sleepMs(1);
    CanFrame frame{};
    while (CAN_Read(&frame) == CAN_OK) {
        got.push_back(simFrameText(frame));
    }
    return got;
}

TEST_F(SimFaultTest, UnpluggedAdapterFailsEveryOperationAndTheControllersGoOn) {
    for (const UnplugCase& c : UNPLUG_CASES) {
        openHand("unplug-after=" + std::to_string(c.frames));
        Frames got = writeAndReadAll(simGet(11, ID));
        const Frames second = writeAndReadAll(simGet(11, STATUS));
        got.insert(got.end(), second.begin(), second.end());
        EXPECT_EQ(got, c.received) << c.frames;
        CanFrame frame{};
        EXPECT_EQ(CAN_Read(&frame), c.readAfter) << c.frames;
        if (c.readAfter == SIM_ADAPTER_GONE) {
            frame = simSet(11, STATUS, 0);
            EXPECT_EQ(CAN_Write(&frame), SIM_ADAPTER_GONE) << c.frames;
            EXPECT_EQ(CAN_ResetClient(), SIM_ADAPTER_GONE) << c.frames;
            EXPECT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), SIM_ADAPTER_GONE);
            sleepMs(600);
            EXPECT_EQ(simDovelState(11).resets, 0) << c.frames;  // nothing reached it
        }
        EXPECT_EQ(simDovelState(11).mode, SIM_MODE_MAIN) << c.frames;
    }
}

TEST_F(SimFaultTest, UnplugAfterZeroHasNoAdapterFromTheStart) {
    const CanBackend* backend = simOpenBackend("fast,unplug-after=0");
    ASSERT_NE(backend, nullptr);
    canUseBackend(backend);
    EXPECT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), SIM_ADAPTER_GONE);
    CanFrame frame{};
    const int64_t before = simNowUs();
    EXPECT_EQ(CAN_Read(&frame), SIM_ADAPTER_GONE);
    EXPECT_EQ(simNowUs() - before, SIM_EMPTY_READ_STEP_US);  // a retrying reader sees time pass
}

TEST_F(SimFaultTest, ReadErrorOnceAfterNCharacters) {
    openMonitor(11, "read-error=11:2");
    EXPECT_EQ(simExchange(simSet(11, VERS, 0xAA), 3), Frames{"20B#80000000"});
    EXPECT_EQ(simExchange(simCharacter(11, '0'), 1), Frames{"20B#80000100"});
    simWrite(simCharacter(11, 'A'));
    sleepMs(1);
    CanFrame frame{};
    EXPECT_EQ(CAN_Read(&frame), SIM_READ_ERROR);
    EXPECT_EQ(simReadAfter(0), Frames{"20B#80000200"});  // the reply is still there
    EXPECT_EQ(simExchange(simCharacter(11, '6'), 1), Frames{"20B#80000300"});
}

TEST_F(SimFaultTest, FaultsCombine) {
    openHand("silent=13,crazy-id=12,foreign=14");
    EXPECT_EQ(simExchange(simGet(13, ID)), Frames{});
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"20C#830028"});
    EXPECT_EQ(simExchange(simGet(14, ID)), (Frames{"1F0#830007", "20E#83000E"}));
    EXPECT_EQ(simExchange(simGet(11, ID)), Frames{"20B#83000B"});
}

struct OptionCase {
    const char* text;
    const char* error;  // nullptr when the list is valid
};

const OptionCase OPTION_CASES[] = {
    {"", nullptr},
    {"fast", nullptr},
    {"fast,silent=13,stall=12:500", nullptr},
    {"slow=11:0,read-error=14:0,packed=127,long-len=12,foreign=11,role-stuck=14", nullptr},
    {"bogus", "unknown option 'bogus'"},
    {"fast,,silent=13", "unknown option ''"},
    {"fast=1", "malformed option 'fast=1'"},
    {"silent", "malformed option 'silent'"},
    {"silent=15", "malformed option 'silent=15'"},
    {"silent=10", "malformed option 'silent=10'"},
    {"silent=1x", "malformed option 'silent=1x'"},
    {"stall=12", "malformed option 'stall=12'"},
    {"stall=12:", "malformed option 'stall=12:'"},
    {"stall=12:-1", "malformed option 'stall=12:-1'"},
    {"slow=:5", "malformed option 'slow=:5'"},
    {"packed=128", "malformed option 'packed=128'"},
    {"packed=", "malformed option 'packed='"},
    {"status=12,crazy=12", "unknown option 'crazy=12'"},
    {"stall=12:5:300,erase=11:6000,unplug-after=0", nullptr},
    {"stall=12:5:", "malformed option 'stall=12:5:'"},
    {"stall=12:5:3:4", "malformed option 'stall=12:5:3:4'"},
    {"erase=11", "malformed option 'erase=11'"},
    {"erase=11:1:2", "malformed option 'erase=11:1:2'"},
    {"unplug-after", "malformed option 'unplug-after'"},
    {"unplug-after=12:3", "malformed option 'unplug-after=12:3'"},
    {"state=/tmp/a b:c.state,halt-after=1,power-off-after=2500", nullptr},
    {"state=", "malformed option 'state='"},
    {"halt-after=0", "malformed option 'halt-after=0'"},
    {"power-off-after=x", "malformed option 'power-off-after=x'"},
    {"ready=id,ready=count", "malformed option 'ready=count': ready is given twice"},
    {"latency=500,latency=0", "malformed option 'latency=0': latency is given twice"},
    {"silent=12,silent=13,stall=12:5,stall=13:5,packed=1,packed=3", nullptr},
    {"fast,stall=12:5,stall=12:5:300", "malformed option 'stall=12:5:300': stall is given twice"},
    {"packed=3,packed=3", "malformed option 'packed=3': packed is given twice"},
    {"ready=ids", "malformed option 'ready=ids'"},
    {"ready", "malformed option 'ready'"},
    {"latency=500,shared-reply-id,reply-id-change=12", nullptr},
    {"latency", "malformed option 'latency'"},
    {"latency=-1", "malformed option 'latency=-1'"},
    {"shared-reply-id=11", "malformed option 'shared-reply-id=11'"},
    {"reply-id-change=15", "malformed option 'reply-id-change=15'"},
    {"rx-buffer=0", nullptr},
    {"fast,rx-buffer=16", nullptr},
    {"rx-buffer=17", "malformed option 'rx-buffer=17'"},
    {"rx-buffer", "malformed option 'rx-buffer'"},
    {"stray=14:13,char-delay=11:0", nullptr},
    {"stray=14:14", "malformed option 'stray=14:14'"},
    {"stray=14", "malformed option 'stray=14'"},
    {"stray=14:10", "malformed option 'stray=14:10'"},
    {"char-delay=14", "malformed option 'char-delay=14'"},
};

TEST(SimOptions, ParsesValidListsAndNamesTheFirstBadOption) {
    for (const OptionCase& c : OPTION_CASES) {
        SimOptions options{};
        std::string error;
        const int result = simParseOptions(c.text, &options, &error);
        if (c.error) {
            EXPECT_EQ(result, 1) << c.text;
            EXPECT_EQ(error, c.error) << c.text;
        } else {
            EXPECT_EQ(result, 0) << c.text << ": " << error;
        }
    }
}

TEST(SimOptions, SetsTheNamedFaults) {
    SimOptions options{};
    std::string error;
    ASSERT_EQ(simParseOptions("fast,silent=13,stall=12:500,slow=11:250,packed=5,read-error=14:7,"
                              "stall=13:9:700,erase=14:6000,unplug-after=250,rx-buffer=1,"
                              "stray=14:13,char-delay=12:3000",
                              &options, &error),
              0);
    EXPECT_EQ(options.rxBuffer, 1);
    EXPECT_EQ(options.dovel[3].strayForNode, 13);
    EXPECT_EQ(options.dovel[2].strayForNode, 0);
    EXPECT_EQ(options.dovel[1].characterDelayUs, 3000);
    EXPECT_EQ(options.dovel[0].characterDelayUs, SIM_FAULT_OFF);
    EXPECT_TRUE(options.fast);
    EXPECT_TRUE(options.dovel[2].silent);
    EXPECT_FALSE(options.dovel[1].silent);
    EXPECT_EQ(options.dovel[1].stallAfterCharacters, 500);
    EXPECT_EQ(options.dovel[0].stallAfterCharacters, SIM_FAULT_OFF);
    EXPECT_EQ(options.dovel[0].slowIdReplyMs, 250);
    EXPECT_EQ(options.dovel[3].readErrorAfterCharacters, 7);
    EXPECT_TRUE(options.packed[5]);
    EXPECT_FALSE(options.packed[1]);
    EXPECT_EQ(options.dovel[1].stallRecoverMs, SIM_FAULT_OFF);
    EXPECT_EQ(options.dovel[2].stallAfterCharacters, 9);
    EXPECT_EQ(options.dovel[2].stallRecoverMs, 700);
    EXPECT_EQ(options.dovel[3].eraseMs, 6000);
    EXPECT_EQ(options.dovel[0].eraseMs, SIM_FAULT_OFF);
    EXPECT_EQ(options.unplugAfterFrames, 250);
    ASSERT_EQ(simParseOptions("fast", &options, &error), 0);
    EXPECT_EQ(options.rxBuffer, SIM_RX_DEFAULT_BUFFER);
}

TEST(SimOptionsBackend, UnknownOptionFailsInitWithOneLineNamingIt) {
    canUseBackend(nullptr);
    canConfigure("sim:fast,frobnicate=2");
    testing::internal::CaptureStderr();
    const int32_t result = CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
    const std::string err = testing::internal::GetCapturedStderr();
    canConfigure(nullptr);
    EXPECT_NE(result, CAN_OK);
    EXPECT_EQ(err, "sim: unknown option 'frobnicate=2'\n");
    EXPECT_EQ(simCurrentHand(), nullptr);
    canUseBackend(nullptr);
}

TEST(SimOptionsBackend, MalformedOptionFailsInitToo) {
    canUseBackend(nullptr);
    canConfigure("sim:fast,stall=12");
    testing::internal::CaptureStderr();
    const int32_t result = CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
    const std::string err = testing::internal::GetCapturedStderr();
    canConfigure(nullptr);
    EXPECT_NE(result, CAN_OK);
    EXPECT_EQ(err, "sim: malformed option 'stall=12'\n");
    canUseBackend(nullptr);
}

}  // namespace
