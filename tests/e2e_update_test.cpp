// Whole updates of the simulated hand: the console text byte for byte, the frames, and
// the state every controller ends in.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/update_run.h"

#if !defined(_WIN32)
#include <unistd.h>

#include "app/startup.h"
#include "tests/support/child_run.h"
#include "tests/support/environment.h"
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
ChildRun runUtilityOnSimulatedHand(const std::string& setting) {
    return runInChild(
        [&] {
            EXPECT_EQ(chdir(DOVEL_SOURCE_DIR), 0);
            setEnvironment("DOVEL_CAN", setting.c_str());
            char program[] = "dovelflash";
            char image[] = "examples/dovel2.tek";
            char* argv[] = {program, image, nullptr};
            runDovelflash(2, argv);
        },
        "");
}

TEST(FullUpdate, PrintsTheGoldenTranscriptAndReportsFourUpdatedControllers) {
    const ChildRun run = runUtilityOnSimulatedHand("sim:fast");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out,
              readFile(std::string(DOVEL_SOURCE_DIR) + "/tests/golden/full_update_stdout.txt"));
    std::istringstream report(run.err);
    std::string line;
    int updated = 0;
    while (std::getline(report, line)) {
        if (line.find(": main ROLE(stored)=") != std::string::npos &&
            line.find("flash=16384 bytes") != std::string::npos &&
            line.find(" bad=0 lost=0") != std::string::npos) {
            ++updated;
        }
    }
    EXPECT_EQ(updated, 4) << run.err;
}
#endif

TEST(FullUpdate, EveryControllerTakesTheImageAndReturnsToItsRole) {
    const TekImage image = exampleImage();
    ASSERT_FALSE(image.bytes.empty());
    const UpdateRun run = runUpdateOnSimulatedHand("", exampleImagePath());
    for (const auto& [id, after] : run.after) {
        EXPECT_EQ(completionProblem(run.before.at(id), after, image), "") << "controller " << id;
        EXPECT_EQ(after.charactersLost, 0) << "controller " << id;
    }
    EXPECT_EQ(run.out.find("FAILED"), std::string::npos);
    EXPECT_EQ(run.out.find("ERROR"), std::string::npos);
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
