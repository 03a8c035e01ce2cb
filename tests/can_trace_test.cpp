// The link's trace (DOVEL_CAN_TRACE): its lines for each adapter operation, a file
// that cannot be opened or written, and a whole update against the simulated hand's
// own trace of its bus.
#include "can/can_trace.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "can/can_api.h"
#include "tests/support/environment.h"
#include "tests/support/scripted_adapter.h"
#include "tests/support/temp_file.h"
#include "tests/support/update_run.h"

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The ID#DATA of every frame line of a candump log, in order; comments left out.
std::vector<std::string> framesOf(const std::string& log) {
    static const std::regex FRAME_LINE(R"(\(\d+\.\d{6}\) \S+ ([0-9A-F]{3}#(?:[0-9A-F]{2})*))");
    std::vector<std::string> frames;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, FRAME_LINE)) {
            frames.push_back(match[1]);
        }
    }
    return frames;
}

class LinkTraceTest : public testing::Test {
  protected:
    void SetUp() override { scriptedAdapterInstall(&adapter); }
    void TearDown() override {
        canTraceClose();
        clearEnvironment(CAN_TRACE_VARIABLE);
        scriptedAdapterRemove();
        std::remove(path.c_str());
    }
    int32_t initTraced(const std::string& tracePath) {
        setEnvironment(CAN_TRACE_VARIABLE, tracePath.c_str());
        return CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
    }
    ScriptedAdapter adapter;
    std::string path = uniqueTempPath("trace");
};

struct TraceCase {
    const char* name;
    std::function<void(ScriptedAdapter&)> act;
    std::string lines;  // after the start-up's own line
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

class TraceLinesTest : public LinkTraceTest, public testing::WithParamInterface<TraceCase> {};

CanFrame readOne() {
    CanFrame frame{};
    CAN_Read(&frame);
    return frame;
}

const TraceCase TRACE_CASES[] = {
    {"StartUpSteps",
     [](ScriptedAdapter& a) {
         a.msgFilterResult = 7;
         CAN_ResetClient();
         CAN_MsgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID, CAN_INIT_TYPE_STANDARD);
     },
     "# (0.000000) scripted CAN_ResetClient returned 0\n"
     "# (0.000000) scripted CAN_MsgFilter returned 7\n"},
    {"WrittenFrameWithItsStamp",
     [](ScriptedAdapter& a) {
         a.nowUs = 12345678;
         const CanFrame query = makeFrame(0x00B, {0x03});
         CAN_Write(&query);
     },
     "(12.345678) scripted 00B#03\n"},
    {"FailedWriteIsAComment",
     [](ScriptedAdapter& a) {
         a.writeResult = 0x30009;
         const CanFrame query = makeFrame(0x00C, {0x83, 0x00, 0x0B});
         CAN_Write(&query);
     },
     "# (0.000000) scripted write of TYPE 0x00 LEN 3 returned 196617: 00C#83000B\n"},
    {"FrameRead",
     [](ScriptedAdapter& a) {
         queueFrame(a, makeFrame(0x20B, {0x81, 0x00, 0x25, 0x12}));
         readOne();
     },
     "(0.000000) scripted 20B#81002512\n"},
    {"EmptyQueueLeavesNoLine", [](ScriptedAdapter&) { readOne(); }, ""},
    {"StatusRecordIsAComment",
     [](ScriptedAdapter& a) {
         queueFrame(a, makeFrame(0, {0, 0, 0, 0x08}, FRAME_TYPE_STATUS));
         readOne();
     },
     "# (0.000000) scripted status 000#00000008\n"},
    {"RecordOfAnotherType",
     [](ScriptedAdapter& a) {
         queueFrame(a, makeFrame(0x00B, {0x01}, 0x02));
         readOne();
     },
     "# (0.000000) scripted record of TYPE 0x02 00B#01\n"},
    {"RecordWithLenAbove8",
     [](ScriptedAdapter& a) {
         CanFrame frame = makeFrame(0x20B, {1, 2, 3, 4, 5, 6, 7, 8});
         frame.LEN = 15;
         queueFrame(a, frame);
         readOne();
     },
     "# (0.000000) scripted record of TYPE 0x00 LEN 15 20B#0102030405060708\n"},
    {"ReadError",
     [](ScriptedAdapter& a) {
         queueResult(a, 256);
         readOne();
     },
     "# (0.000000) scripted read returned 256\n"},
};

