// The run's record: JSON text as programs read it, and one whole line per record.
#include "app/run_record.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/json_writer.h"
#include "tests/support/temp_file.h"
#include "tests/support/update_run.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <regex>

#include "app/console.h"
#include "app/startup.h"
#include "can/can_backend.h"
#include "sim/sim_backend.h"
#include "tests/support/child_run.h"
#include "tests/support/environment.h"
#include "tests/support/scripted_adapter.h"
#endif

namespace {

std::vector<std::string> recordLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Read by the run-end table, which forks and so runs on POSIX only.
[[maybe_unused]] std::string fileTextOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(JsonWriter, EscapesWhatJsonRequiresAndKeepsBytesThatAreNotUtf8AsHex) {
    JsonWriter w;
    jsonOpenObject(&w, nullptr);
    jsonString(&w, "label", "a\"b\\c\td\x01\x7f");
    jsonString(&w, "path", "x\xff\xc3\xa9y");  // a stray byte, then a well-formed e acute
    jsonOpenArray(&w, "words");
    jsonString(&w, nullptr, "\xfe");
    jsonNull(&w, nullptr);
    jsonCloseArray(&w);
    jsonString(&w, "none", nullptr);
    jsonCloseObject(&w);
    EXPECT_EQ(w.text,
              "{\"label\":\"a\\\"b\\\\c\\td\\u0001\\u007f\","
              "\"path\":\"x\xEF\xBF\xBD\xc3\xa9y\",\"path_hex\":\"78ffc3a979\","
              "\"words\":[\"\xEF\xBF\xBD\",null],\"none\":null}");
}

TEST(JsonWriter, AcceptsOnlyWellFormedUtf8) {
    EXPECT_EQ(utf8SequenceLength("\xc2\x80"), 2);
    EXPECT_EQ(utf8SequenceLength("\xc1\xbf"), 0);      // overlong
    EXPECT_EQ(utf8SequenceLength("\xe0\x9f\xbf"), 0);  // overlong
    EXPECT_EQ(utf8SequenceLength("\xed\x9f\xbf"), 3);
    EXPECT_EQ(utf8SequenceLength("\xed\xa0\x80"), 0);  // a surrogate
    EXPECT_EQ(utf8SequenceLength("\xf4\x8f\xbf\xbf"), 4);
    EXPECT_EQ(utf8SequenceLength("\xf4\x90\x80\x80"), 0);  // beyond U+10FFFF
    EXPECT_EQ(utf8SequenceLength("\xe2\x82"), 0);          // cut short by the end of the text
    EXPECT_EQ(utf8SequenceLength("\x80"), 0);
}

TEST(RunRecord, TimesAreUtcInIso8601) {
    char text[UTC_TIME_SIZE];
    formatUtcTime(0, text);
    EXPECT_STREQ(text, "1970-01-01T00:00:00.000Z");
    formatUtcTime(951868799999, text);  // the last millisecond of a leap day
    EXPECT_STREQ(text, "2000-02-29T23:59:59.999Z");
    formatUtcTime(1796815947123, text);
    EXPECT_STREQ(text, "2026-12-09T11:32:27.123Z");
}

struct RecordFile {
    std::string path = uniqueTempPath("record");
    ~RecordFile() { std::remove(path.c_str()); }
};

TEST(RunRecord, RefusedSettingsAreRecordedWithTheStatusTheRunEndsWith) {
    RecordFile report;
    char program[] = "dovelflash";
    char* argv[] = {program, nullptr};
    recordBegin(report.path.c_str(), "SN 7", RUN_UPDATE, 1, argv);
    recordSettingsRefused("DOVEL_EXPECT_VERS is \"0x323G\"");
    EXPECT_EQ(recordEnd(2, true), 2);
    const std::vector<std::string> lines = recordLines(report.path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(holds(lines[0],
                      "\"result\":\"settings_refused\",\"refusals\":"
                      "[\"DOVEL_EXPECT_VERS is \\\"0x323G\\\"\"],\"image\":null"))
        << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"hand\":\"SN 7\"")) << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"exit_status\":2,\"end\":\"")) << lines[0];
    EXPECT_EQ(recordEnd(2, true), 2);  // one run, one record
    EXPECT_EQ(recordLines(report.path).size(), 1u);
}

