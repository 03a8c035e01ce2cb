// Whole updates of the simulated hand: the console text byte for byte, the frames, and
// the state every controller ends in.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/stdout_capture.h"
#include "tests/support/update_run.h"

#if !defined(_WIN32)
#include <unistd.h>

#include "app/startup.h"
#include "sim/sim_backend.h"
#include "tests/support/child_run.h"
#include "tests/support/environment.h"
#include "tests/support/temp_file.h"
#endif

namespace {

[[maybe_unused]] std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TekImage exampleImage() {
    TekImage image{};
    EXPECT_EQ(tekDecodeImage(exampleImagePath().c_str(), &image), 0);
    return image;
}

#if !defined(_WIN32)
// The utility run as at the bench, from the source folder; imageCheck is the value of
// DOVEL_IMAGE_CHECK (nullptr: unset), trace the file the bus is written to (empty: none).
ChildRun runUtilityOnSimulatedHand(const std::string& setting,
                                   const std::string& imagePath = "examples/dovel2.tek",
                                   const char* imageCheck = nullptr, const std::string& trace = "",
                                   const std::function<void()>& before = {}) {
    return runInChild(
        [&] {
            EXPECT_EQ(chdir(DOVEL_SOURCE_DIR), 0);
            setEnvironment("DOVEL_CAN", setting.c_str());
            if (imageCheck != nullptr) {
                setEnvironment("DOVEL_IMAGE_CHECK", imageCheck);
            } else {
                clearEnvironment("DOVEL_IMAGE_CHECK");
            }
            if (!trace.empty()) {
                setEnvironment("DOVEL_CAN_TRACE", trace.c_str());
            }
            if (before) {
                before();
            }
            std::string image = imagePath;
            char program[] = "dovelflash";
            char* argv[] = {program, image.data(), nullptr};
            runDovelflash(2, argv);
        },
        "");
}

// Report lines of controllers that hold the example image and bad no record.
int updatedControllers(const std::string& report) {
    std::istringstream lines(report);
    std::string line;
    int updated = 0;
    while (std::getline(lines, line)) {
        if (line.find(": main ROLE(stored)=") != std::string::npos &&
            line.find("flash=16384 bytes") != std::string::npos &&
            line.find(" bad=0 lost=0") != std::string::npos) {
            ++updated;
        }
    }
    return updated;
}

TEST(FullUpdate, PrintsTheGoldenTranscriptAndReportsFourUpdatedControllers) {
    const ChildRun run = runUtilityOnSimulatedHand("sim:fast");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out,
              readFile(std::string(DOVEL_SOURCE_DIR) + "/tests/golden/full_update_stdout.txt"));
    EXPECT_EQ(updatedControllers(run.err), 4) << run.err;
}

// What the report says of a hand that nothing has reached.
std::string untouchedHandReport() {
    EXPECT_NE(simOpenBackend("fast"), nullptr);
    std::FILE* file = std::tmpfile();
    simHandReport(simCurrentHand(), file);
    std::string report(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    EXPECT_EQ(std::fread(report.data(), 1, report.size(), file), report.size());
    std::fclose(file);
    simCloseBackend();
    return report;
}

// Frames in a bus trace; its comments begin with '#'.
int frameLines(const std::string& trace) {
    std::istringstream lines(trace);
    std::string line;
    int frames = 0;
    while (std::getline(lines, line)) {
        frames += line.rfind('(', 0) == 0 ? 1 : 0;
    }
    return frames;
}

struct CheckedRunCase {
    const char* name;
    const char* imageCheck;
    std::string fileCheckVerdict;
    bool updates;
};

class CheckedImageRunTest : public testing::TestWithParam<CheckedRunCase> {};

// The example behind a header line, which sends nothing: the scan refuses it, although a
// controller takes it whole, so only the operator's "warn" lets it through.
TEST_P(CheckedImageRunTest, ARefusedImageReachesNoControllerUnlessTheOperatorSaysWarn) {
    const CheckedRunCase& c = GetParam();
    TempFile image("# dovel2, example build\n" + readFile(exampleImagePath()));
    TempFile trace("");
    const ChildRun run =
        runUtilityOnSimulatedHand("sim:fast", image.path, c.imageCheck, trace.path);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find("Accessing firmware file: " + image.path + "..." + c.fileCheckVerdict),
              std::string::npos)
        << run.out;
    if (c.updates) {
        EXPECT_EQ(updatedControllers(run.err), 4) << run.err;
        // Taken whole, and still not called updated: the image failed its check.
        EXPECT_NE(run.out.find("\n0 of 4 Dovels updated: 4 took an image that failed its "
                               "check.\nMend the image"),
                  std::string::npos)
            << run.out;
    } else {
        EXPECT_EQ(run.err, untouchedHandReport());
        EXPECT_EQ(frameLines(readFile(trace.path)), 0);
    }
}

