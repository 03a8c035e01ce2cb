#include "can/link.h"

#include <gtest/gtest.h>

#include "can/can_api.h"
#include "tests/support/scripted_adapter.h"
#include "tests/support/stdout_capture.h"

namespace {

class LinkTest : public testing::Test {
  protected:
    void SetUp() override { scriptedAdapterInstall(&adapter); }
    void TearDown() override { scriptedAdapterRemove(); }
    ScriptedAdapter adapter;
};

struct CanStartCase {
    const char* name;
    int32_t init, resetClient, msgFilter;
    int32_t expectedResult;
    const char* expectedText;
    std::vector<std::string> expectedCalls;
};

class CanStartTest : public LinkTest, public testing::WithParamInterface<CanStartCase> {};

TEST_P(CanStartTest, PrintsOneLinePerStepAndStopsAtTheFirstFailure) {
    const CanStartCase& c = GetParam();
    adapter.initResult = c.init;
    adapter.resetClientResult = c.resetClient;
    adapter.msgFilterResult = c.msgFilter;
    beginStdoutCapture();
    const int32_t result = canStart();
    EXPECT_EQ(endStdoutCapture(), c.expectedText);
    EXPECT_EQ(result, c.expectedResult);
    EXPECT_EQ(adapter.calls, c.expectedCalls);
}

const std::vector<std::string> ALL_THREE_CALLS = {"CAN_Init(0x0014, 0)", "CAN_ResetClient",
                                                  "CAN_MsgFilter(0, 1023, 0)"};

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CanStartTest,
    testing::Values(
        CanStartCase{
            "AllPass", 0, 0, 0, 0,
            "SUCCESS - CAN_Init()\nSUCCESS - CAN_ResetClient()\nSUCCESS - CAN_MsgFilter()\n",
            ALL_THREE_CALLS},
        CanStartCase{"InitFails", 7, 0, 0, 7, "ERROR - CAN_Init(): 7\n", {"CAN_Init(0x0014, 0)"}},
        CanStartCase{"ResetFails",
                     0,
                     4,
                     0,
                     4,
                     "SUCCESS - CAN_Init()\nERROR - CAN_ResetClient(): 4\n",
                     {"CAN_Init(0x0014, 0)", "CAN_ResetClient"}},
        CanStartCase{"FilterFails", 0, 0, 512, 512,
                     "SUCCESS - CAN_Init()\nSUCCESS - CAN_ResetClient()\nERROR - CAN_MsgFilter(): "
                     "512\n",
                     ALL_THREE_CALLS},
        CanStartCase{"TopBitSetPrintsNegative",
                     static_cast<int32_t>(0x80000001u),
                     0,
                     0,
                     static_cast<int32_t>(0x80000001u),
                     "ERROR - CAN_Init(): -2147483647\n",
                     {"CAN_Init(0x0014, 0)"}}),
    [](const testing::TestParamInfo<CanStartCase>& info) { return info.param.name; });

struct ReadReplyCase {
    const char* name;
    std::vector<ScriptedRead> reads;
    int expectedResult;
    ReplyOutcome expectedOutcome;
    const char* expectedText;
    uint32_t expectedId;  // of the record after a standard frame
};

class ReadReplyTest : public LinkTest, public testing::WithParamInterface<ReadReplyCase> {};

TEST_P(ReadReplyTest, ClassifiesTheFirstFrameHandedOver) {
    const ReadReplyCase& c = GetParam();
    adapter.queue.assign(c.reads.begin(), c.reads.end());
    CanFrame record{};
    beginStdoutCapture();
    const int result = readReply(&record);
    EXPECT_EQ(endStdoutCapture(), c.expectedText);
    EXPECT_EQ(result, c.expectedResult);
    if (c.expectedResult == 0) {
        EXPECT_EQ(record.ID, c.expectedId);
    }
    // awaitReply tells the same outcome apart.
    adapter.queue.assign(c.reads.begin(), c.reads.end());
    adapter.nowUs = 0;
    beginStdoutCapture();
    EXPECT_EQ(awaitReply(&record), c.expectedOutcome);
    endStdoutCapture();
}

const CanFrame STATUS_ZERO = makeFrame(0, {0, 0, 0, 0}, FRAME_TYPE_STATUS);
const CanFrame STATUS_1A = makeFrame(0, {0, 0, 0, 0x1A}, FRAME_TYPE_STATUS);
const CanFrame FROM_NODE_12 = makeFrame(12, {0x83, 0, 12});
const CanFrame FROM_NODE_5 = makeFrame(5, {0x81, 0, 0x22});