TEST(RunRecord, CheckOfTwoImagesGivesOneRecordEach) {
    RecordFile report;
    recordBegin(report.path.c_str(), nullptr, RUN_CHECK, 0, nullptr);
    FirmwareFileCheck check{};
    ASSERT_EQ(checkFirmwareFile(exampleImagePath().c_str(), IMAGE_CHECK_STRICT, "", &check),
              FILE_CHECK_PASSED);
    recordImage(exampleImagePath().c_str(), check);
    TempFile bad("%not a record\n");
    ASSERT_EQ(checkFirmwareFile(bad.path.c_str(), IMAGE_CHECK_STRICT, "", &check),
              FILE_CHECK_REFUSED);
    recordImage(bad.path.c_str(), check);
    EXPECT_EQ(recordEnd(1, true), 1);
    const std::vector<std::string> lines = recordLines(report.path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(holds(lines[0], "\"result\":\"image_passed\"")) << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"verdict\":\"passed\",\"problem\":null,\"sha256\":\"aef5cb40"))
        << lines[0];
    EXPECT_TRUE(holds(lines[1], "\"result\":\"image_refused\"")) << lines[1];
    EXPECT_TRUE(holds(lines[1], "\"verdict\":\"refused\",\"problem\":\"line 1: ")) << lines[1];
    for (const std::string& line : lines) {
        EXPECT_TRUE(holds(line,
                          "\"counts\":{\"images\":2,\"passed\":1,\"refused\":1},"
                          "\"exit_status\":1,"))
            << line;
        EXPECT_TRUE(holds(line, "\"hand\":null,")) << line;
    }
}

TEST(RunRecord, ARecordThatCannotBeWrittenFailsOnlyAReportedStatus) {
    const std::string missing = testing::TempDir() + "no-such-folder/records.jsonl";
    for (const bool reported : {true, false}) {
        recordBegin(missing.c_str(), nullptr, RUN_STATUS, 0, nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(recordEnd(0, reported), reported ? EXIT_RECORD_NOT_WRITTEN : 0);
        const std::string line = testing::internal::GetCapturedStderr();
        const std::string head =
            "dovelflash: DOVEL_REPORT: the run's record was not written to " + missing + ": ";
        EXPECT_EQ(line.substr(0, head.size()), head);
        EXPECT_GT(line.size(), head.size() + 1);  // the system's reason
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    }
    recordBegin(missing.c_str(), nullptr, RUN_STATUS, 0, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(recordEnd(1, true), 1);  // already a failure: its own status stays
    testing::internal::GetCapturedStderr();
}

TEST(RunRecord, AnInterruptionAfterTheWalksBeganLeavesWhatTheyHadDone) {
    RecordFile report;
    recordBegin(report.path.c_str(), nullptr, RUN_UPDATE, 0, nullptr);
    recordWalksBegin(nullptr);
    recordDovelIds(true, 0b0101);
    UpdateOutcome outcome{};
    recordPhase(PHASE_PREPARING, 11);
    outcome.dovels[0].id = 11;
    outcome.dovels[0].prepare = PREPARED;
    outcome.dovels[0].roleRead = 0x8465;
    outcome.dovels[0].download = DownloadReport{true, 7, false, 1234, 0, false, 0};
    outcome.dovels[1].id = 12;
    outcome.dovels[1].leftOut = true;
    outcome.leftOut = 0b1010;
    recordWalksProgress(outcome);
    recordInterrupted("SIGINT");
    recordInterrupted("SIGTERM");  // the second signal finds the record written
    const std::vector<std::string> lines = recordLines(report.path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(holds(lines[0], "\"result\":\"interrupted\"")) << lines[0];
    EXPECT_TRUE(holds(lines[0],
                      "\"dovels\":[{\"id\":11,\"outcome\":\"interrupted\",\"step\":"
                      "\"preparing\",\"summary\":null,\"link_down\":false,\"role_read\":"
                      "\"0x8465\""))
        << lines[0];
    // Without counters to read, the download as the last step left it.
    EXPECT_TRUE(holds(lines[0],
                      "\"download_started\":true,\"downloaded\":false,\"download_percent\":7,"
                      "\"characters\":1234,"))
        << lines[0];
    EXPECT_TRUE(holds(lines[0],
                      "\"exit_status\":null,\"phase\":\"preparing\",\"signal\":\"SIGINT\","
                      "\"end\":\""))
        << lines[0];
    // DOVEL_IDS=11,13: what was asked, and a controller left out is no interrupted one.
    EXPECT_TRUE(holds(lines[0], "\"dovel_ids\":[11,13],")) << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"named\":true},{\"id\":12,\"outcome\":\"not_named\","))
        << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"counts\":{\"dovels\":2,")) << lines[0];
    EXPECT_EQ(lines[0].back(), '}');
}

}  // namespace

