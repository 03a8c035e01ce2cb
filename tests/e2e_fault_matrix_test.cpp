// Every fault of the simulated hand, at the first, a middle and the last controller: the
// run ends in bounded time, reports the failure for that controller only, updates the
// others, and stores in the faulty controller no ROLE it did not report.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/image_scan.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_file.h"
#include "tests/support/update_run.h"

#if !defined(_WIN32)
#include "app/startup.h"
#include "tests/support/child_run.h"
#include "tests/support/environment.h"
#endif

namespace {

// A whole update of the example image takes about 25 s of simulated time, and a download
// that never gets its first reply 30 s more; a run that takes much longer is waiting
// where it should not.
constexpr int64_t RUN_TIME_BOUND_US = 90LL * 1000 * 1000;

struct FaultCase {
    const char* name;
    const char* option;                    // "%d" stands for the controller
    std::vector<std::string> faultyLines;  // in that controller's text, "%d" likewise
    bool faultyCompletes;
    const char* recorded;  // the faulty controller's outcome in the run's record
};

// Test names carry the case; this keeps the parameter's bytes out of the listings.
void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

std::string withId(const std::string& text, int id) {
    std::string result = text;
    for (size_t at = result.find("%d"); at != std::string::npos; at = result.find("%d")) {
        result.replace(at, 2, std::to_string(id));
    }
    return result;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string NO_REPLY = "ERROR - no reply within 1000 ms\n";
const std::string DOWNLOAD_FAILED = "\nDownload FAILED: Dovel %d stopped replying\n";
const std::string START_UNANSWERED =
    "\nDownload FAILED: Dovel %d did not answer its download start\n";
const std::string SKIPPED = "Skipped: its download did not complete\n";
const std::string SKIPPED_IN_MONITOR =
    "Skipped: its download did not complete; it stays in its monitor\n";
const std::string CHECK_NO_REPLY = "Checking Dovel %d...[FAILED] no reply\n";
const std::string CHECK_OLD_FIRMWARE = "Checking Dovel %d...[OK] main firmware, VERS 0x0214\n";
const std::string UPDATED = "Dovel %d: updated\n";

const FaultCase FAULTS[] = {
    {"Silent",
     "silent=%d",
     {"Looking for Dovel ID %d...[FAILED]\n", START_UNANSWERED, SKIPPED, CHECK_NO_REPLY,
      "Dovel %d: FAILED - not found\n"},
     false,
     "not_found"},
    {"StatusMessage",
     "status=%d",
     {"Looking for Dovel ID %d...Got status message, DATA[3] = 0x0008\n", START_UNANSWERED, SKIPPED,
      CHECK_OLD_FIRMWARE, "Dovel %d: FAILED - not found\n"},
     false,
     "not_found"},
    {"CrazyId",
     "crazy-id=%d",
     {"Looking for Dovel ID %d...Crazy dovel ID found: 40\n[OK]\n", UPDATED},
     true,
     "updated"},
    {"RoleStuck",
     "role-stuck=%d",
     {"ROLE verification FAILED!\nResetting the dovel...[OK]\n", START_UNANSWERED, SKIPPED,
      CHECK_OLD_FIRMWARE, "Dovel %d: FAILED - ROLE not prepared\n"},
     false,
     "not_prepared"},
    {"StallEarly",
     "stall=%d:5",
     {DOWNLOAD_FAILED, SKIPPED_IN_MONITOR, CHECK_NO_REPLY,
      "Dovel %d: FAILED - download stopped at 0%\n"},
     false,
     "download_stopped"},
    {"StallLate",
     "stall=%d:37000",
     {DOWNLOAD_FAILED, SKIPPED_IN_MONITOR, CHECK_NO_REPLY,
      "Dovel %d: FAILED - download stopped at 97%\n"},
     false,
     "download_stopped"},
    // Its download's start is never answered (an erase longer than the start's bound).
    {"StartNeverAnswered",
     "erase=%d:40000",
     {START_UNANSWERED, SKIPPED_IN_MONITOR,
      "Dovel %d: FAILED - did not answer its download start\n"},
     false,
     "download_start_not_answered"},
    // It answers its check too late: the check's own reason is the summary's.
    {"CheckAnsweredLate",
     "slow=%d:1500",
     {CHECK_NO_REPLY, "Dovel %d: FAILED - did not answer its check\n"},
     true,
     "check_not_answered"},
    {"SlowUnder100ms", "slow=%d:90", {UPDATED}, true, "updated"},
    {"SlowOver100ms", "slow=%d:150", {UPDATED}, true, "updated"},
    {"ReadErrorInDownload",
     "read-error=%d:100",
     {"ERROR - CAN_Read(): 256\n", UPDATED},
     true,
     "updated"},
    {"ForeignNodeAnswers", "foreign=%d", {UPDATED}, true, "updated"},
    {"SlowErase", "erase=%d:5000", {UPDATED}, true, "updated"},
    {"StallThenAnswerAgain",
     "stall=%d:500:3000",
     {DOWNLOAD_FAILED, SKIPPED_IN_MONITOR, "Checking Dovel %d...[FAILED] still in its monitor\n",
      "Dovel %d: FAILED - download stopped at 1%\n"},
     false,
     "download_stopped"},
    {"ReplyWithLen15",
     "long-len=%d",
     {"Getting the ROLE...[FAILED]\n", START_UNANSWERED, SKIPPED, CHECK_OLD_FIRMWARE,
      "Dovel %d: FAILED - ROLE not prepared\n"},
     false,
     "not_prepared"},
};

const int POSITIONS[] = {11, 13, 14};

// The monitors' receive buffer: the simulated hand's default, and the one character that
// shows any character sent before its controller is ready for it.
const char* const RX_BUFFERS[] = {"", ",rx-buffer=1"};
// Together also with Dovel 14's monitor answering the start request sent to 13, and 14
// taking 3 ms for each character: a slow and a fast controller that could be paired wrongly.
const char* const STRAY_AND_SLOW = ",rx-buffer=1,stray=14:13,char-delay=14:3000";
const char* const TOGETHER_VARIANTS[] = {"", ",rx-buffer=1", STRAY_AND_SLOW};
// 3 ms for each of the example image's characters, on top of the usual bound.
constexpr int64_t SLOW_RUN_TIME_BOUND_US = RUN_TIME_BOUND_US + 120LL * 1000 * 1000;

std::string rxBufferName(const char* option) {
    return option == STRAY_AND_SLOW ? "StrayAndSlow" : *option != '\0' ? "RxBuffer1" : "";
}

class FaultMatrixTest : public testing::TestWithParam<std::tuple<FaultCase, int, const char*>> {};

TEST_P(FaultMatrixTest, FailsOnlyTheFaultyControllerAndKeepsItsRoleSafe) {
    const auto& [fault, faultyId, rxBuffer] = GetParam();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(exampleImagePath().c_str(), &image), 0);
    const UpdateRun run =
        runUpdateOnSimulatedHand(withId(fault.option, faultyId) + rxBuffer, exampleImagePath());
    ASSERT_EQ(run.after.size(), 4u);
    EXPECT_LT(run.virtualUs, RUN_TIME_BOUND_US);

    for (const auto& [id, after] : run.after) {
        const SimDovelState& before = run.before.at(id);
        EXPECT_EQ(after.charactersLost, 0) << "controller " << id;
        const std::string& text = run.sections.count(id) ? run.sections.at(id) : std::string();
        if (id != faultyId) {
            EXPECT_EQ(completionProblem(before, after, image), "") << "controller " << id;
            EXPECT_EQ(text.find("FAILED"), std::string::npos) << text;
            EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
            EXPECT_NE(text.find(withId(UPDATED, id)), std::string::npos) << text;
            continue;
        }
        for (const std::string& line : fault.faultyLines) {
            EXPECT_NE(text.find(withId(line, id)), std::string::npos)
                << "missing: " << withId(line, id) << "\nin:\n"
                << text;
        }
        if (fault.faultyCompletes) {
            EXPECT_EQ(completionProblem(before, after, image), "") << "controller " << id;
        } else {
            EXPECT_NE(completionProblem(before, after, image), "") << "controller " << id;
            EXPECT_TRUE(storedRoleIsDerived(before, after))
                << std::hex << before.storedRole << " became " << after.storedRole;
        }
    }
    // Text before the first controller's steps is the link's; nothing may fail there.
    EXPECT_EQ(run.sections.count(0) ? run.sections.at(0).find("FAILED") : std::string::npos,
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrixTest,
    testing::Combine(testing::ValuesIn(FAULTS), testing::ValuesIn(POSITIONS),
                     testing::ValuesIn(RX_BUFFERS)),
    [](const testing::TestParamInfo<std::tuple<FaultCase, int, const char*>>& info) {
        return std::string(std::get<0>(info.param).name) + "At" +
               std::to_string(std::get<1>(info.param)) + rxBufferName(std::get<2>(info.param));
    });

// The image file changed while the first download runs.
struct ImageChange {
    const char* name;
    void (*change)(const std::string& path);
};

void PrintTo(const ImageChange& change, std::ostream* out) { *out << change.name; }

const ImageChange IMAGE_CHANGES[] = {
    {"ImageRemovedDuringTheFirstDownload",
     [](const std::string& path) { std::remove(path.c_str()); }},
    {"ImageTruncatedDuringTheFirstDownload",
     [](const std::string& path) { std::filesystem::resize_file(path, 20000); }},
    {"ImageRewrittenDuringTheFirstDownload",
     [](const std::string& path) {
         const std::string other = writeRandomImage("other", 16384, 99);
         std::ofstream(path, std::ios::binary | std::ios::trunc) << readFile(other);
         std::remove(other.c_str());
     }},
};

class ImageAfterTheFileCheckTest : public testing::TestWithParam<ImageChange> {};

// The downloads stream the image the file check read: whatever becomes of the file, every
// controller receives exactly the checked image.
TEST_P(ImageAfterTheFileCheckTest, EveryControllerGetsTheCheckedImage) {
    TempFile image(readFile(exampleImagePath()));
    const ImageFileChange change{GetParam().change, 5000};
    const UpdateRun run = runUpdateOnSimulatedHand("", image.path, &change);
    TekImage checked{};
    ASSERT_EQ(tekDecodeImage(exampleImagePath().c_str(), &checked), 0);
    for (int id = 11; id <= 14; ++id) {
        EXPECT_EQ(completionProblem(run.before.at(id), run.after.at(id), checked), "")
            << "controller " << id;
    }
    EXPECT_NE(run.out.find("\n4 of 4 Dovels updated.\n"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, ImageAfterTheFileCheckTest, testing::ValuesIn(IMAGE_CHANGES),
                         [](const testing::TestParamInfo<ImageChange>& info) {
                             return info.param.name;
                         });

// The link goes away during the first download: the adapter pulled out (every operation
// fails) or the interface deleted or set down (writes fail, reads find nothing). The
// console names the link, not the controllers, and every wait after it ends at once.
struct LinkLoss {
    const char* name;
    const char* option;
    const char* reason;
};

void PrintTo(const LinkLoss& loss, std::ostream* out) { *out << loss.name; }

class LinkLossTest : public testing::TestWithParam<LinkLoss> {};

TEST_P(LinkLossTest, NamesTheLinkAndEndsEveryWaitAtOnce) {
    const UpdateRun run = runUpdateOnSimulatedHand(GetParam().option, exampleImagePath());
    const std::string down = "the CAN link is down (" + std::string(GetParam().reason) + ")\n";
    EXPECT_EQ(run.out.find("Download complete!"), std::string::npos);
    EXPECT_EQ(run.out.find("stopped replying"), std::string::npos);
    for (int id = 11; id <= 14; ++id) {
        EXPECT_NE(run.sections.at(id).find("\nDownload FAILED: " + down), std::string::npos)
            << run.sections.at(id);
        EXPECT_NE(run.sections.at(id).find(withId("Checking Dovel %d...not checked: ", id) +
                                           "the CAN link went down (" + GetParam().reason + ")\n"),
                  std::string::npos)
            << run.sections.at(id);
        EXPECT_NE(run.out.find(withId("Dovel %d: FAILED - the CAN link went down: ", id)),
                  std::string::npos);
        EXPECT_TRUE(storedRoleIsDerived(run.before.at(id), run.after.at(id)));
    }
    EXPECT_NE(run.out.find("\n0 of 4 Dovels updated.\nThe CAN link went down (" +
                           std::string(GetParam().reason) + "): check the adapter"),
              std::string::npos)
        << run.out;
    // One line for the failing reads of each wait, not one per read.
    EXPECT_LT(std::count(run.out.begin(), run.out.end(), '\n'), 150) << run.out;
    // The preparation walk, its reset wait and the first download up to the loss; none of
    // the walks' own waits after it.
    EXPECT_EQ(run.out.find("Waiting for dovels to reset...", run.out.find("Download FAILED")),
              std::string::npos);
    // About 5 s; the waits after the loss would add 10 s more.
    EXPECT_LT(run.virtualUs, 6LL * 1000 * 1000);
}

INSTANTIATE_TEST_SUITE_P(
    FaultMatrix, LinkLossTest,
    testing::Values(
        LinkLoss{"AdapterUnpluggedMidDownload", "unplug-after=2000",
                 "sim: every read and write failed for 1000 ms, the last "
                 "CAN_Read(): 4096"},
        LinkLoss{"InterfaceGoneMidDownload", "link-down-after=2000", "sim: the link is down"},
        LinkLoss{"InterfaceGoneInThePreparation", "link-down-after=20", "sim: the link is down"}),
    [](const testing::TestParamInfo<LinkLoss>& info) { return info.param.name; });

// The link goes as Dovel 12's final check begins (the run's last 32 frames are the
// check's, 8 for each controller; the queue the link loses still held 11's last reply
// two frames earlier): the controllers that took the image and got
// their ROLE back are not checked, not failed.
TEST(LinkLossInTheFinalCheck, LeavesTheOthersNotChecked) {
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(exampleImagePath().c_str(), &image), 0);
    const std::string tracePath = uniqueTempPath("dovel_check_trace");
    runUpdateOnSimulatedHand("", exampleImagePath(), nullptr, tracePath);
    std::istringstream trace(readFile(tracePath));
    std::remove(tracePath.c_str());
    long frames = 0;
    for (std::string line; std::getline(trace, line);) {
        frames += !line.empty() && line[0] == '(' ? 1 : 0;
    }
    const UpdateRun run = runUpdateOnSimulatedHand("link-down-after=" + std::to_string(frames - 22),
                                                   exampleImagePath());
    EXPECT_NE(run.out.find("Checking Dovel 11...[OK] main firmware, VERS 0x323f\n"),
              std::string::npos)
        << run.out;
    beginStdoutCapture();
    printUpdateSummary(run.outcome, ImageSummary{});
    const std::string summary = endStdoutCapture();
    for (int id = 12; id <= 14; ++id) {
        EXPECT_NE(run.out.find(withId("Checking Dovel %d...not checked: the CAN link went down "
                                      "(sim: the link is down)\n",
                                      id)),
                  std::string::npos);
        EXPECT_NE(summary.find(withId("Dovel %d: not checked: the CAN link went down after it "
                                      "took the image and got its ROLE back\n",
                                      id)),
                  std::string::npos)
            << summary;
        EXPECT_EQ(completionProblem(run.before.at(id), run.after.at(id), image), "");
    }
    EXPECT_NE(summary.find("\nDovel 11: updated\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\n1 of 4 Dovels updated.\nNot compared with a release"),
              std::string::npos)
        << summary;
    EXPECT_EQ(summary.find("not running"), std::string::npos) << summary;
}

// DOVEL_DOWNLOAD=together: a fault of one controller fails that controller alone, the
// others take the whole image at once, and a second run with the fault gone finishes the
// job.
struct TogetherFault {
    const char* name;
    const char* option;              // "%d" stands for the controller
    std::vector<std::string> lines;  // anywhere in the output, "%d" likewise
    bool faultyCompletes;
};

void PrintTo(const TogetherFault& fault, std::ostream* out) { *out << fault.name; }

const std::string STOPPED_TOGETHER =
    "Dovel %d stopped replying in the download together: if it does again, run the update "
    "with DOVEL_DOWNLOAD=one-by-one.\n";

const TogetherFault TOGETHER_FAULTS[] = {
    {"StallEarly",
     "stall=%d:5",
     {DOWNLOAD_FAILED, "\nDovel %d: download stopped at 0%\n",
      "Dovel %d: FAILED - download stopped at 0%\n", STOPPED_TOGETHER},
     false},
    {"StallThenAnswerAgain",
     "stall=%d:500:3000",
     {DOWNLOAD_FAILED, "Dovel %d: FAILED - download stopped at 1%\n", STOPPED_TOGETHER},
     false},
    {"Silent",
     "silent=%d",
     {"\nDovel %d: starting its download...ERROR - no reply within 30000 ms\nDownload FAILED: "
      "Dovel %d did not answer its download start\n",
      "Downloads: together (3 of 4)\n", "Dovel %d: FAILED - not found\n"},
     false},
    {"ReadErrorInDownload",
     "read-error=%d:100",
     {"ERROR - CAN_Read(): 256\n", "Downloads: together (4 of 4)\n"},
     true},
    {"ForeignNodeSends",
     "foreign=%d",
     {"Downloads: together (4 of 4), 1 frame of no Dovel ignored\n"},
     true},
    {"SlowErase", "erase=%d:5000", {"Downloads: together (4 of 4)\n"}, true},
    {"StartNeverAnswered",
     "erase=%d:40000",
     {"Download FAILED: Dovel %d did not answer its download start\n",
      "Dovel %d: FAILED - did not answer its download start\n"},
     false},
    {"ReplyIdChangesAfterTheFirst",
     "reply-id-change=%d",
     {"Dovel %d: starting its download...[OK] its replies carry 0x30",
      "Downloads: together (4 of 4)\n"},
     true},
};

class TogetherFaultTest
    : public testing::TestWithParam<std::tuple<TogetherFault, int, const char*>> {};

TEST_P(TogetherFaultTest, FailsOnlyTheFaultyControllerAndARunMoreFinishesTheJob) {
    const auto& [fault, faultyId, rxBuffer] = GetParam();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(exampleImagePath().c_str(), &image), 0);
    const std::string statePath = uniqueTempPath("dovel_together_state");
    const UpdateRun run = runUpdateOnSimulatedHand(
        "state=" + statePath + "," + withId(fault.option, faultyId) + rxBuffer, exampleImagePath(),
        nullptr, "", DOWNLOAD_TOGETHER);
    ASSERT_EQ(run.after.size(), 4u);
    for (const auto& [id, after] : run.after) {
        EXPECT_EQ(after.charactersLost, 0) << "controller " << id;
    }
    const bool straySlow = rxBuffer == STRAY_AND_SLOW;
    EXPECT_LT(run.virtualUs, straySlow ? SLOW_RUN_TIME_BOUND_US : RUN_TIME_BOUND_US);
    // With the stray frame the walk may go on one by one: the lines of the way it went
    // differ, what becomes of each controller does not.
    for (const std::string& line : straySlow ? std::vector<std::string>{} : fault.lines) {
        EXPECT_NE(run.out.find(withId(line, faultyId)), std::string::npos)
            << "missing: " << withId(line, faultyId) << "\nin:\n"
            << run.out;
    }
    for (const auto& [id, after] : run.after) {
        if (id != faultyId || fault.faultyCompletes) {
            EXPECT_EQ(completionProblem(run.before.at(id), after, image), "")
                << "controller " << id;
            EXPECT_NE(run.out.find(withId(UPDATED, id)), std::string::npos) << run.out;
        }
        if (id != faultyId) {
            EXPECT_EQ(run.out.find(withId("Dovel %d stopped replying", id)), std::string::npos);
            EXPECT_EQ(run.out.find(withId("Dovel %d: FAILED", id)), std::string::npos);
        } else if (!fault.faultyCompletes) {
            EXPECT_NE(completionProblem(run.before.at(id), after, image), "")
                << "controller " << id;
            EXPECT_TRUE(storedRoleIsDerived(run.before.at(id), after));
        }
    }
    if (!fault.faultyCompletes) {
        const UpdateRun again = runUpdateOnSimulatedHand("state=" + statePath, exampleImagePath(),
                                                         nullptr, "", DOWNLOAD_TOGETHER);
        EXPECT_NE(again.out.find("\n4 of 4 Dovels updated.\n"), std::string::npos) << again.out;
        EXPECT_EQ(completionProblem(run.before.at(faultyId), again.after.at(faultyId), image), "");
    }
    std::remove(statePath.c_str());
    std::remove((statePath + ".new").c_str());
    std::remove((statePath + ".lock").c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Together, TogetherFaultTest,
    testing::Combine(testing::ValuesIn(TOGETHER_FAULTS), testing::ValuesIn(POSITIONS),
                     testing::ValuesIn(TOGETHER_VARIANTS)),
    [](const testing::TestParamInfo<std::tuple<TogetherFault, int, const char*>>& info) {
        return std::string(std::get<0>(info.param).name) + "At" +
               std::to_string(std::get<1>(info.param)) + rxBufferName(std::get<2>(info.param));
    });

// Ready replies that share one identifier: the walk falls back before any character is
// sent, streams the two it started from their ready replies and starts the rest as always.
TEST(Together, SharedReplyIdentifierFallsBackToOneByOne) {
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(exampleImagePath().c_str(), &image), 0);
    const UpdateRun run = runUpdateOnSimulatedHand("shared-reply-id", exampleImagePath(), nullptr,
                                                   "", DOWNLOAD_TOGETHER);
    for (const char* line :
         {"\nDovel 11: starting its download...[OK] its replies carry 0x200\n"
          "Dovel 12: starting its download...[OK] but its replies carry 0x200 as Dovel 11's "
          "do\nThe replies of Dovel 11 and Dovel 12 cannot be told apart: the downloads go on "
          "one by one\n\n\nDownloading firmware to Dovel 11\n",
          "\n\nDownloading firmware to Dovel 14\n",
          "\nSummary\nDownloads: one by one, not together: the replies of Dovel 11 and Dovel "
          "12 "
          "both carry 0x200\n",
          "\n4 of 4 Dovels updated.\n"}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\nin:\n" << run.out;
    }
    EXPECT_EQ(run.out.find("Dovel 13: starting"), std::string::npos);
    for (int id = 11; id <= 14; ++id) {
        EXPECT_EQ(completionProblem(run.before.at(id), run.after.at(id), image), "") << id;
    }
}

// Behind an adapter with a 1 ms round trip a reply comes after the next line's pause has
// ended: it still paces that line's first character, and every flash ends exact.
TEST(Together, BehindAnAdapterWithLatencyEveryControllerTakesTheImage) {
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(exampleImagePath().c_str(), &image), 0);
    const UpdateRun run =
        runUpdateOnSimulatedHand("latency=500", exampleImagePath(), nullptr, "", DOWNLOAD_TOGETHER);
    for (int id = 11; id <= 14; ++id) {
        EXPECT_EQ(completionProblem(run.before.at(id), run.after.at(id), image), "") << id;
        // What the run's record tells of each download.
        const DownloadReport& download = run.outcome.dovels[id - 11].download;
        EXPECT_EQ(download.characters, 37898) << id;  // the example image's characters
        EXPECT_GT(download.durationUs, 0) << id;
        // Its first characters proved the identifier of its replies.
        EXPECT_TRUE(download.replyIdProven) << id;
        EXPECT_EQ(download.replyId, 0x200u | static_cast<unsigned>(id)) << id;
    }
    EXPECT_NE(run.out.find("\nSummary\nDownloads: together (4 of 4)\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("ERROR"), std::string::npos);
}

// A healthy hand whose 14 answers the start request sent to 13 and takes 3 ms for each
// character, behind monitors that hold one early character: the walk falls back rather
// than pair wrongly, and every controller is updated with the exact image.
TEST(Together, StrayFrameAndUnequalDelaysFailNoHealthyController) {
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(exampleImagePath().c_str(), &image), 0);
    const UpdateRun run = runUpdateOnSimulatedHand(
        std::string(STRAY_AND_SLOW).substr(1), exampleImagePath(), nullptr, "", DOWNLOAD_TOGETHER);
    for (int id = 11; id <= 14; ++id) {
        EXPECT_EQ(completionProblem(run.before.at(id), run.after.at(id), image), "") << id;
        EXPECT_EQ(run.after.at(id).charactersLost, 0) << id;
    }
    EXPECT_NE(run.out.find("Downloads: one by one, not together: the replies of Dovel 13 were "
                           "not proven its own"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\n4 of 4 Dovels updated.\n"), std::string::npos) << run.out;
}

// The link goes during the downloads together: one line names it, no controller is said
// to have stopped replying, and the summary names the link.
TEST(Together, LinkLossFailsEveryDownloadOnceAndNamesTheLink) {
    const std::pair<const char*, const char*> losses[] = {
        {"unplug-after=2000",
         "sim: every read and write failed for 1000 ms, the last CAN_Read(): 4096"},
        {"link-down-after=2000", "sim: the link is down"}};
    for (const auto& [option, reason] : losses) {
        const UpdateRun run =
            runUpdateOnSimulatedHand(option, exampleImagePath(), nullptr, "", DOWNLOAD_TOGETHER);
        const std::string line =
            "Download FAILED: the CAN link is down (" + std::string(reason) + ")\n";
        size_t lines = 0;
        for (size_t at = run.out.find("Download FAILED: the CAN link is down (");
             at != std::string::npos;
             at = run.out.find("Download FAILED: the CAN link is down (", at + 1)) {
            ++lines;
        }
        EXPECT_EQ(lines, 1u) << option << "\n" << run.out;
        EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("stopped replying"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\n0 of 4 Dovels updated.\nThe CAN link went down ("),
                  std::string::npos)
            << run.out;
        EXPECT_LT(run.virtualUs, 30LL * 1000 * 1000);
    }
}

#if !defined(_WIN32)
class FaultExitTest : public testing::TestWithParam<FaultCase> {};

TEST_P(FaultExitTest, EveryFaultEndsWithStatusZero) {
    const std::string setting = "sim:fast," + withId(GetParam().option, 12);
    TempFile report("");
    const ChildRun run = runInChild(
        [&] {
            setEnvironment("DOVEL_CAN", setting.c_str());
            setEnvironment("DOVEL_REPORT", report.path.c_str());
            const std::string path = exampleImagePath();
            char program[] = "dovelflash";
            std::vector<char> image(path.begin(), path.end());
            image.push_back('\0');
            char* argv[] = {program, image.data(), nullptr};
            runDovelflash(2, argv);
        },
        "");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find("\nPress any key to exit...\nDone.\n\n"), std::string::npos);
    // The record names the faulty controller's outcome in its fixed word and in the
    // summary's words, and ends with the run's status.
    const std::string record = readFile(report.path);
    const size_t summary = run.out.find("Dovel 12: ");
    ASSERT_NE(summary, std::string::npos);
    const std::string words =
        run.out.substr(summary + 10, run.out.find('\n', summary) - summary - 10);
    EXPECT_NE(record.find(std::string("{\"id\":12,\"outcome\":\"") + GetParam().recorded +
                          "\",\"summary\":\"" + words + "\""),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"exit_status\":0,\"end\":"), std::string::npos) << record;
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultExitTest, testing::ValuesIn(FAULTS),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                             return info.param.name;
                         });
#endif

}  // namespace