TEST_P(TraceLinesTest, EachOperationGivesItsLine) {
    ASSERT_EQ(initTraced(path), CAN_OK);
    GetParam().act(adapter);
    EXPECT_EQ(fileText(path), "# (0.000000) scripted CAN_Init returned 0\n" + GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Operations, TraceLinesTest, testing::ValuesIn(TRACE_CASES),
                         [](const testing::TestParamInfo<TraceCase>& info) {
                             return info.param.name;
                         });

TEST_F(LinkTraceTest, UnopenableFileFailsTheStartUpUntilARetryCanOpenIt) {
    const std::string missingFolder = testing::TempDir() + "no-such-folder/trace.log";
    testing::internal::CaptureStderr();
    EXPECT_EQ(initTraced(missingFolder), CAN_ERR_TRACE_FILE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "DOVEL_CAN_TRACE: cannot open the trace file " + missingFolder +
                  ": No such file or directory\n");
    EXPECT_TRUE(adapter.calls.empty()) << "the adapter was started without its trace";

    EXPECT_EQ(initTraced(path), CAN_OK);
    EXPECT_EQ(fileText(path), "# (0.000000) scripted CAN_Init returned 0\n");
}

TEST_F(LinkTraceTest, RetriedStartUpGoesOnInTheSameTrace) {
    adapter.initResult = 3;
    EXPECT_EQ(initTraced(path), 3);
    adapter.initResult = 0;
    EXPECT_EQ(initTraced(path), CAN_OK);
    EXPECT_EQ(fileText(path),
              "# (0.000000) scripted CAN_Init returned 3\n"
              "# (0.000000) scripted CAN_Init returned 0\n");
}

#if defined(__linux__)
TEST_F(LinkTraceTest, FailingWriteIsReportedOnceAndTheRunGoesOn) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(initTraced("/dev/full"), CAN_OK);
    const CanFrame query = makeFrame(0x00B, {0x03});
    EXPECT_EQ(CAN_Write(&query), CAN_OK);
    EXPECT_EQ(CAN_Write(&query), CAN_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "DOVEL_CAN_TRACE: writing /dev/full failed: No space left on device; the trace "
              "ends here, the update goes on\n");
    EXPECT_EQ(adapter.written.size(), 2u);
}
#endif

// The utility reads every frame the hand puts on the bus for it, so the link's trace
// holds the very frames of the hand's own trace, in the same order.
TEST(LinkTraceOfAWholeUpdate, HoldsTheSimulatedBusFramesInOrder) {
    const std::string linkTrace = uniqueTempPath("link-trace");
    const std::string handTrace = uniqueTempPath("hand-trace");
    setEnvironment(CAN_TRACE_VARIABLE, linkTrace.c_str());
    setEnvironment("DOVEL_SIM_TRACE", handTrace.c_str());
    const UpdateRun run = runUpdateOnSimulatedHand("", exampleImagePath());
    canTraceClose();
    clearEnvironment(CAN_TRACE_VARIABLE);
    clearEnvironment("DOVEL_SIM_TRACE");

    const std::string log = fileText(linkTrace);
    const std::vector<std::string> frames = framesOf(log);
    EXPECT_GT(frames.size(), 70000u);
    EXPECT_EQ(frames, framesOf(fileText(handTrace)));
    static const std::regex LINE(R"((\(\d+\.\d{6}\) sim [0-9A-F]{3}#([0-9A-F]{2}){0,8}|# .*)\n)");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(std::regex_match(line + "\n", LINE)) << line;
    }
    std::remove(linkTrace.c_str());
    std::remove(handTrace.c_str());
}

}  // namespace
