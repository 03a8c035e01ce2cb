// The run's settings: the command line and every DOVEL_* variable, read once at start-up
// and checked before anything is touched. Everything below app/ gets what it needs of
// them as arguments; nothing there reads the environment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/dovel_ids.h"
#include "app/download_mode.h"
#include "protocol/dovel_check.h"

// What the command line asks for.
enum RunMode {
    RUN_UPDATE,   // dovelflash [IMAGE]
    RUN_CHECK,    // dovelflash --check [IMAGE...]
    RUN_STATUS,   // dovelflash --status
    RUN_HELP,     // dovelflash --help | -h
    RUN_VERSION,  // dovelflash --version
};

// A word of the command line that ends the run before anything is touched.
enum WordProblem {
    WORD_OK,
    WORD_MISPLACED_OPTION,  // one of the utility's own options where it is no option
    WORD_UNKNOWN_OPTION,    // begins with '-' and is none of the utility's options
    WORD_AFTER_STATUS,      // --status takes no other word
};

// DOVEL_IMAGE_CHECK: what becomes of an image that fails its check.
enum ImageCheckMode {
    IMAGE_CHECK_STRICT,  // unset, empty or "strict": refused
    IMAGE_CHECK_WARN,    // "warn": the problem is printed and the update goes on
};

constexpr const char* CAN_VARIABLE = "DOVEL_CAN";
constexpr const char* SIM_TRACE_VARIABLE = "DOVEL_SIM_TRACE";
constexpr const char* CAN_TRACE_UNMASKED_VARIABLE = "DOVEL_CAN_TRACE_UNMASKED";
constexpr const char* IMAGE_CHECK_VARIABLE = "DOVEL_IMAGE_CHECK";
constexpr const char* EXIT_STATUS_VARIABLE = "DOVEL_EXIT_STATUS";
constexpr const char* REPORT_VARIABLE = "DOVEL_REPORT";  // the file the run's records go to
constexpr const char* HAND_VARIABLE = "DOVEL_HAND";      // the operator's label for the hand

// The image an update or a check reads when the command line names none.
constexpr const char* DEFAULT_IMAGE_PATH = "dovel2.tek";

struct RunSettings {
    RunMode mode;
    // The images named: one for an update (the default when none is given), one or more
    // for --check.
    std::vector<std::string> images;
    WordProblem wordProblem;
    std::string problemWord;  // the word wordProblem is about

    std::string canSetting;  // DOVEL_CAN as given; the platform's default when unset
    std::string canTrace;    // DOVEL_CAN_TRACE, empty: no trace
    std::string simTrace;    // DOVEL_SIM_TRACE, empty: no trace
    bool traceUnmasked;      // DOVEL_CAN_TRACE_UNMASKED=1
    ImageCheckMode imageCheck;
    std::string imageSha256;          // DOVEL_IMAGE_SHA256, empty: none given
    ExpectedVersion expectedVersion;  // DOVEL_EXPECT_VERS
    DownloadMode downloadMode;        // DOVEL_DOWNLOAD
    DovelIds dovelIds;                // DOVEL_IDS: the controllers an update writes to
    bool dovelIdsGiven;               // DOVEL_IDS is set and not empty
    bool exitStatusReport;            // DOVEL_EXIT_STATUS=report
    std::string reportPath;           // DOVEL_REPORT, empty: no record
    std::string handLabel;            // DOVEL_HAND, as given
    // The record may be written: DOVEL_REPORT names no file the run reads or writes
    // otherwise (overwriteProblems).
    bool reportUsable;
    // Set when DOVEL_EXIT_STATUS is malformed: the caller cannot be told apart from one
    // who asked for report, so the refusal ends with report's status.
    bool exitStatusMalformed;

    // One line each, for every malformed or unknown value: the run touches nothing.
    std::vector<std::string> problems;
    // One line each for a DOVEL_* variable that is none of the utility's own.
    std::vector<std::string> warnings;
};

// Reads the command line and the environment once. Every value is checked; what is wrong
// lands in problems and wordProblem, nothing is printed.
RunSettings readRunSettings(int argc, char** argv);

// The utility's own DOVEL_* variables, terminated by nullptr.
extern const char* const KNOWN_SETTING_VARIABLES[];

// The known variable name nearest to name by edit distance.
const char* nearestSettingVariable(const std::string& name);

// The value as a line can show it: control characters as C escapes, quotes escaped.
std::string shownValue(const std::string& value);