// A writer that stops half-way, as a full disk does.
int writeHalf(const char* path, const char* bytes, size_t size, bool* mended) {
    appendRecordBytes(path, bytes, size / 2, mended);
    return ENOSPC;
}

TEST(RunRecord, AWriteCutShortCostsOnlyItsOwnRecord) {
    RecordFile report;
    const std::string mended =
        "dovelflash: DOVEL_REPORT: the file did not end with a line end (a record cut short); "
        "one was written before this run's record\n";
    recordBegin(report.path.c_str(), nullptr, RUN_STATUS, 0, nullptr);
    recordUseWriter(writeHalf);
    testing::internal::CaptureStderr();
    EXPECT_EQ(recordEnd(0, true), EXIT_RECORD_NOT_WRITTEN);
    testing::internal::GetCapturedStderr();
    recordUseWriter(nullptr);
    // The next run's record, as its handler writes it and as its end does.
    recordBegin(report.path.c_str(), nullptr, RUN_UPDATE, 0, nullptr);
    recordLinkFailed("CAN_Init(): 3");
    recordPhase(PHASE_RETRY_PROMPT, 0);
    testing::internal::CaptureStderr();
    recordInterrupted("SIGTERM");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), mended);
    recordBegin(report.path.c_str(), nullptr, RUN_STATUS, 0, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(recordEnd(1, true), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // the file ended whole
    const std::vector<std::string> lines = recordLines(report.path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].back(), '}');  // the half record stands alone
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("{\"schema\":1,", 0), 0u) << lines[i];
        EXPECT_EQ(lines[i].back(), '}') << lines[i];
    }
    EXPECT_TRUE(holds(lines[1], "\"link_problem\":\"CAN_Init(): 3\",")) << lines[1];
    EXPECT_TRUE(holds(lines[1], "\"phase\":\"retry_prompt\",\"signal\":\"SIGTERM\"")) << lines[1];
    EXPECT_TRUE(holds(lines[2], "\"result\":\"link_not_started\"")) << lines[2];
}

struct FallbackCase {
    const char* name;
    DownloadMode mode;
    int repeatingId;
    int unprovenId;
    int contradictedId;
    const char* expected;
};

class DownloadFallbackTest : public testing::TestWithParam<FallbackCase> {};