INSTANTIATE_TEST_SUITE_P(
    Frames, ReadReplyTest,
    testing::Values(
        ReadReplyCase{"EmptyThenStandard", {{0, FROM_NODE_12, 250000}}, 0, REPLY_STANDARD, "", 12},
        ReadReplyCase{"FromAnotherNode", {{0, FROM_NODE_5, 0}}, 0, REPLY_STANDARD, "", 5},
        ReadReplyCase{"StatusZero",
                      {{0, STATUS_ZERO, 0}, {0, FROM_NODE_12, 0}},
                      1,
                      REPLY_STATUS,
                      "Got status message, DATA[3] = 0x0000\n",
                      0},
        ReadReplyCase{"StatusValue",
                      {{0, STATUS_1A, 0}},
                      1,
                      REPLY_STATUS,
                      "Got status message, DATA[3] = 0x001a\n",
                      0},
        ReadReplyCase{"OtherType", {{0, makeFrame(12, {1}, 0x02), 0}}, 1, REPLY_OTHER_TYPE, "", 0},
        ReadReplyCase{"ReadError",
                      {{0x40, CanFrame{}, 0}},
                      1,
                      REPLY_READ_ERROR,
                      "ERROR - CAN_Read(): 64\n",
                      0},
        ReadReplyCase{"NegativeReadError",
                      {{-3, CanFrame{}, 0}},
                      1,
                      REPLY_READ_ERROR,
                      "ERROR - CAN_Read(): -3\n",
                      0},
        ReadReplyCase{
            "NothingWithinTheBound", {}, 1, REPLY_TIMEOUT, "ERROR - no reply within 1000 ms\n", 0},
        ReadReplyCase{"FrameJustAfterTheBound",
                      {{0, FROM_NODE_12, 1000001}},
                      1,
                      REPLY_TIMEOUT,
                      "ERROR - no reply within 1000 ms\n",
                      0}),
    [](const testing::TestParamInfo<ReadReplyCase>& info) { return info.param.name; });

TEST_F(LinkTest, StatusMessageLeavesTheAnswerBehindItQueued) {
    queueFrame(adapter, STATUS_ZERO);
    queueFrame(adapter, FROM_NODE_12);
    CanFrame record{};
    beginStdoutCapture();
    EXPECT_EQ(readReply(&record), 1);
    EXPECT_EQ(readReply(&record), 0);
    endStdoutCapture();
    EXPECT_EQ(record.ID, 12u);
}

// A bus problem among the dropped frames is still reported.
TEST_F(LinkTest, DiscardDropsOnlyWhatIsAlreadyQueuedAndReportsStatusMessages) {
    queueFrame(adapter, FROM_NODE_5);
    queueFrame(adapter, STATUS_ZERO);
    queueFrame(adapter, FROM_NODE_12);
    queueFrame(adapter, FROM_NODE_5, 10);  // arrives later
    beginStdoutCapture();
    EXPECT_EQ(discardQueuedFrames(), 3);
    EXPECT_EQ(endStdoutCapture(), "Got status message, DATA[3] = 0x0000\n");
    adapter.nowUs = 10;
    CanFrame record{};
    EXPECT_EQ(readReply(&record), 0);
    EXPECT_EQ(record.ID, 5u);
}

TEST_F(LinkTest, DiscardIsBoundedOnABusThatNeverGoesQuiet) {
    for (int i = 0; i < MAX_FRAMES_DISCARDED + 50; ++i) {
        queueFrame(adapter, FROM_NODE_5);
    }
    EXPECT_EQ(discardQueuedFrames(), MAX_FRAMES_DISCARDED);
}

// A read that fails once every read and write has failed for the bound names the link;
// from then on nothing reaches the adapter in this run, even when the link comes back.
TEST_F(LinkTest, ALostLinkIsNamedAndNeverUsedAgain) {
    adapter.writeResult = 4096;
    const CanFrame request = makeFrame(11, {0x03});
    EXPECT_EQ(CAN_Write(&request), 4096);
    adapter.nowUs = CAN_LINK_LOST_AFTER_MS * 1000LL;
    queueResult(adapter, 4096);
    CanFrame record{};
    beginStdoutCapture();
    EXPECT_EQ(awaitReply(&record), REPLY_LINK_DOWN);
    const std::string down =
        "ERROR - the CAN link is down (scripted: every read and write failed for 1000 ms, the "
        "last CAN_Read(): 4096)\n";
    EXPECT_EQ(endStdoutCapture(), down);

    adapter.writeResult = 0;
    queueFrame(adapter, FROM_NODE_12, adapter.nowUs);
    const size_t callsBefore = adapter.calls.size();
    EXPECT_EQ(CAN_Write(&request), CAN_ERR_LINK_LOST);
    EXPECT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), CAN_ERR_LINK_LOST);
    beginStdoutCapture();
    EXPECT_EQ(readReply(&record), 1);
    EXPECT_EQ(endStdoutCapture(), down);
    EXPECT_EQ(adapter.calls.size(), callsBefore);
    EXPECT_EQ(adapter.written.size(), 1u);
}

}  // namespace
