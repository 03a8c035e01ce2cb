// The link's trace (DOVEL_CAN_TRACE): its lines for each adapter operation, a file
// that cannot be opened or written, and a whole update against the simulated hand's
// own trace of its bus.
#include "can/can_trace.h"

#include <gtest/gtest.h>
#if defined(__linux__)
#include <sys/stat.h>
#endif

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "can/can_api.h"
#include "can/candump_line.h"
#include "protocol/access_code.h"
#include "protocol/access_code_mask.h"
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

// What the CAN tools read: "(SECONDS.MICROSECONDS) IFACE ID#DATA", and no other line.
void expectOnlyCandumpLines(const std::string& log) {
    static const std::regex LINE(
        R"(\(\d{10}\.\d{6}\) \S+ ([0-9A-F]{3}|[0-9A-F]{8})#([0-9A-F]{2}){0,8})");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(std::regex_match(line, LINE)) << line;
    }
    EXPECT_TRUE(log.empty() || log.back() == '\n');
}

class LinkTraceTest : public testing::Test {
  protected:
    void SetUp() override { scriptedAdapterInstall(&adapter); }
    void TearDown() override {
        canTraceClose();
        scriptedAdapterRemove();
        std::remove(path.c_str());
    }
    int32_t initTraced(const std::string& tracePath) {
        const int error = canTraceOpen(tracePath.c_str(), accessCodeMasked, false);
        return error != 0 ? error : CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
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
    {"StartUpStepsLeaveNoLine",
     [](ScriptedAdapter& a) {
         a.msgFilterResult = 7;
         CAN_ResetClient();
         CAN_MsgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID, CAN_INIT_TYPE_STANDARD);
     },
     ""},
    {"FailedStartUpLeavesNoLine",
     [](ScriptedAdapter& a) {
         a.initResult = 3;
         CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
     },
     ""},
    {"WrittenFrameWithItsStamp",
     [](ScriptedAdapter& a) {
         a.nowUs = 1765234567123456;
         const CanFrame query = makeFrame(0x00B, {0x03});
         CAN_Write(&query);
     },
     "(1765234567.123456) scripted 00B#03\n"},
    {"FailedWriteLeavesNoLine",
     [](ScriptedAdapter& a) {
         a.writeResult = 0x30009;
         const CanFrame unlock = makeFrame(0x00C, {0x8D, 0x00, 0x7A, 0x4C});
         CAN_Write(&unlock);
         a.writeResult = 0;
     },
     ""},
    {"FrameRead",
     [](ScriptedAdapter& a) {
         queueFrame(a, makeFrame(0x20B, {0x81, 0x00, 0x25, 0x12}));
         readOne();
     },
     "(0000000000.000000) scripted 20B#81002512\n"},
    {"EmptyQueueLeavesNoLine", [](ScriptedAdapter&) { readOne(); }, ""},
    {"StatusRecordIsAnErrorFrameWithItsBytes",
     [](ScriptedAdapter& a) {
         queueFrame(a, makeFrame(0x004, {0x11, 0x22, 0x33, 0x08}, FRAME_TYPE_STATUS));
         readOne();
     },
     "(0000000000.000000) scripted 20000080#1122330800000000\n"},
    {"RecordOfAnotherTypeLeavesNoLine",
     [](ScriptedAdapter& a) {
         queueFrame(a, makeFrame(0x00B, {0x01}, 0x02));
         readOne();
     },
     ""},
    {"RecordWithLenAbove8AndALongIdIsAValidLine",
     [](ScriptedAdapter& a) {
         CanFrame frame = makeFrame(0xFFFFFFFF, {1, 2, 3, 4, 5, 6, 7, 8});
         frame.LEN = 15;
         queueFrame(a, frame);
         readOne();
     },
     "(0000000000.000000) scripted 1FFFFFFF#0102030405060708\n"},
    {"ReadErrorLeavesNoLine",
     [](ScriptedAdapter& a) {
         queueResult(a, 256);
         readOne();
     },
     ""},
    {"UnlockSetsAreMasked",
     [](ScriptedAdapter&) {
         for (const CanFrame& unlock : {makeFrame(0x00B, {0x8D, 0x00, 0x7A, 0x4C}),
                                        makeFrame(0x00E, {0x88, 0x00, 0x3E, 0x1D, 0x05}),
                                        makeFrame(0x00C, {0x8D, 0x00, 0x7A})}) {
             CAN_Write(&unlock);
         }
     },
     "(0000000000.000000) scripted 00B#8D00FFFF\n(0000000000.000000) scripted 00E#8800FFFFFF\n"
     "(0000000000.000000) scripted 00C#8D00FF\n"},
};

TEST_P(TraceLinesTest, EachOperationGivesItsLine) {
    ASSERT_EQ(initTraced(path), CAN_OK);
    GetParam().act(adapter);
    EXPECT_EQ(fileText(path), GetParam().lines);
    expectOnlyCandumpLines(fileText(path));
}

