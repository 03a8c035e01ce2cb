// The pcan-usb backend against the adapter library's test double: binding by ordinal,
// the arguments the library gets, the link start-up's console lines, and frames passed
// through in both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "tests/support/stdout_capture.h"
#include "tests/windows/adapter_double_fixture.h"

namespace {

CanFrame frameOf(uint32_t id, std::vector<uint8_t> data) {
    CanFrame frame{};
    frame.ID = id;
    frame.TYPE = FRAME_TYPE_STANDARD;
    frame.LEN = static_cast<uint8_t>(data.size());
    std::memcpy(frame.DATA, data.data(), data.size());
    return frame;
}

const std::vector<std::string> START_UP_CALLS = {"CAN_Init 0x0014 0", "CAN_ResetClient",
                                                 "CAN_MsgFilter 0 1023 0"};

// --- Binding ---------------------------------------------------------------------

struct MissingOrdinal {
    int ordinal;
    const char* name;
};

void PrintTo(const MissingOrdinal& param, std::ostream* os) { *os << "ordinal " << param.ordinal; }

class MissingOrdinalTest : public AdapterDoubleTest,
                           public testing::WithParamInterface<MissingOrdinal> {};

TEST_P(MissingOrdinalTest, InitFailsNamingTheOrdinalAndBindsNothing) {
    const std::string path =
        windowsTestPath("missing-" + std::to_string(GetParam().ordinal) + "/PCAN_USB.dll");
    useDouble("", path);

    testing::internal::CaptureStderr();
    EXPECT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), PCAN_USB_ERR_NO_ORDINAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pcan-usb: " + path + " lacks ordinal " +
                                                          std::to_string(GetParam().ordinal) +
                                                          " (" + GetParam().name + ")\n");

    // Nothing of the library is called, neither by this CAN_Init nor afterwards.
    CanFrame frame{};
    EXPECT_EQ(CAN_Read(&frame), CAN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(CAN_Write(&frame), CAN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(CAN_ResetClient(), CAN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(CAN_MsgFilter(0, 1, 0), CAN_ERR_NOT_INITIALIZED);
    EXPECT_TRUE(calls().empty());
}

INSTANTIATE_TEST_SUITE_P(EachOrdinal, MissingOrdinalTest,
                         testing::Values(MissingOrdinal{2, "CAN_Init"},
                                         MissingOrdinal{3, "CAN_Read"},
                                         MissingOrdinal{7, "write one frame"},
                                         MissingOrdinal{10, "CAN_ResetClient"},
                                         MissingOrdinal{11, "CAN_MsgFilter"}),
                         [](const testing::TestParamInfo<MissingOrdinal>& info) {
                             return "Ordinal" + std::to_string(info.param.ordinal);
                         });

using BindingTest = AdapterDoubleTest;

TEST_F(BindingTest, AMissingLibraryFailsInitWithOneLine) {
    useDouble("", "no_such_adapter_library.dll");
    testing::internal::CaptureStderr();
    EXPECT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), PCAN_USB_ERR_NO_LIBRARY);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pcan-usb: cannot load no_such_adapter_library.dll (Windows error 126)\n");
    CanFrame frame{};
    EXPECT_EQ(CAN_Read(&frame), CAN_ERR_NOT_INITIALIZED);
}

TEST_F(BindingTest, TheLibraryBesideTheProgramIsFoundByItsName) {
    useDouble("init=0x1234");  // a result only the double gives
    EXPECT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0x1234);
    EXPECT_EQ(calls(), std::vector<std::string>{"CAN_Init 0x0014 0"});
}

