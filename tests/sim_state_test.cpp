// A simulated hand that outlives the process (state=FILE): what the next hand on the
// same file finds, however the run before ended, and the files it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "firmware/tek_format.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"
#include "sim/state_path.h"
#include "tests/support/child_run.h"
#include "tests/support/environment.h"
#include "tests/support/sim_session.h"
#include "tests/support/temp_file.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int UNLOCK_MAIN = SIM_PROP_UNLOCK_MAIN;
constexpr int UNLOCK_MONITOR = SIM_PROP_UNLOCK_MONITOR;
constexpr int ROLE = SIM_PROP_ROLE;
constexpr int STATUS = SIM_PROP_STATUS;
constexpr int STORE = SIM_PROP_STORE;
constexpr int VERS = SIM_PROP_VERS;
constexpr const char* REFUSAL_HINT = "; remove it to start a factory-fresh hand\n";

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A state file path, removed with what the hand writes beside it when the test ends.
struct StatePath {
    std::string path = uniqueTempPath("state");
    ~StatePath() {
        std::remove(path.c_str());
        std::remove((path + ".new").c_str());
    }
};

std::string firstRunStream() {
    std::string line;
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(tekFormatRecord(TEK_TYPE_DATA, 0x1000, 4, data, 3, &line), 0);
    return line.substr(1, line.size() - 2) + "0A6";
}

std::string readyReply(int taken) {
    char text[32];
    std::snprintf(text, sizeof text, "20C#8000%02X%02X", taken & 0xFF, (taken >> 8) & 0xFF);
    return text;
}

