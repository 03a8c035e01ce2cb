// The run's record: JSON text as programs read it, and one whole line per record.
#include "app/run_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/json_writer.h"
#include "tests/support/temp_file.h"
#include "tests/support/update_run.h"

namespace {

std::vector<std::string> recordLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
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
    recordInterrupted("SIGINT");  // before the walks: nothing to say yet
    EXPECT_TRUE(recordLines(report.path).empty());
    recordWalksBegin();
    recordDovelIds(true, 0b0101);
    UpdateOutcome outcome{};
    outcome.dovels[0].id = 11;
    outcome.dovels[0].roleRead = 0x8465;
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
                      "\"dovels\":[{\"id\":11,\"outcome\":\"interrupted\",\"summary\":"
                      "null,\"link_down\":false,\"role_read\":\"0x8465\""))
        << lines[0];
    // DOVEL_IDS=11,13: what was asked, and a controller left out is no interrupted one.
    EXPECT_TRUE(holds(lines[0], "\"dovel_ids\":[11,13],")) << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"named\":true},{\"id\":12,\"outcome\":\"not_named\","))
        << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"counts\":{\"dovels\":2,")) << lines[0];
    EXPECT_TRUE(holds(lines[0], "\"exit_status\":null,\"signal\":\"SIGINT\",\"end\":\""))
        << lines[0];
    EXPECT_EQ(lines[0].back(), '}');
}

}  // namespace
