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
                                   const char* imageCheck = nullptr,
                                   const std::string& trace = "") {
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
        EXPECT_EQ(run.out.find("FAILED"), std::string::npos) << run.out;
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
// from a download: its printed values are the prepared words, as the controllers
// report them in two bytes (so bit 15 shows as a negative value).
TEST(FullUpdate, RestorationReadsEachControllersOwnRole) {
    const UpdateRun run = runUpdateOnSimulatedHand("", exampleImagePath());
    for (const auto& [id, before] : run.before) {
        char expected[80];
        std::snprintf(expected, sizeof expected,
                      "Restoring the ROLE for Dovel %d\nGetting the ROLE...[0x%04x]", id,
                      static_cast<unsigned>(static_cast<int16_t>(before.storedRole & 0xFFE0)));
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected;
    }
}

}  // namespace