// download_mode stays what was asked; download_fallback says whether and why it changed.
TEST_P(DownloadFallbackTest, SaysWhyTheDownloadsDidNotRunAsAsked) {
    const FallbackCase& c = GetParam();
    RecordFile report;
    recordBegin(report.path.c_str(), nullptr, RUN_UPDATE, 0, nullptr);
    recordDownloadMode(c.mode);
    recordWalksBegin(nullptr);
    UpdateOutcome outcome{};
    for (int i = 0; i < DOVEL_COUNT; ++i) {
        outcome.dovels[i].id = FIRST_DOVEL_ID + i;
    }
    outcome.download =
        DownloadWay{c.mode, 4, c.repeatingId, 12, c.unprovenId, c.contradictedId, 0x200, 0};
    recordUpdate(outcome);
    recordEnd(1, false);
    const std::vector<std::string> lines = recordLines(report.path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(holds(lines[0], c.expected)) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DownloadFallbackTest,
    testing::Values(
        FallbackCase{"OneByOne", DOWNLOAD_ONE_BY_ONE, 13, 0, 0,
                     "\"download_mode\":\"one-by-one\",\"download_fallback\":null,"},
        FallbackCase{"TogetherAsAsked", DOWNLOAD_TOGETHER, 0, 0, 0,
                     "\"download_mode\":\"together\",\"download_fallback\":null,"},
        FallbackCase{"RepeatedIdentifier", DOWNLOAD_TOGETHER, 13, 0, 0,
                     "\"download_mode\":\"together\",\"download_fallback\":\"one by one, not "
                     "together: the replies of Dovel 12 and Dovel 13 both carry 0x200\","},
        FallbackCase{"IdentifierNotProven", DOWNLOAD_TOGETHER, 0, 13, 0,
                     "\"download_fallback\":\"one by one, not together: the replies of Dovel 13 "
                     "were not proven its own (a frame of 0x200)\","},
        FallbackCase{"ProvenIdentifierUnawaited", DOWNLOAD_TOGETHER, 0, 0, 14,
                     "\"download_fallback\":\"then one by one: a frame of 0x200, Dovel 14's "
                     "replies, came with no reply awaited\","}),
    [](const testing::TestParamInfo<FallbackCase>& info) { return info.param.name; });

#if !defined(_WIN32)
// --- Every way a run ends, with a report file ------------------------------------------

// How the run is ended from outside, once its output holds `at`.
enum EndBy { END_ON_ITS_OWN, END_BY_SIGNAL, END_BY_CLOSED_INPUT, END_BY_CLOSED_OUTPUT };

struct RunEndCase {
    const char* name;
    std::vector<std::string> words;  // after the program's name; @IMAGE: the example image
    std::string can;                 // DOVEL_CAN; "scripted-fail": an adapter whose start fails
    std::vector<std::pair<const char*, std::string>> environment;
    std::string keys;  // standard input, closed after them unless END_BY_SIGNAL
    EndBy endBy;
    std::string at;  // the text the end waits for
    int signal;      // sent at `at`, or raised at the character below
    int signalDovel = 0;
    long signalAtFrame = 0;  // its one-byte frame (get requests, then characters) that signals
    // What the record holds: one line, with
    int exitStatus = 0;  // the record's; -1: null (the run ended before its record)
    std::string result = "";
    std::string outcomes = "";     // "ID:outcome" of each controller, space-separated
    std::string downloading = "";  // the interrupted download, "ID:characters so far"
    std::string phase = "";        // the interrupted run's
    std::string before = "";       // DOVEL_CAN of a run on the same hand before this one
    std::string holds = "";        // a pattern the record holds as well
};

const CanBackend* wrappedHand = nullptr;
CanBackend signallingHand{};
const RunEndCase* signalling = nullptr;
long charactersSeen = 0;

int32_t writeThenSignal(const CanFrame* frame) {
    const int32_t result = wrappedHand->write(frame);
    if (frame->ID == static_cast<uint32_t>(signalling->signalDovel) && frame->LEN == 1 &&
        ++charactersSeen == signalling->signalAtFrame) {
        raise(signalling->signal);
    }
    return result;
}

void runInThisChild(const RunEndCase& c, const std::string& report, const std::string& state) {
    EXPECT_EQ(chdir(DOVEL_SOURCE_DIR), 0);
    setEnvironment("DOVEL_REPORT", report.c_str());
    for (const auto& [name, value] : c.environment) {
        setEnvironment(name, value.c_str());
    }
    const std::string can = c.can + (state.empty() ? "" : ",state=" + state);
    setEnvironment("DOVEL_CAN", can.c_str());
    if (c.can == "scripted-fail" || c.signalDovel != 0) {
        clearEnvironment("DOVEL_CAN");  // the test's adapter is the one in use
    }
    if (c.can == "scripted-fail") {
        static ScriptedAdapter adapter;
        adapter.initResult = 3;
        scriptedAdapterInstall(&adapter);
    } else if (c.signalDovel != 0) {
        wrappedHand = simOpenBackend(can.substr(std::strlen("sim:")).c_str());
        signallingHand = *wrappedHand;
        signallingHand.write = writeThenSignal;
        signalling = &c;
        canUseBackend(&signallingHand);
    }
    std::vector<std::string> words = {"dovelflash"};
    for (const std::string& word : c.words) {
        words.push_back(word == "@IMAGE" ? exampleImagePath() : word);
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    runDovelflash(static_cast<int>(words.size()), argv.data());
}

// The run in a child with piped standard input and output, ended as the row says; its
// wait status.
int runEnded(const RunEndCase& c, const std::string& report, const std::string& state) {
    int out[2], in[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(in), 0);
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        close(out[0]);
        close(in[1]);
        alarm(60);
        runInThisChild(c, report, state);
    }
    close(out[1]);
    close(in[0]);
    if (c.endBy == END_BY_CLOSED_OUTPUT) {
        close(out[0]);
    }
    (void)!write(in[1], c.keys.data(), c.keys.size());
    if (c.endBy != END_BY_SIGNAL) {
        close(in[1]);
    }
    std::string seen;
    char buffer[4096];
    bool signalled = false;
    for (ssize_t n = 1; c.endBy != END_BY_CLOSED_OUTPUT && n > 0;) {
        n = read(out[0], buffer, sizeof buffer);
        seen.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
        if (c.endBy == END_BY_SIGNAL && !signalled && seen.find(c.at) != std::string::npos) {
            kill(pid, c.signal);
            signalled = true;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (c.endBy != END_BY_CLOSED_OUTPUT) {
        close(out[0]);
    }
    if (c.endBy == END_BY_SIGNAL) {
        close(in[1]);
    }
    return status;
}

std::string matched(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : "none";
}

class RunEndTest : public testing::TestWithParam<RunEndCase> {};

TEST_P(RunEndTest, LeavesExactlyOneWholeTrueRecord) {
    const RunEndCase& c = GetParam();
    RecordFile report;
    const std::string state = c.before.empty() ? "" : uniqueTempPath("run-end-state");
    if (!c.before.empty()) {
        RunEndCase first{"before", {"@IMAGE"}, c.before, {}, "", END_ON_ITS_OWN, "", 0};
        RecordFile ignored;
        runEnded(first, ignored.path, state);
    }
    const int status = runEnded(c, report.path, state);
    // A closed terminal never ends the walks.
    if ((c.endBy == END_BY_SIGNAL || c.signalDovel != 0) && c.signal != SIGHUP) {
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), c.signal);
    } else {
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.exitStatus);
    }
    const std::vector<std::string> lines = recordLines(report.path);
    ASSERT_EQ(lines.size(), 1u) << fileTextOf(report.path);
    const std::string& line = lines[0];
    EXPECT_EQ(fileTextOf(report.path), line + "\n");
    EXPECT_EQ(line.rfind("{\"schema\":1,\"utility\":\"dovelflash\",", 0), 0u) << line;
    EXPECT_TRUE(std::regex_search(line, std::regex(",\"end\":\"[-0-9T:.]+Z\"\\}$"))) << line;
    EXPECT_EQ(matched(line, "\"result\":\"(\\w+)\""), c.result) << line;
    EXPECT_EQ(matched(line, "\"exit_status\":(\\w+)"),
              c.exitStatus < 0 ? "null" : std::to_string(c.exitStatus));
    std::string outcomes;
    const std::regex dovel("\\{\"id\":(\\d+),\"outcome\":\"(\\w+)\"");
    for (std::sregex_iterator at(line.begin(), line.end(), dovel), end; at != end; ++at) {
        outcomes += (outcomes.empty() ? "" : " ") + (*at)[1].str() + ":" + (*at)[2].str();
    }
    EXPECT_EQ(outcomes, c.outcomes) << line;
    // The controller whose download the signal cut short, with its characters so far.
    const std::string cut =
        "\"step\":\"downloading\"[^}]*\"download_started\":true,\"downloaded\":false";
    if (c.downloading.empty()) {
        EXPECT_FALSE(std::regex_search(line, std::regex(cut))) << line;
    } else {
        const size_t colon = c.downloading.find(':');
        EXPECT_TRUE(
            std::regex_search(line, std::regex("\\{\"id\":" + c.downloading.substr(0, colon) +
                                               ",\"outcome\":\"interrupted\"," + cut +
                                               ",\"download_percent\":\\d+,\"characters\":" +
                                               c.downloading.substr(colon + 1) + ",")))
            << line;
    }
    EXPECT_EQ(matched(line, "\"phase\":\"(\\w+)\""), c.phase.empty() ? "none" : c.phase);
    EXPECT_TRUE(std::regex_search(line, std::regex(c.holds))) << line;
    if (!state.empty()) {
        std::remove(state.c_str());
    }
}