INSTANTIATE_TEST_SUITE_P(Operations, TraceLinesTest, testing::ValuesIn(TRACE_CASES),
                         [](const testing::TestParamInfo<TraceCase>& info) {
                             return info.param.name;
                         });

TEST_F(LinkTraceTest, UnopenableFileSaysWhyAndALaterOpenCanMakeIt) {
    const std::string missingFolder = testing::TempDir() + "no-such-folder/trace.log";
    testing::internal::CaptureStderr();
    EXPECT_EQ(initTraced(missingFolder), ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(adapter.calls.empty()) << "the adapter was started without its trace";

    EXPECT_EQ(initTraced(path), CAN_OK);
    const CanFrame query = makeFrame(0x00B, {0x03});
    CAN_Write(&query);
    EXPECT_EQ(fileText(path), "(0000000000.000000) scripted 00B#03\n");
}

TEST(CandumpLine, NoNameOrStampCanBreakTheLine) {
    const CanFrame frame = makeFrame(0x00B, {0x03});
    EXPECT_EQ(std::string(candumpFrameLine(-5, "a very long name\twith blanks", frame).text),
              "(0000000000.000000) a_very_long_nam 00B#03\n");
    EXPECT_EQ(std::string(candumpFrameLine(INT64_MAX, "", frame).text),
              "(9223372036854.775807) - 00B#03\n");
}

#if defined(__linux__)
// A trace that holds the access code is its owner's alone, also where a readable file of
// that name was there before.
TEST(TraceFile, UnmaskedTraceIsMadeReadableByItsOwnerOnly) {
    const std::string path = uniqueTempPath("owner-only");
    for (const bool ownerOnly : {false, true}) {
        std::FILE* file = canTraceCreateFile(path.c_str(), ownerOnly);
        ASSERT_NE(file, nullptr);
        std::fputs("line\n", file);
        std::fclose(file);
        struct stat made {};
        ASSERT_EQ(stat(path.c_str(), &made), 0);
        EXPECT_EQ(made.st_mode & 0077, ownerOnly ? 0u : 0044u & ~static_cast<unsigned>(umask(022)));
        EXPECT_EQ(made.st_size, 5);
    }
    std::remove(path.c_str());
}

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
// holds the very frames of the hand's own trace, in the same order, stamped with the
// wall clock; the access code's words are in neither unless asked for.
struct WholeUpdateCase {
    const char* name;
    bool codeShown;  // DOVEL_CAN_TRACE_UNMASKED=1
};

class LinkTraceOfAWholeUpdate : public testing::TestWithParam<WholeUpdateCase> {};

TEST_P(LinkTraceOfAWholeUpdate, HoldsTheSimulatedBusFramesInOrder) {
    const std::string linkTrace = uniqueTempPath("link-trace");
    const std::string handTrace = uniqueTempPath("hand-trace");
    const bool unmasked = GetParam().codeShown;
    ASSERT_EQ(canTraceOpen(linkTrace.c_str(), unmasked ? nullptr : accessCodeMasked, unmasked), 0);
    const int64_t startSeconds = canTraceWallClockUs() / 1000000;
    const UpdateRun run = runUpdateOnSimulatedHand("", exampleImagePath(), nullptr, handTrace,
                                                   DOWNLOAD_ONE_BY_ONE, unmasked);
    canTraceClose();

    const std::string log = fileText(linkTrace);
    const std::vector<std::string> frames = framesOf(log);
    EXPECT_GT(frames.size(), 70000u);
    EXPECT_EQ(frames, framesOf(fileText(handTrace)));
    EXPECT_GE(std::stoll(log.substr(1, 10)), startSeconds) << log.substr(0, 40);
    // Controller 11 takes the code's words at its preparation and its restoration.
    char firstWord[8];
    std::snprintf(firstWord, sizeof firstWord, "%02X%02X", accessCodeWord(0) & 0xFFU,
                  static_cast<unsigned>(accessCodeWord(0) >> 8));
    long masked = 0;
    long shown = 0;
    for (const std::string& frame : frames) {
        if (frame.starts_with("00B#8D00") || frame.starts_with("00B#8800")) {
            masked += frame.ends_with("FFFF") ? 1 : 0;
            shown += frame.ends_with(firstWord) ? 1 : 0;
        }
    }
    EXPECT_EQ(masked, GetParam().codeShown ? 0 : 2 * ACCESS_CODE_WORDS);
    EXPECT_EQ(shown, GetParam().codeShown ? 2 : 0);
    expectOnlyCandumpLines(log);
    std::remove(linkTrace.c_str());
    std::remove(handTrace.c_str());
}

INSTANTIATE_TEST_SUITE_P(Traces, LinkTraceOfAWholeUpdate,
                         testing::Values(WholeUpdateCase{"Masked", false},
                                         WholeUpdateCase{"Unmasked", true}),
                         [](const testing::TestParamInfo<WholeUpdateCase>& info) {
                             return info.param.name;
                         });

}  // namespace