const std::string HEADER_LINE = "line 1: the line starts with '#', not with '%'\n";

INSTANTIATE_TEST_SUITE_P(
    Settings, CheckedImageRunTest,
    testing::Values(
        CheckedRunCase{"Unset", nullptr, "[FAILED] " + HEADER_LINE + "\nPress any key", false},
        CheckedRunCase{"Strict", "strict", "[FAILED] " + HEADER_LINE + "\nPress any key", false},
        CheckedRunCase{"Warn", "warn", "[WARNING] " + HEADER_LINE + "\nLooking for Dovel ID 11",
                       true}),
    [](const testing::TestParamInfo<CheckedRunCase>& info) { return info.param.name; });

// An image that passes its check but lies outside every controller's flash (a native build
// at 0x400000): the monitors take its termination record, place no byte and start nothing,
// so no controller is called updated.
TEST(FullUpdate, AnImageOutsideTheFlashLeavesEveryControllerInItsMonitor) {
    const uint8_t data[64] = {0x5A};
    TempFile image("");
    ASSERT_EQ(tekWriteImage(image.path.c_str(), data, sizeof data, 0x400000, 32), 0);
    const ChildRun run = runUtilityOnSimulatedHand("sim:fast", image.path);
    for (int id = 11; id <= 14; ++id) {
        const std::string n = std::to_string(id);
        EXPECT_NE(run.out.find("Checking Dovel " + n + "...[FAILED] still in its monitor\n"),
                  std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find("Dovel " + n + ": FAILED - still in its monitor\n"),
                  std::string::npos)
            << run.out;
        EXPECT_NE(run.err.find("sim: dovel " + n + ": monitor ROLE(stored)=0x"), std::string::npos)
            << run.err;
    }
    EXPECT_NE(run.out.find("\n0 of 4 Dovels updated.\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(": updated\n"), std::string::npos) << run.out;
}

// The reader of standard output goes away once the walks have begun (as `| head -c 600`
// does): the update still runs to its end and every controller is updated.
TEST(FullUpdate, CompletesWhenStandardOutputIsClosedEarly) {
    constexpr size_t READ_BEFORE_LEAVING = 600;  // past the file check, into the walks
    const ChildRun run =
        runUtilityOnSimulatedHand("sim:fast", "examples/dovel2.tek", nullptr, "", [] {
            int lost[2];
            ASSERT_EQ(pipe(lost), 0);
            if (fork() == 0) {
                close(lost[1]);
                char buffer[READ_BEFORE_LEAVING];
                size_t taken = 0;
                ssize_t n = 0;
                while (taken < sizeof buffer &&
                       (n = read(lost[0], buffer + taken, sizeof buffer - taken)) > 0) {
                    taken += static_cast<size_t>(n);
                }
                _exit(0);
            }
            dup2(lost[1], STDOUT_FILENO);
            close(lost[0]);
            close(lost[1]);
        });
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(updatedControllers(run.err), 4) << run.err;
}

// The exit status tells the outcome only when asked to; the text always does.
struct ExitStatusCase {
    const char* name;
    std::string setting;
    std::string exitStatusMode;
    int expected;
    const char* expectedVersion = "";  // DOVEL_EXPECT_VERS
    const char* summaryEnd = "";
    const char* ids = "";  // DOVEL_IDS
};

class ReportedExitStatusTest : public testing::TestWithParam<ExitStatusCase> {};

TEST_P(ReportedExitStatusTest, SaysWhatBecameOfTheUpdate) {
    const ExitStatusCase& c = GetParam();
    const ChildRun run =
        runUtilityOnSimulatedHand(c.setting, "examples/dovel2.tek", nullptr, "", [&] {
            setEnvironment("DOVEL_EXIT_STATUS", c.exitStatusMode.c_str());
            setEnvironment("DOVEL_EXPECT_VERS", c.expectedVersion);
            setEnvironment("DOVEL_IDS", c.ids);
        });
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, c.expected) << run.out;
    EXPECT_NE(run.out.find(c.summaryEnd), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ReportedExitStatusTest,
    testing::Values(ExitStatusCase{"AllUpdated", "sim:fast", "report", 0},
                    ExitStatusCase{"OneFailed", "sim:fast,stall=12:500", "report", 1},
                    ExitStatusCase{"NeverStarted", "sim:fast,bogus", "report", 2},
                    ExitStatusCase{"OneFailedByDefault", "sim:fast,stall=12:500", "", 0},
                    ExitStatusCase{"NeverStartedByDefault", "sim:fast,bogus", "", 0},
                    ExitStatusCase{"TheVersionTheReleasePromises", "sim:fast", "report", 0,
                                   "0x323F", "\n4 of 4 Dovels updated.\n"},
                    ExitStatusCase{"AnotherVersion", "sim:fast", "report", 1, "0x3240",
                                   "Checking Dovel 14...[FAILED] main firmware, VERS 0x323f, "
                                   "expected 0x3240\n\nSummary\n"},
                    ExitStatusCase{"AnotherVersionInTheSummary", "sim:fast", "", 0, "0x3240",
                                   "Dovel 14: FAILED - runs its main firmware, but not the "
                                   "version DOVEL_EXPECT_VERS names\n0 of 4 Dovels updated.\n"},
                    // The advice names the release, never the cable.
                    ExitStatusCase{"AnotherVersionsAdvice", "sim:fast,stall=12:500", "", 0, "3240",
                                   "\nDovel 14 runs VERS 0x323f, not 0x3240 that "
                                   "DOVEL_EXPECT_VERS names: check that examples/dovel2.tek is "
                                   "that release.\nRun the update again to finish the others: it "
                                   "is safe to repeat.\n\nPress"},
                    // A value that is no version is refused before anything is touched.
                    ExitStatusCase{"NoVersion", "sim:fast", "", 0, "0x",
                                   "\n[FAILED] DOVEL_EXPECT_VERS is \"0x\"; it takes a version as "
                                   "VERS is printed: 1 to 8 hex digits, with or without 0x "
                                   "(0x323f)\nNothing was done"},
                    ExitStatusCase{"NoVersionNeverStarts", "sim:fast", "report", 2, "0x323G",
                                   "arg[1] = examples/dovel2.tek\n\n[FAILED] DOVEL_EXPECT_VERS"},
                    ExitStatusCase{"TheVersionWithLeadingZeros", "sim:fast", "report", 0,
                                   "0x0000323f", "\n4 of 4 Dovels updated.\n\nPress"},
                    ExitStatusCase{"TheVersionAsLowerCaseWithoutPrefix", "sim:fast", "report", 0,
                                   "323f", "\n4 of 4 Dovels updated.\n\nPress"},
                    // Named alone: the others' old version fails nothing, one of them
                    // not running its main firmware does.
                    ExitStatusCase{"OneNamedUpdated", "sim:fast", "report", 0, "",
                                   "\n1 of 1 Dovels updated.\n", "12"},
                    ExitStatusCase{"OneNamedFailed", "sim:fast,stall=12:500", "report", 1, "",
                                   "Dovel 12: FAILED - download stopped at 1%\n0 of 1 Dovels "
                                   "updated.\nNo Dovel was updated",
                                   "12"},
                    ExitStatusCase{"OneLeftOutSilent", "sim:fast,silent=13", "report", 1, "",
                                   "Dovel 13 is not running its main firmware (it does not "
                                   "reply): name it in DOVEL_IDS\nThe hand runs two firmware "
                                   "versions: Dovel 12 0x323f; Dovels 11, 14 0x0214.\nFinish the "
                                   "others with DOVEL_IDS=13 dovelflash examples/dovel2.tek: it is "
                                   "safe to repeat.\n\nPress",
                                   "12"},
                    ExitStatusCase{"NotComparedWithoutTheVersion", "sim:fast", "report", 0, "",
                                   "\n4 of 4 Dovels updated.\nNot compared with a release: "
                                   "DOVEL_EXPECT_VERS is not set, so \"updated\" means the "
                                   "controller took the whole image and came back running a "
                                   "main firmware.\n\nPress"}),
    [](const testing::TestParamInfo<ExitStatusCase>& info) { return info.param.name; });

// `--status` asks, writes nothing and ends without the exit prompt.
struct StatusCheckCase {
    const char* name;
    std::string setting;
    std::string expectedChecks;
    int expectedStatus;
    std::string earlierRun = "";  // options of a run on the same state file before the check
};

class StatusCheckTest : public testing::TestWithParam<StatusCheckCase> {};

TEST_P(StatusCheckTest, ListsEachControllerAndExitsWithTheTruth) {
    const StatusCheckCase& c = GetParam();
    const std::string state = ",state=" + uniqueTempPath("status");
    if (!c.earlierRun.empty()) {
        EXPECT_EQ(runUtilityOnSimulatedHand("sim:fast," + c.earlierRun + state).exitStatus,
                  SIM_ABRUPT_EXIT_STATUS);
    }
    const ChildRun run =
        runUtilityOnSimulatedHand(c.setting + (c.earlierRun.empty() ? "" : state), "--status");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, c.expectedStatus);
    const size_t linkUp = run.out.find("CAN device initialized.\n");
    ASSERT_NE(linkUp, std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(linkUp), "CAN device initialized.\n\n" + c.expectedChecks);
    // Nothing was written: every controller is as it came from the factory.
    EXPECT_EQ(run.err.find("ROLE(stored)=0x1220"), std::string::npos);
    EXPECT_NE(run.err.find("dovel 11: main ROLE(stored)=0x1225 flash=0 bytes"), std::string::npos)
        << run.err;
}

const std::string CHECK_11 = "Checking Dovel 11...[OK] main firmware, VERS 0x0214, ROLE 0x1225\n";
const std::string CHECK_12 = "Checking Dovel 12...[OK] main firmware, VERS 0x0214, ROLE 0x0a45\n";
std::string notChecked(int id) {
    return "Checking Dovel " + std::to_string(id) +
           "...not checked: the CAN link went down (sim: the link is down)\n";
}
const std::string CHECK_13_14 =
    "Checking Dovel 13...[OK] main firmware, VERS 0x0214, ROLE 0x8465\n"
    "Checking Dovel 14...[OK] main firmware, VERS 0x0214, ROLE 0x3c85\n";

INSTANTIATE_TEST_SUITE_P(
    Hands, StatusCheckTest,
    testing::Values(
        StatusCheckCase{"AllFourRunning", "sim:fast", CHECK_11 + CHECK_12 + CHECK_13_14, 0},
        StatusCheckCase{"OneSilent", "sim:fast,silent=12",
                        CHECK_11 + "Checking Dovel 12...[FAILED] no reply\n" + CHECK_13_14, 1},
        // A killed run left Dovel 14 taking its image: its answers are ready
        // replies, whatever they would decode to.
        StatusCheckCase{"OneLeftMidDownload", "sim:fast",
                        CHECK_11 + CHECK_12 +
                            "Checking Dovel 13...[OK] main firmware, VERS 0x0214, ROLE "
                            "0x8465\nChecking Dovel 14...[FAILED] answers, but not "
                            "with its ID: it may still be in its monitor, taking an "
                            "image from an interrupted update\n",
                        1, "role-stuck=11,role-stuck=12,role-stuck=13,halt-after=40000"},
        StatusCheckCase{"LinkDownAfterTheFirst", "sim:fast,link-down-after=12",
                        CHECK_11 + notChecked(12) + notChecked(13) + notChecked(14), 1},
        // The same with ready replies that are one fixed frame carrying the ID: the ID
        // gets pass, the ROLE get does not.
        StatusCheckCase{"OneLeftMidDownloadReadyAsId", "sim:fast,ready=id",
                        CHECK_11 + CHECK_12 +
                            "Checking Dovel 13...[OK] main firmware, VERS 0x0214, ROLE "
                            "0x8465\nChecking Dovel 14...[FAILED] ROLE 0x000e holds role code "
                            "14, not 5: it may still be in its monitor, taking an image from an "
                            "interrupted update\n",
                        1, "ready=id,role-stuck=11,role-stuck=12,role-stuck=13,halt-after=40000"}),
    [](const testing::TestParamInfo<StatusCheckCase>& info) { return info.param.name; });

// --- DOVEL_IDS: the controllers named, and nothing written to the others -------------

struct NamedRunCase {
    const char* name;
    DovelIds named;  // bit 0: controller 11
    std::string options;
    DownloadMode mode;
    std::string summaryEnd;  // from the count line to the end
    // Options of a whole update with the example image before, on the same hand; the run
    // then installs another image. Empty: a fresh hand and the example image.
    const char* firstRun = nullptr;
};

class NamedRunTest : public testing::TestWithParam<NamedRunCase> {};

TEST_P(NamedRunTest, OnlyTheNamedAreWrittenToAndTheSummarySaysWhatTheHandRuns) {
    const NamedRunCase& c = GetParam();
    const std::string state = uniqueTempPath("named_state");
    const std::string trace = uniqueTempPath("named_trace");
    const std::string otherImage = writeRandomImage("named_image", 512, 5);
    if (c.firstRun != nullptr) {
        runUpdateOnSimulatedHand(c.firstRun + ("state=" + state), exampleImagePath());
    }
    const std::string image = c.firstRun != nullptr ? otherImage : exampleImagePath();
    const UpdateRun run = runUpdateOnSimulatedHand(c.options + "state=" + state, image, nullptr,
                                                   trace, c.mode, false, c.named);
    const DovelIds leftOut = ALL_DOVEL_IDS & ~c.named;
    EXPECT_EQ(leftOutTouched(run, trace, leftOut), "");
    EXPECT_NE(leftOutTouched(run, trace, c.named), "");  // the named ones were written to
    const size_t count = run.out.find(" Dovels updated.\n");
    ASSERT_NE(count, std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(run.out.rfind('\n', count) + 1), c.summaryEnd);
    // An image let through with a problem: the same words on the hand's versions.
    const size_t versions = c.summaryEnd.find("The hand runs");
    if (versions != std::string::npos) {
        beginStdoutCapture();
        printUpdateSummary(run.outcome, ImageSummary{image.c_str(), "", "", "a problem"});
        const std::string summary = endStdoutCapture();
        EXPECT_NE(summary.find(
                      c.summaryEnd.substr(versions, c.summaryEnd.find('\n', versions) - versions)),
                  std::string::npos)
            << summary;
    }
    for (const std::string& removed : {state, state + ".new", state + ".lock", trace, otherImage}) {
        std::remove(removed.c_str());
    }
}

const std::string NOT_COMPARED =
    "Not compared with a release: DOVEL_EXPECT_VERS is not set, so \"updated\" means the "
    "controller took the whole image and came back running a main firmware.\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, NamedRunTest,
    testing::Values(
        NamedRunCase{"One", 0b0010, "", DOWNLOAD_ONE_BY_ONE,
                     "1 of 1 Dovels updated.\n" + NOT_COMPARED +
                         "The hand runs two firmware versions: Dovel 12 0x323f; Dovels 11, 13, "
                         "14 0x0214.\n"},
        NamedRunCase{"Two", 0b1001, "", DOWNLOAD_ONE_BY_ONE,
                     "2 of 2 Dovels updated.\n" + NOT_COMPARED +
                         "The hand runs two firmware versions: Dovels 11, 14 0x323f; Dovels 12, "
                         "13 0x0214.\n"},
        NamedRunCase{"TwoTogether", 0b0110, "", DOWNLOAD_TOGETHER,
                     "2 of 2 Dovels updated.\n" + NOT_COMPARED +
                         "The hand runs two firmware versions: Dovels 12, 13 0x323f; Dovels 11, "
                         "14 0x0214.\n"},
        NamedRunCase{"FaultOnTheNamed", 0b0100, "stall=13:500,", DOWNLOAD_ONE_BY_ONE,
                     "0 of 1 Dovels updated.\nNo Dovel was updated: check the hand's power, the "
                     "CAN cable and its termination, then finish with DOVEL_IDS=13 dovelflash "
                     "IMAGE: it is safe to repeat.\n"},
        NamedRunCase{"AnotherImageForOne", 0b0010, "", DOWNLOAD_ONE_BY_ONE,
                     "1 of 1 Dovels updated.\n" + NOT_COMPARED +
                         "The hand runs two firmware versions: Dovel 12 0xcdbe; Dovels 11, 13, "
                         "14 0x323f.\n",
                     ""},
        // Its download stalled in the first run: it still takes every frame for an image
        // character.
        NamedRunCase{"LeftOutMidDownload", 0b0010, "", DOWNLOAD_ONE_BY_ONE,
                     "1 of 1 Dovels updated.\n" + NOT_COMPARED +
                         "Dovel 13 is not running its main firmware (it answers, but not with "
                         "its ID): name it in DOVEL_IDS\nThe hand runs two firmware versions: "
                         "Dovel 12 0xcdbe; Dovels 11, 14 0x323f.\nFinish the others with "
                         "DOVEL_IDS=13 dovelflash IMAGE: it is safe to repeat.\n",
                     "stall=13:500,"},
        NamedRunCase{"LeftOutInItsMonitor", 0b0010, "", DOWNLOAD_ONE_BY_ONE,
                     "1 of 1 Dovels updated.\n" + NOT_COMPARED +
                         "Dovel 13 is in its monitor: name it in DOVEL_IDS\nThe hand runs two "
                         "firmware versions: Dovel 12 0xcdbe; Dovels 11, 14 0x323f.\nFinish the "
                         "others with DOVEL_IDS=13 dovelflash IMAGE: it is safe to repeat.\n",
                     "stall=13:500:3000,"}),
    [](const testing::TestParamInfo<NamedRunCase>& info) { return info.param.name; });