// The current hand's report line of a controller.
std::string reportLine(int node) {
    const TempFile report("");
    std::FILE* out = std::fopen(report.path.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    if (!out) {
        return "";
    }
    simHandReport(simCurrentHand(), out);
    std::fclose(out);
    const std::string text = fileText(report.path);
    const size_t start = text.find("sim: dovel " + std::to_string(node));
    return start == std::string::npos ? "" : text.substr(start, text.find('\n', start) + 1 - start);
}

class SimStateTest : public SimSessionTest {
  protected:
    StatePath state;

    // Controller 12 into its monitor, then part of a download: one whole record and the
    // start of the next, with a stall fault that silences it after a few characters.
    void firstRun(const std::string& extra) {
        openHand("state=" + state.path + ",stall=12:10" + extra);
        simStoreRoleAndReset(12, UNLOCK_MAIN, 0x0A40);
        simExchange(simSet(12, VERS, 0xAA), 3);
        for (char c : firstRunStream()) {
            simExchange(simCharacter(12, c), 1);
        }
    }
};

struct RoundTripCase {
    const char* ending;  // how the first run ends: "" closes the hand normally
    bool powered;        // the controllers kept power
};

const RoundTripCase ROUND_TRIP_CASES[] = {
    {"", true}, {"halt-after", true}, {"power-off-after", false}};

TEST_F(SimStateTest, NextHandOnTheFileFindsWhatTheRunBeforeLeft) {
    firstRun("");
    const long frames = simHandFramesDone(simCurrentHand());
    simSessionEnd();
    const std::string closedNormally = fileText(state.path);
    for (const RoundTripCase& c : ROUND_TRIP_CASES) {
        std::remove(state.path.c_str());
        if (*c.ending) {
#if defined(_WIN32)
            static_cast<void>(frames);
            continue;  // needs a child process
#else
            const std::string ending = std::string(",") + c.ending + "=" + std::to_string(frames);
            const ChildRun run = runInChild([&] { firstRun(ending); }, "");
            EXPECT_TRUE(run.exited && run.exitStatus == SIM_ABRUPT_EXIT_STATUS) << c.ending;
            EXPECT_NE(
                run.err.find(std::string("sim: ") + c.ending + "=" + std::to_string(frames) + ": "),
                std::string::npos)
                << run.err;
            if (c.powered) {  // the controllers went on as after a normal end
                EXPECT_EQ(fileText(state.path), closedNormally);
            }
#endif
        } else {
            firstRun("");
            simSessionEnd();
        }
        openHand("state=" + state.path);
        // Powered throughout, it goes on with its download, answered now (the stall was
        // that run's); booted afresh from its lasting state, a LEN-1 frame is a get again.
        const int taken = c.powered ? static_cast<int>(firstRunStream().size()) : 0;
        const SimDovelState dovel = simDovelState(12);
        EXPECT_EQ(dovel.mode, SIM_MODE_MONITOR) << c.ending;
        EXPECT_EQ(dovel.storedRole, 0x0A40) << c.ending;
        EXPECT_EQ(dovel.ramRole, 0x0A40) << c.ending;
        EXPECT_EQ(dovel.downloading, c.powered) << c.ending;
        EXPECT_EQ(dovel.charactersTaken, taken) << c.ending;
        EXPECT_EQ(dovel.image, SIM_IMAGE_INCOMPLETE) << c.ending;
        EXPECT_EQ(dovel.flash, (std::map<uint32_t, uint8_t>{{0x1000, 1}, {0x1001, 2}, {0x1002, 3}}))
            << c.ending;
        EXPECT_EQ(simExchange(simCharacter(12, '0')),
                  Frames{c.powered ? readyReply(taken + 1) : "20C#B00000"})
            << c.ending;
        const SimDovelState other = simDovelState(11);
        EXPECT_EQ(other.mode, SIM_MODE_MAIN) << c.ending;
        EXPECT_EQ(other.storedRole, 0x1225) << c.ending;
        EXPECT_EQ(other.image, SIM_IMAGE_FACTORY) << c.ending;
        simSessionEnd();
    }
}

TEST_F(SimStateTest, MissingFileStartsAFactoryFreshHandAndIsMade) {
    openHand("state=" + state.path);
    EXPECT_EQ(fileText(state.path).rfind("dovelflash simulated hand state 1\npowered 1\n", 0), 0u);
    EXPECT_EQ(simDovelState(13).storedRole, 0x8465);
    EXPECT_EQ(simDovelState(13).image, SIM_IMAGE_FACTORY);
    EXPECT_EQ(simExchange(simGet(13, VERS)), Frames{"20D#80001402"});
}

TEST_F(SimStateTest, PartlyWrittenMainFirmwareIsDamagedAndSaysSo) {
    openHand("state=" + state.path);
    simStoreRoleAndReset(14, UNLOCK_MAIN, 0x3C80);
    simExchange(simSet(14, VERS, 0xAA), 3);
    for (char c : firstRunStream()) {
        simExchange(simCharacter(14, c), 1);
    }
    EXPECT_EQ(reportLine(14).find("image="), std::string::npos);  // its ROLE boots the monitor
    simSendAccessCode(14, UNLOCK_MONITOR);
    simWrite(simSet(14, ROLE, 0x3C85));
    simWrite(simSet(14, STORE, 1));
    simReadAfter(100);
    EXPECT_NE(reportLine(14).find("monitor ROLE(stored)=0x3C85"), std::string::npos);
    EXPECT_NE(reportLine(14).find(" image=incomplete\n"), std::string::npos);
    simWrite(simSet(14, STATUS, 0));
    simReadAfter(600);
    for (int round = 0; round < 2; ++round) {  // this run, then the next on the file
        EXPECT_EQ(simExchange(simGet(14, STATUS), 100), Frames{}) << round;
        const SimDovelState dovel = simDovelState(14);
        EXPECT_EQ(dovel.mode, SIM_MODE_MAIN) << round;
        EXPECT_EQ(dovel.image, SIM_IMAGE_INCOMPLETE) << round;
        const std::string line = reportLine(14);
        char expected[256];
        std::snprintf(expected, sizeof expected,
                      "sim: dovel 14: main ROLE(stored)=0x3C85 flash=3 bytes crc32=0x%08X "
                      "records=1 bad=0 lost=0 image=incomplete\n",
                      static_cast<unsigned>(dovel.flashCrc32));
        EXPECT_EQ(line, expected) << round;
        simSessionEnd();
        openHand("state=" + state.path);
    }
}

struct RefusedCase {
    const char* name;
    std::string (*content)(const std::string& good);
    const char* problem;
};

const RefusedCase REFUSED_CASES[] = {
    {"empty", [](const std::string&) { return std::string(); }, "is empty"},
    {"another file", [](const std::string&) { return std::string("%0A6...\n"); },
     "is not a state file of the simulated hand"},
    {"another version",
     [](const std::string& good) {
         std::string text = good;
         text[std::string("dovelflash simulated hand state ").size()] = '2';
         return text;
     },
     "is of another version (2; this simulator reads 1)"},
    {"truncated", [](const std::string& good) { return good.substr(0, good.size() / 2); },
     "is truncated"},
    {"truncated in its end line",
     [](const std::string& good) { return good.substr(0, good.size() - 3); }, "is truncated"},
    {"corrupt",
     [](const std::string& good) {
         std::string text = good;
         const size_t role = text.find("dovel 12 role 0A45");
         text[role + std::string("dovel 12 role ").size()] = '8';
         return text;
     },
     "is corrupt: its checksum does not match"},
};

TEST_F(SimStateTest, BadFilesAreRefusedAtTheLinkStartUpAndLeftAsTheyAre) {
    openHand("state=" + state.path);
    simSessionEnd();
    const std::string good = fileText(state.path);
    for (const RefusedCase& c : REFUSED_CASES) {
        const std::string bad = c.content(good);
        writeFile(state.path, bad);
        canUseBackend(nullptr);
        canConfigure(("sim:fast,state=" + state.path).c_str());
        testing::internal::CaptureStderr();
        const int32_t result = CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
        const std::string err = testing::internal::GetCapturedStderr();
        canConfigure(nullptr);
        EXPECT_NE(result, CAN_OK) << c.name;
        EXPECT_EQ(err, "sim: state file '" + state.path + "' " + c.problem + REFUSAL_HINT)
            << c.name;
        EXPECT_EQ(simCurrentHand(), nullptr) << c.name;
        EXPECT_EQ(fileText(state.path), bad) << c.name;
        canUseBackend(nullptr);
    }
}

#if !defined(_WIN32)
// Every path to the state file has one real path, also a link whose file is not there yet
// and a link through a folder link; a different file has another.
TEST(SimStatePath, EveryPathToTheFileHasOneRealPath) {
    namespace fs = std::filesystem;
    const fs::path folder = uniqueTempPath("state_path");
    fs::create_directories(folder / "sub");
    const fs::path file = folder / "hand.state";
    fs::create_symlink(file, folder / "early");  // before the file exists
    fs::create_directory_symlink(folder, folder / "sub" / "up");
    fs::create_symlink("../hand.state", folder / "sub" / "relative");
    const std::string real = simRealPath(file.string());
    const fs::path same[] = {folder / "early", folder / "sub" / ".." / "hand.state",
                             folder / "sub" / "up" / "early", folder / "sub" / "relative"};
    for (const fs::path& path : same) {
        EXPECT_EQ(simRealPath(path.string()), real) << path;
    }
    EXPECT_NE(simRealPath((folder / "other.state").string()), real);
    fs::remove_all(folder);
}
#endif

}  // namespace
