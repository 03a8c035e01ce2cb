#include "firmware/download.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scripted_adapter.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_file.h"

namespace {

constexpr int DOVEL = 12;
constexpr int64_t READY_DELAY_US = 200;

// Answers the start request and each character with one frame, as a controller in
// its monitor does, until told to stop.
struct StreamingDovel {
    int charactersBeforeSilence = 1 << 30;
    int characters = 0;
    std::string received;
};

class DownloadTest : public testing::Test {
  protected:
    void SetUp() override {
        scriptedAdapterInstall(&adapter);
        adapter.onWrite = [this](ScriptedAdapter& a, const CanFrame& f) {
            if (f.LEN == 1) {
                dovel.received.push_back(static_cast<char>(f.DATA[0]));
                if (++dovel.characters >= dovel.charactersBeforeSilence) {
                    return;
                }
            }
            queueFrame(a, makeFrame(0x200 | DOVEL, {0x01}), a.nowUs + READY_DELAY_US);
        };
    }
    void TearDown() override { scriptedAdapterRemove(); }

    int download(const std::string& content) {
        TempFile file(content);
        beginStdoutCapture();
        const int result = downloadFirmware(DOVEL, file.path.c_str());
        text = endStdoutCapture();
        return result;
    }

    ScriptedAdapter adapter;
    StreamingDovel dovel;
    std::string text;
};

std::string progress(std::initializer_list<int> percents) {
    std::string s;
    for (int p : percents) {
        s += "\rDownload progress: " + std::to_string(p) + "%   ";
    }
    return s;
}

const char* const COMPLETE = "\nDownload complete!   ";

struct StreamCase {
    const char* name;
    std::string content;
    std::string expectedCharacters;
    std::string expectedProgress;
};

class DownloadStreamTest : public DownloadTest, public testing::WithParamInterface<StreamCase> {};

TEST_P(DownloadStreamTest, SendsExactlyTheSelectedCharacters) {
    const StreamCase& c = GetParam();
    EXPECT_EQ(download(c.content), 0);
    EXPECT_EQ(dovel.received, c.expectedCharacters);
    EXPECT_EQ(text, c.expectedProgress + COMPLETE);
    ASSERT_FALSE(adapter.written.empty());
    EXPECT_EQ(frameText(adapter.written[0]), "00C#8000AA00");
    for (size_t i = 1; i < adapter.written.size(); ++i) {
        EXPECT_EQ(adapter.written[i].ID, static_cast<uint32_t>(DOVEL));
        EXPECT_EQ(adapter.written[i].LEN, 1);
        EXPECT_EQ(adapter.written[i].TYPE, FRAME_TYPE_STANDARD);
    }
}

std::string lines(int count) {
    std::string s;
    for (int i = 0; i < count; ++i) {
        s += "%" + std::to_string(i % 10) + "\n";
    }
    return s;
}

std::string digits(int count) {
    std::string s;
    for (int i = 0; i < count; ++i) {
        s += static_cast<char>('0' + i % 10);
    }
    return s;
}

std::string percentsOf(int total) {
    std::string s;
    for (int i = 1; i <= total; ++i) {
        s += progress({i * 100 / total});
    }
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Images, DownloadStreamTest,
    testing::Values(StreamCase{"Empty", "", "", ""},
                    StreamCase{"MarkAndTwoLetters", "%AB\n", "AB", progress({100})},
                    StreamCase{"SecondCharacterMinus", "%-AB\n", "", progress({100})},
                    StreamCase{"OnlyLf", "\n", "", progress({100})},
                    StreamCase{"SpaceEndsTheLine", "%12 34\n", "12", progress({100})},
                    StreamCase{"HighByte",
                               "%\x80"
                               "AB\n",
                               "", progress({100})},
                    StreamCase{"LowerCaseAndColon", "%ab:cd\n", "ab:cd", progress({100})},
                    StreamCase{"LastLineWithoutLf", "%AB\n%CD", "ABCD", progress({50, 100})},
                    StreamCase{"CrLfTwin", "%AB\r\n%CD\r\n", "ABCD", progress({50, 100})},
                    StreamCase{"CtrlZEndsTheImage", "%AB\n\x1a%CD\n", "AB", progress({100})},
                    StreamCase{"Line97", "%" + digits(96) + "\n", digits(96), progress({100})},
                    StreamCase{"Line98", "%" + digits(97) + "\n", digits(97), progress({50, 100})},
                    StreamCase{"Line150", "%" + digits(149) + "\n",
                               digits(97) + digits(149).substr(98), progress({50, 100})},
                    StreamCase{"ThreeLines", lines(3), "012", progress({33, 66, 100})},
                    StreamCase{"SevenLines", lines(7), "0123456",
                               progress({14, 28, 42, 57, 71, 85, 100})},
                    StreamCase{"TwoHundredLines", lines(200), digits(200), percentsOf(200)}),
    [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

TEST_F(DownloadTest, TwoHundredLinesShowZeroOneThenOneHundred) {
    ASSERT_EQ(download(lines(200)), 0);
    EXPECT_EQ(text.rfind(progress({0, 1}), 0), 0u);
    EXPECT_EQ(text.substr(text.size() - progress({100}).size() - std::string(COMPLETE).size()),
              progress({100}) + COMPLETE);
    EXPECT_EQ(dovel.received.size(), 200u);
}

TEST_F(DownloadTest, EachCharacterWaitsForOneReplyAndEachLinePausesOneMillisecond) {
    ASSERT_EQ(download("%AB\n\n%C\n"), 0);
    const std::vector<std::string> expected = {
        "CAN_Read", "CAN_Write 00C#8000AA00", "CAN_Read", "CAN_Write 00C#41",
        "CAN_Read", "CAN_Write 00C#42",       "CAN_Read", "CAN_Write 00C#43"};
    std::vector<std::string> significant;
    for (size_t i = 0; i < adapter.calls.size(); ++i) {
        // Empty reads while waiting are not significant; the read that took a frame is.
        const bool tookFrame = adapter.calls[i] == "CAN_Read" && i + 1 < adapter.calls.size() &&
                               adapter.calls[i + 1] != "CAN_Read";
        if (tookFrame || adapter.calls[i].rfind("CAN_Write", 0) == 0) {
            significant.push_back(adapter.calls[i]);
        }
    }
    EXPECT_EQ(significant, expected);
    // Three line pauses, and the wait for the answer to A, the one reply that was
    // not already there when its character was due.
    EXPECT_EQ(adapter.nowUs, 3 * 1000 + READY_DELAY_US);
}

TEST_F(DownloadTest, FramesQueuedBeforeTheStartAreDropped) {
    queueFrame(adapter, makeFrame(0x200 | 11, {0x01}));  // the previous controller's last reply
    ASSERT_EQ(download("%AB\n"), 0);
    // Paced by its own replies, the stream leaves just the answer to its last character.
    EXPECT_EQ(dovel.received, "AB");
    EXPECT_EQ(adapter.queue.size(), 1u);
}

// What reaches the adapter while the download waits for a controller's reply: the
// bound holds across status messages and read errors, the first reply may take long.
struct ReplyWaitCase {
    const char* name;
    int64_t firstReplyDelayUs;  // after the start request
    int statusBeforeEachReply;  // status messages queued ahead of each reply
    int repliesBeforeTrouble;   // then no reply any more, only the trouble below
    bool troubleIsReadErrors;   // else status messages
    int expectedResult;
    const char* expectedReceived;
    std::string expectedText;  // after the progress line
    int64_t maxUs;
};

void PrintTo(const ReplyWaitCase& c, std::ostream* out) { *out << c.name; }

const std::string STATUS_LINE = "Got status message, DATA[3] = 0x0008\n";
const std::string STOPPED = "\nDownload FAILED: Dovel 12 stopped replying\n";
const std::string START_UNANSWERED =
    "\nDownload FAILED: Dovel 12 did not answer its download start\n";

class DownloadReplyWaitTest : public DownloadTest,
                              public testing::WithParamInterface<ReplyWaitCase> {};

TEST_P(DownloadReplyWaitTest, WaitsWithinItsBound) {
    const ReplyWaitCase& c = GetParam();
    int replies = 0;
    adapter.onWrite = [&](ScriptedAdapter& a, const CanFrame& f) {
        if (f.LEN == 1) {
            dovel.received.push_back(static_cast<char>(f.DATA[0]));
        }
        const int64_t at = a.nowUs + (replies == 0 ? c.firstReplyDelayUs : READY_DELAY_US);
        if (replies++ >= c.repliesBeforeTrouble) {
            for (int i = 0; i < 500; ++i) {
                if (c.troubleIsReadErrors) {
                    queueResult(a, 256, at);
                } else {
                    queueFrame(a, makeFrame(0, {0, 0, 0, 8}, FRAME_TYPE_STATUS), at);
                }
            }
            return;
        }
        for (int i = 0; i < c.statusBeforeEachReply; ++i) {
            queueFrame(a, makeFrame(0, {0, 0, 0, 8}, FRAME_TYPE_STATUS), at);
        }
        queueFrame(a, makeFrame(0x200 | DOVEL, {0x01}), at);
    };
    EXPECT_EQ(download("%AB\n"), c.expectedResult);
    EXPECT_EQ(dovel.received, c.expectedReceived);
    EXPECT_EQ(text, progress({100}) + c.expectedText);
    EXPECT_LE(adapter.nowUs, c.maxUs);
    if (c.troubleIsReadErrors) {
        // A failing adapter is read at a pace, not in a busy loop.
        EXPECT_LT(std::count(adapter.calls.begin(), adapter.calls.end(), "CAN_Read"), 300);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadReplyWaitTest,
    testing::Values(
        ReplyWaitCase{"StatusBeforeEachReplyPrintedOnce", READY_DELAY_US, 3, 99, false, 0, "AB",
                      STATUS_LINE + STATUS_LINE + COMPLETE, 10000},
        ReplyWaitCase{"FirstReplyAfterFiveSecondsOfErasing", 5000000, 0, 99, false, 0, "AB",
                      COMPLETE, 5100000},
        ReplyWaitCase{"FirstReplyNeverComes", 0, 0, 0, false, 1, "",
                      STATUS_LINE + "ERROR - no reply within 30000 ms\n" + START_UNANSWERED,
                      30002000},
        ReplyWaitCase{"OnlyStatusMessagesAfterA", READY_DELAY_US, 0, 1, false, 1, "A",
                      STATUS_LINE + "ERROR - no reply within 1000 ms\n" + STOPPED, 1300000},
        ReplyWaitCase{"AdapterUnpluggedAfterA", READY_DELAY_US, 0, 1, true, 1, "A",
                      "ERROR - CAN_Read(): 256\n\nDownload FAILED: the CAN link is down (scripted: "
                      "every read and write failed for 1000 ms, the last CAN_Read(): 256)\n",
                      1300000}),
    [](const testing::TestParamInfo<ReplyWaitCase>& info) { return info.param.name; });

TEST_F(DownloadTest, ControllerThatStopsReplyingFailsTheDownload) {
    dovel.charactersBeforeSilence = 3;
    EXPECT_EQ(download("%ABCDEF\n%GH\n"), 1);
    EXPECT_EQ(dovel.received, "ABC");
    EXPECT_EQ(text, progress({50}) + "ERROR - no reply within 1000 ms\n" +
                        "\nDownload FAILED: Dovel 12 stopped replying\n");
}

TEST_F(DownloadTest, PathThatCannotBeOpenedSendsAndPrintsNothing) {
    beginStdoutCapture();
    EXPECT_EQ(downloadFirmware(DOVEL, "/nonexistent/dovel2.tek"), 1);
    EXPECT_EQ(endStdoutCapture(), "");
    EXPECT_TRUE(adapter.written.empty());
}

struct PercentCase {
    int line, total, expected;
};

class DownloadPercentTest : public testing::TestWithParam<PercentCase> {};

TEST_P(DownloadPercentTest, StaysWithinZeroToOneHundred) {
    EXPECT_EQ(downloadPercent(GetParam().line, GetParam().total), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, DownloadPercentTest,
                         testing::Values(PercentCase{1, 3, 33}, PercentCase{2, 3, 66},
                                         PercentCase{3, 3, 100}, PercentCase{1, 200, 0},
                                         PercentCase{2, 200, 1}, PercentCase{4, 7, 57},
                                         PercentCase{5, 3, 100},  // the file grew
                                         PercentCase{1, 0, 100}));

// The stream on its own: a script of what happens to it (at a time: "a" advance, "h"
// advance held back by its walk, "r" a reply handed to it that it awaits, "R" one it does
// not), and the frames it sends and when.
struct StreamScriptCase {
    const char* name;
    const char* image;
    const char* script;             // "a0 r0 a1000 ...": an action and the time it happens at
    std::vector<std::string> sent;  // "TIME FRAME"
    DownloadStreamState endState;
    int64_t replyDueUs;  // at the end, while a reply is awaited
};

void PrintTo(const StreamScriptCase& c, std::ostream* out) { *out << c.name; }

class DownloadStreamScriptTest : public DownloadTest,
                                 public testing::WithParamInterface<StreamScriptCase> {};

TEST_P(DownloadStreamScriptTest, SendsWhatItsRepliesAndTheTimeAllow) {
    const StreamScriptCase& c = GetParam();
    adapter.onWrite = nullptr;
    ImageBytes image;
    image.bytes.assign(c.image, c.image + std::strlen(c.image));
    DownloadStream stream{};
    DownloadReport report{};
    ASSERT_EQ(startDownloadStream(&stream, DOVEL, ImageSource{nullptr, &image}, &report), 0);
    std::istringstream script(c.script);
    std::string step;
    while (script >> step) {
        adapter.nowUs = std::stoll(step.substr(1));
        if (step[0] == 'r' || step[0] == 'R') {
            EXPECT_EQ(takeDownloadReply(&stream, 0x200 | DOVEL), step[0] == 'r') << step;
        } else {
            advanceDownloadStream(&stream, adapter.nowUs, step[0] == 'a');
        }
    }
    std::vector<std::string> sent;
    for (size_t i = 0; i < adapter.written.size(); ++i) {
        sent.push_back(std::to_string(adapter.writtenAtUs[i]) + " " +
                       frameText(adapter.written[i]));
    }
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(stream.state, c.endState);
    EXPECT_EQ(report.characters, static_cast<long long>(c.sent.size()) - 1);
    if (downloadStreamAwaitsReply(stream)) {
        EXPECT_EQ(stream.replyDueUs, c.replyDueUs);
    }
}

const char* const START = "0 00C#8000AA00";

INSTANTIATE_TEST_SUITE_P(
    Scripts, DownloadStreamScriptTest,
    testing::Values(StreamScriptCase{"ReadyReplyAwaitedWithTheFirstBound",
                                     "%AB\n",
                                     "a0 a5000",
                                     {START},
                                     STREAM_SENDING,
                                     30000000},
                    StreamScriptCase{"LinePauseThenOneCharacterPerReply",
                                     "%AB\n",
                                     "a0 r10 R20 a999 a1000 a1100 r1200 R1200 a1300 a1400",
                                     {START, "1000 00C#41", "1300 00C#42"},
                                     STREAM_DONE,
                                     0},
                    StreamScriptCase{"AfterACharacterTheBoundIsTheLinks",
                                     "%AB\n",
                                     "r0 a0 a1000 a1500",
                                     {START, "1000 00C#41"},
                                     STREAM_SENDING,
                                     1001000},
                    StreamScriptCase{"HeldBackItSendsNothing",
                                     "%AB\n",
                                     "r0 a0 h1000 h5000 a6000",
                                     {START, "6000 00C#41"},
                                     STREAM_SENDING,
                                     1006000},
                    StreamScriptCase{"EachLinePausesAlsoOneThatSendsNothing",
                                     "%\n%-X\n%A\n",
                                     "r0 a0 a1000 a1999 a2000 a3000",
                                     {START, "3000 00C#41"},
                                     STREAM_DONE,
                                     0},
                    StreamScriptCase{"NoReplyAwaitedAfterTheLastCharacter",
                                     "%A\n",
                                     "r0 a0 a1000 R1100 a1200",
                                     {START, "1000 00C#41"},
                                     STREAM_DONE,
                                     0},
                    StreamScriptCase{"ReplyDuringThePauseCounts",
                                     "%A\n%B\n",
                                     "r0 a0 a1000 a1000 r1500 a2000",
                                     {START, "1000 00C#41", "2000 00C#42"},
                                     STREAM_DONE,
                                     0}),
    [](const testing::TestParamInfo<StreamScriptCase>& info) { return info.param.name; });

// Windows refuses to replace a file another handle holds open: nothing to test there.
#if !defined(_WIN32)
TEST_F(DownloadTest, StreamReadsTheFileItOpenedNotOneThatReplacesIt) {
    TempFile file("%AB\n%CD\n");
    DownloadStream stream{};
    DownloadReport report{};
    ASSERT_EQ(startDownloadStream(&stream, DOVEL, ImageSource{file.path.c_str(), nullptr}, &report),
              0);
    TempFile other("%XY\n");
    ASSERT_EQ(std::rename(other.path.c_str(), file.path.c_str()), 0);
    beginStdoutCapture();
    EXPECT_EQ(continueDownloadAlone(&stream), 0);
    text = endStdoutCapture();
    EXPECT_EQ(dovel.received, "ABCD");
    EXPECT_EQ(text, progress({50, 100}) + COMPLETE);
}
#endif

TEST_F(DownloadTest, StreamGoesOnAloneFromWhereItIs) {
    ImageBytes image;
    const std::string content = "%AB\n%CD\n";
    image.bytes.assign(content.begin(), content.end());
    DownloadStream stream{};
    DownloadReport report{};
    ASSERT_EQ(startDownloadStream(&stream, DOVEL, ImageSource{nullptr, &image}, &report), 0);
    takeDownloadReply(&stream, 0x200 | DOVEL);
    advanceDownloadStream(&stream, 0, true);
    advanceDownloadStream(&stream, 1000, true);  // A, in answer to the ready reply
    adapter.queue.clear();
    takeDownloadReply(&stream, 0x200 | DOVEL);           // the reply to A, taken elsewhere
    queueFrame(adapter, makeFrame(0x200 | 11, {0x01}));  // no reply to a character not sent
    beginStdoutCapture();
    EXPECT_EQ(continueDownloadAlone(&stream), 0);
    text = endStdoutCapture();
    EXPECT_EQ(dovel.received, "ABCD");
    EXPECT_EQ(report.characters, 4);
    EXPECT_EQ(text, progress({50, 100}) + COMPLETE);
}

}  // namespace