TEST_F(BindingTest, OperationsBeforeTheFirstInitReachNoLibrary) {
    useDouble("");
    CanFrame frame = frameOf(0x00B, {1});
    EXPECT_EQ(CAN_Write(&frame), CAN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(CAN_Read(&frame), CAN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(CAN_ResetClient(), CAN_ERR_NOT_INITIALIZED);
    EXPECT_EQ(CAN_MsgFilter(0, 1023, 0), CAN_ERR_NOT_INITIALIZED);
    EXPECT_TRUE(calls().empty());
}

TEST_F(BindingTest, TheDefaultBackendOnWindowsIsTheAdapterLibrary) {
    const CanBackend* backend = canOpenBackend("");
    ASSERT_NE(backend, nullptr);
    EXPECT_STREQ(backend->name, "pcan-usb");
    EXPECT_EQ(canOpenBackend("pcan-usb"), backend);
}

// --- Link start-up -----------------------------------------------------------------

struct StartUpCase {
    const char* name;
    const char* script;
    int32_t result;
    const char* transcript;
    size_t callsMade;  // how many of the three start-up calls reached the library
};

void PrintTo(const StartUpCase& param, std::ostream* os) { *os << param.name; }

class StartUpTest : public AdapterDoubleTest, public testing::WithParamInterface<StartUpCase> {};

TEST_P(StartUpTest, PrintsOneLinePerStepAndStopsAtTheFirstFailure) {
    useDouble(GetParam().script);
    beginStdoutCapture();
    const int32_t result = canStart();
    EXPECT_EQ(endStdoutCapture(), GetParam().transcript);
    EXPECT_EQ(result, GetParam().result);
    const std::vector<std::string> expected(START_UP_CALLS.begin(),
                                            START_UP_CALLS.begin() + GetParam().callsMade);
    EXPECT_EQ(calls(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Results, StartUpTest,
    testing::Values(StartUpCase{"AllSucceed", "", 0,
                                "SUCCESS - CAN_Init()\nSUCCESS - CAN_ResetClient()\n"
                                "SUCCESS - CAN_MsgFilter()\n",
                                3},
                    StartUpCase{"InitFails", "init=1", 1, "ERROR - CAN_Init(): 1\n", 1},
                    StartUpCase{"InitFailsWithTopBitSet", "init=0xFFFFFFFF", -1,
                                "ERROR - CAN_Init(): -1\n", 1},
                    StartUpCase{"ResetClientFails", "reset=0x2000", 0x2000,
                                "SUCCESS - CAN_Init()\nERROR - CAN_ResetClient(): 8192\n", 2},
                    StartUpCase{"MsgFilterFails", "filter=0x80000000", INT32_MIN,
                                "SUCCESS - CAN_Init()\nSUCCESS - CAN_ResetClient()\n"
                                "ERROR - CAN_MsgFilter(): -2147483648\n",
                                3}),
    [](const testing::TestParamInfo<StartUpCase>& info) { return info.param.name; });

using RestartTest = AdapterDoubleTest;

TEST_F(RestartTest, ASecondStartAfterAFailureBeginsAgainWithInit) {
    useDouble("init=5,0");
    beginStdoutCapture();
    const int32_t first = canStart();
    const int32_t second = canStart();
    EXPECT_EQ(endStdoutCapture(),
              "ERROR - CAN_Init(): 5\n"
              "SUCCESS - CAN_Init()\nSUCCESS - CAN_ResetClient()\nSUCCESS - CAN_MsgFilter()\n");
    EXPECT_EQ(first, 5);
    EXPECT_EQ(second, 0);
    std::vector<std::string> expected = {"CAN_Init 0x0014 0"};
    expected.insert(expected.end(), START_UP_CALLS.begin(), START_UP_CALLS.end());
    EXPECT_EQ(calls(), expected);
}

// --- Frames --------------------------------------------------------------------------

using FrameTest = AdapterDoubleTest;

TEST_F(FrameTest, AReplyAfterAnEmptyQueueIsTakenWithoutOutput) {
    useDouble("empty=25;rx=20B#0103");
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0);
    CanFrame frame{};
    beginStdoutCapture();
    EXPECT_EQ(readReply(&frame), 0);
    EXPECT_EQ(endStdoutCapture(), "");
    EXPECT_EQ(frame.ID, 0x20Bu);
    EXPECT_EQ(frame.TYPE, FRAME_TYPE_STANDARD);
    EXPECT_EQ(frame.LEN, 2);
    EXPECT_EQ(frame.DATA[0], 0x01);
    EXPECT_EQ(frame.DATA[1], 0x03);
}

TEST_F(FrameTest, EveryFieldOfAReceivedRecordLandsInPlace) {
    useDouble("rx=7FF#0102030405060708;rx=123#AA/80;readerror=0x4000");
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0);
    CanFrame frame{};
    ASSERT_EQ(CAN_Read(&frame), 0);
    EXPECT_EQ(frame.ID, 0x7FFu);
    EXPECT_EQ(frame.LEN, 8);
    for (int i = 0; i < CAN_MAX_DATA; ++i) {
        EXPECT_EQ(frame.DATA[i], i + 1) << "DATA[" << i << "]";
    }
    ASSERT_EQ(CAN_Read(&frame), 0);
    EXPECT_EQ(frame.ID, 0x123u);
    EXPECT_EQ(frame.TYPE, FRAME_TYPE_STATUS);
    EXPECT_EQ(frame.LEN, 1);
    EXPECT_EQ(frame.DATA[0], 0xAA);
    EXPECT_EQ(CAN_Read(&frame), 0x4000);
    EXPECT_EQ(CAN_Read(&frame), RX_QUEUE_EMPTY);
}

struct ReplyCase {
    const char* name;
    const char* script;
    int result;
    const char* transcript;
};

void PrintTo(const ReplyCase& param, std::ostream* os) { *os << param.name; }

class ReplyKindTest : public AdapterDoubleTest, public testing::WithParamInterface<ReplyCase> {};

TEST_P(ReplyKindTest, ReadReplyClassifiesWhatTheLibraryHandsOver) {
    useDouble(GetParam().script);
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0);
    CanFrame frame{};
    beginStdoutCapture();
    EXPECT_EQ(readReply(&frame), GetParam().result);
    EXPECT_EQ(endStdoutCapture(), GetParam().transcript);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ReplyKindTest,
    testing::Values(
        ReplyCase{"Standard", "rx=00C#0301", 0, ""},
        ReplyCase{"Status", "empty=3;rx=000#00000042/80", 1,
                  "Got status message, DATA[3] = 0x0042\n"},
        ReplyCase{"StatusZero", "rx=000#00000000/80", 1, "Got status message, DATA[3] = 0x0000\n"},
        ReplyCase{"OtherType", "rx=00B#01/02", 1, ""},
        ReplyCase{"ReadError", "empty=2;readerror=0x4000", 1, "ERROR - CAN_Read(): 16384\n"},
        ReplyCase{"NegativeReadError", "readerror=0xFFFFFFFE", 1, "ERROR - CAN_Read(): -2\n"}),
    [](const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

TEST_F(FrameTest, AWrittenFrameComesBackUnchangedThroughTheFilter) {
    useDouble("echo");
    beginStdoutCapture();
    ASSERT_EQ(canStart(), 0);
    endStdoutCapture();

    CanFrame sent = frameOf(0x00D, {0x81, 0x03, 0x00, 0x00});
    sent.DATA[5] = 0x5A;  // beyond LEN: carries nothing, but the library passes it on
    ASSERT_EQ(CAN_Write(&sent), 0);
    CanFrame received{};
    ASSERT_EQ(CAN_Read(&received), 0);
    EXPECT_EQ(std::memcmp(&received, &sent, offsetof(CanFrame, UNUSED)), 0);

    const std::vector<std::string> log = calls();
    ASSERT_EQ(log.size(), START_UP_CALLS.size() + 1);
    EXPECT_EQ(log.back(), "write 00D#81030000");
}

TEST_F(FrameTest, TheFilterSetAtStartUpKeepsIdentifiersAbove1023Out) {
    useDouble("echo");
    beginStdoutCapture();
    ASSERT_EQ(canStart(), 0);
    endStdoutCapture();

    CanFrame frame = frameOf(0x400, {1});
    ASSERT_EQ(CAN_Write(&frame), 0);
    frame = frameOf(0x3FF, {2});
    ASSERT_EQ(CAN_Write(&frame), 0);
    CanFrame received{};
    ASSERT_EQ(CAN_Read(&received), 0);
    EXPECT_EQ(received.ID, 0x3FFu);
    EXPECT_EQ(received.DATA[0], 2);
    EXPECT_EQ(CAN_Read(&received), RX_QUEUE_EMPTY);
}

TEST_F(FrameTest, ANarrowerFilterPassesOnlyItsRange) {
    useDouble("echo");
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0);
    ASSERT_EQ(CAN_MsgFilter(0x10, 0x1F, CAN_INIT_TYPE_STANDARD), 0);
    for (uint32_t id : {0x0Fu, 0x10u, 0x1Fu, 0x20u}) {
        CanFrame frame = frameOf(id, {static_cast<uint8_t>(id)});
        ASSERT_EQ(CAN_Write(&frame), 0);
    }
    std::vector<uint32_t> passed;
    CanFrame received{};
    while (CAN_Read(&received) == 0) {
        passed.push_back(received.ID);
    }
    EXPECT_EQ(passed, (std::vector<uint32_t>{0x10, 0x1F}));
    EXPECT_EQ(calls()[1], "CAN_MsgFilter 16 31 0");
}

TEST_F(FrameTest, TheWriteResultIsTheLibrarys) {
    useDouble("write=0,7");
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0);
    CanFrame frame = frameOf(0x00B, {3});
    EXPECT_EQ(CAN_Write(&frame), 0);
    EXPECT_EQ(CAN_Write(&frame), 7);
}

// --- Waiting -------------------------------------------------------------------------

// A clock that moves on by a fixed step whenever it is read.
int64_t steppingNowUs = 0;
constexpr int64_t CLOCK_STEP_US = 50'000;
int64_t steppingClockNowUs() { return steppingNowUs += CLOCK_STEP_US; }
void steppingClockSleepUs(int64_t us) { steppingNowUs += us; }
const ClockSource STEPPING_CLOCK = {steppingClockNowUs, steppingClockSleepUs};

using WaitTest = AdapterDoubleTest;

TEST_F(WaitTest, AWaitOnASilentBusEndsAtTheDeadlineOfTheUtilitysClock) {
    useDouble("");
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0);
    clockUse(&STEPPING_CLOCK);
    steppingNowUs = 0;
    CanFrame frame{};
    beginStdoutCapture();
    const ReplyOutcome outcome = awaitReply(&frame);
    const std::string out = endStdoutCapture();
    const int64_t endedUs = steppingNowUs;
    clockUse(nullptr);
    EXPECT_EQ(outcome, REPLY_TIMEOUT);
    EXPECT_EQ(out, "ERROR - no reply within 1000 ms\n");
    // The wait reads the clock a bounded number of times: one step per wait at most.
    EXPECT_GE(endedUs, REPLY_TIMEOUT_MS * 1000);
    EXPECT_LE(endedUs, REPLY_TIMEOUT_MS * 1000 + 3 * CLOCK_STEP_US);
}

TEST_F(WaitTest, WaitingConsumesNothingFromTheQueue) {
    useDouble("rx=00B#01");
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), 0);
    CAN_WaitForFrame(clockNowUs() + REPLY_TIMEOUT_MS * 1000);
    CanFrame frame{};
    ASSERT_EQ(CAN_Read(&frame), 0);
    EXPECT_EQ(frame.ID, 0x00Bu);
}

}  // namespace