#endif

TEST(FullUpdate, EveryControllerTakesTheImageAndReturnsToItsRole) {
    const TekImage image = exampleImage();
    ASSERT_FALSE(image.bytes.empty());
    const UpdateRun run = runUpdateOnSimulatedHand("", exampleImagePath());
    for (const auto& [id, after] : run.after) {
        EXPECT_EQ(completionProblem(run.before.at(id), after, image), "") << "controller " << id;
        EXPECT_EQ(after.charactersLost, 0) << "controller " << id;
        // One identifier answered every character: the restoration passes it over for others.
        const DownloadReport& download = run.outcome.dovels[id - 11].download;
        EXPECT_TRUE(download.replyIdProven) << id;
        EXPECT_EQ(download.replyId, 0x200u | static_cast<unsigned>(id)) << id;
    }
    EXPECT_EQ(run.out.find("FAILED"), std::string::npos);
    EXPECT_EQ(run.out.find("ERROR"), std::string::npos);
}

// The final check shows VERS as the 16-bit word it is, also with bit 15 set (a two-byte
// reply that decodes as a negative number); the simulated firmware's VERS follows its image.
TEST(FullUpdate, FinalCheckShowsEveryVersionAsFourHexDigits) {
    const std::regex CHECK_LINE(
        R"(Checking Dovel 11\.\.\.\[OK\] main firmware, VERS 0x([0-9a-f]{4})\n)");
    bool highBitSeen = false;  // seed 5 gives VERS 0xcdbe, seed 6 0x5866
    for (uint32_t seed = 5; seed <= 6; ++seed) {
        const std::string image = writeRandomImage("dovel_vers", 512, seed);
        const UpdateRun run = runUpdateOnSimulatedHand("", image);
        std::smatch found;
        ASSERT_TRUE(std::regex_search(run.out, found, CHECK_LINE)) << run.out;
        highBitSeen = highBitSeen || found[1].str()[0] >= '8';
        std::remove(image.c_str());
    }
    EXPECT_TRUE(highBitSeen) << "no image gave a VERS with bit 15 set";
}

// The restoration walk reads the true ROLE of each controller, not a frame left over
// from a download: its printed values are the prepared words.
TEST(FullUpdate, RestorationReadsEachControllersOwnRole) {
    const UpdateRun run = runUpdateOnSimulatedHand("", exampleImagePath());
    for (const auto& [id, before] : run.before) {
        char expected[80];
        std::snprintf(expected, sizeof expected,
                      "Restoring the ROLE for Dovel %d\nGetting the ROLE...[0x%04x]", id,
                      static_cast<unsigned>(before.storedRole & 0xFFE0));
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected;
    }
}

}  // namespace