// A termination request that comes as the run's own record is being written.
int signalThenWrite(const char* path, const char* bytes, size_t size, bool* mended) {
    raise(SIGTERM);
    return appendRecordBytes(path, bytes, size, mended);
}

// It waits until the record is written, then ends the run: one record, not none or two.
TEST(RunRecord, ASignalAsTheRecordIsWrittenWaitsForIt) {
    RecordFile report;
    const ChildRun run = runInChild(
        [&] {
            consoleSetUp();
            recordBegin(report.path.c_str(), nullptr, RUN_STATUS, 0, nullptr);
            recordUseWriter(signalThenWrite);
            recordEnd(1, false);
        },
        "");
    EXPECT_FALSE(run.exited);
    const std::vector<std::string> lines = recordLines(report.path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(holds(lines[0], "\"exit_status\":1,")) << lines[0];
}

const std::string ALL_UPDATED = "11:updated 12:updated 13:updated 14:updated";
const std::string ALL_RUNNING = "11:running 12:running 13:running 14:running";
const std::string EXIT_PROMPT = "Press any key to exit...";

INSTANTIATE_TEST_SUITE_P(
    Rows, RunEndTest,
    testing::Values(RunEndCase{"KeyAtTheExitPrompt",
                               {"@IMAGE"},
                               "sim:fast",
                               {},
                               "x",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "updated",
                               ALL_UPDATED},
                    RunEndCase{"ReportedFailure",
                               {"@IMAGE"},
                               "sim:fast,stall=12:500",
                               {{"DOVEL_EXIT_STATUS", "report"}},
                               "x",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               1,
                               "not_updated",
                               "11:updated 12:download_stopped 13:updated 14:updated"},
                    RunEndCase{"NamedControllerFailed",
                               {"@IMAGE"},
                               "sim:fast,stall=12:500",
                               {{"DOVEL_EXIT_STATUS", "report"}, {"DOVEL_IDS", "13,12"}},
                               "x",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               1,
                               "not_updated",
                               "11:not_named 12:download_stopped 13:updated 14:not_named",
                               "",
                               "",
                               "",
                               R"("dovel_ids":\[12,13\],.*"counts":\{"dovels":2,"updated":1,)"
                               R"("took_failed_image":0,"not_updated":1,"not_named":2,)"
                               R"("not_named_running":2\})"},
                    RunEndCase{"SigintAtTheExitPrompt",
                               {"@IMAGE"},
                               "sim:fast",
                               {},
                               "",
                               END_BY_SIGNAL,
                               EXIT_PROMPT,
                               SIGINT,
                               0,
                               0,
                               0,
                               "updated",
                               ALL_UPDATED},
                    RunEndCase{"SigtermAtTheExitPrompt",
                               {"@IMAGE"},
                               "sim:fast,stall=13:40",
                               {{"DOVEL_EXIT_STATUS", "report"}},
                               "",
                               END_BY_SIGNAL,
                               EXIT_PROMPT,
                               SIGTERM,
                               0,
                               0,
                               1,
                               "not_updated",
                               "11:updated 12:updated 13:download_stopped 14:updated"},
                    RunEndCase{"SigintInADownload",
                               {"@IMAGE"},
                               "sim:fast",
                               {},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               SIGINT,
                               12,
                               500,
                               -1,
                               "interrupted",
                               "11:interrupted 12:interrupted 13:interrupted 14:interrupted",
                               "12:495",
                               "downloading"},
                    RunEndCase{"SigtermInTheDownloadsTogether",
                               {"@IMAGE"},
                               "sim:fast",
                               {{"DOVEL_DOWNLOAD", "together"}},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               SIGTERM,
                               13,
                               321,
                               -1,
                               "interrupted",
                               "11:interrupted 12:interrupted 13:interrupted 14:interrupted",
                               "13:316",
                               "downloading"},
                    RunEndCase{"SighupInADownload",
                               {"@IMAGE"},
                               "sim:fast",
                               {},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               SIGHUP,
                               12,
                               500,
                               0,
                               "updated",
                               ALL_UPDATED},
                    RunEndCase{"ClosedStandardInput",
                               {"@IMAGE"},
                               "sim:fast",
                               {},
                               "",
                               END_BY_CLOSED_INPUT,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "updated",
                               ALL_UPDATED},
                    RunEndCase{"ClosedStandardOutputOfAStatusCheck",
                               {"--status"},
                               "sim:fast",
                               {},
                               "",
                               END_BY_CLOSED_OUTPUT,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "all_running",
                               ALL_RUNNING},
                    RunEndCase{"ClosedStandardOutputOfACheck",
                               {"--check", "@IMAGE"},
                               "sim:fast",
                               {},
                               "",
                               END_BY_CLOSED_OUTPUT,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "image_passed",
                               ""},
                    RunEndCase{"ClosedStandardOutputAtStartUp",
                               {"@IMAGE"},
                               "scripted-fail",
                               {},
                               "n",
                               END_BY_CLOSED_OUTPUT,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "link_not_started",
                               ""},
                    RunEndCase{"DeclinedRetry",
                               {"@IMAGE"},
                               "scripted-fail",
                               {{"DOVEL_EXIT_STATUS", "report"}},
                               "n",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               2,
                               "link_not_started",
                               ""},
                    RunEndCase{"SigintAtTheRetryPrompt",
                               {"@IMAGE"},
                               "scripted-fail",
                               {},
                               "",
                               END_BY_SIGNAL,
                               "(y/n)? ",
                               SIGINT,
                               0,
                               0,
                               -1,
                               "interrupted",
                               "",
                               "",
                               "retry_prompt"},
                    RunEndCase{"RefusedSettings",
                               {"@IMAGE"},
                               "sim:fast",
                               {{"DOVEL_IMAGE_CHECK", "lax"}},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "settings_refused",
                               ""},
                    RunEndCase{"RefusedImage",
                               {"no-such-image.tek"},
                               "sim:fast",
                               {{"DOVEL_EXIT_STATUS", "report"}},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               2,
                               "image_refused",
                               ""},
                    RunEndCase{"StatusAllRunning",
                               {"--status"},
                               "sim:fast",
                               {},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "all_running",
                               ALL_RUNNING},
                    RunEndCase{"StatusOfAHandLeftMidUpdate",
                               {"--status"},
                               "sim:fast",
                               {},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               1,
                               "not_all_running",
                               "11:not_its_id 12:in_monitor 13:in_monitor 14:in_monitor",
                               "",
                               "",
                               "sim:fast,halt-after=3000"},
                    RunEndCase{"Check",
                               {"--check", "@IMAGE"},
                               "sim:fast",
                               {},
                               "",
                               END_ON_ITS_OWN,
                               "",
                               0,
                               0,
                               0,
                               0,
                               "image_passed",
                               ""}),
    [](const testing::TestParamInfo<RunEndCase>& info) { return info.param.name; });
#endif
