// An update interrupted at any moment, by the utility dying or by the hand losing power,
// is finished by running the utility once more on the same hand: after every run each
// controller's stored ROLE is one derived from what it reported and no controller is
// left booting half an image; after the second run all four are updated.
#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app/dovel_ids.h"
#include "app/startup.h"
#include "can/can_backend.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"
#include "tests/support/child_run.h"
#include "tests/support/environment.h"
#include "tests/support/temp_file.h"
#include "tests/support/update_run.h"

namespace {

constexpr uint32_t IMAGE_BYTES = 512;
constexpr uint32_t IMAGE_SEED = 20261209;
// Interruptions at every this many frames, besides those around each event below.
constexpr long SWEEP_STEP_FRAMES = 250;
// Frames the host sends at the moments where an interruption matters most: a STORE,
// a reset, a download's start request.
const char* const EVENT_FRAMES[] = {"#89", "#85000000", "#8000AA00"};
const char* const INTERRUPTIONS[] = {"halt-after", "power-off-after"};

std::string sweepImage() { return writeRandomImage("dovel_sweep", IMAGE_BYTES, IMAGE_SEED); }

// The frame numbers to interrupt after, from the bus trace of an uninterrupted update.
std::set<long> interruptionPoints(const std::string& imagePath) {
    const std::string tracePath = uniqueTempPath("dovel_sweep_trace");
    runUpdateOnSimulatedHand("", imagePath, nullptr, tracePath);
    std::ifstream trace(tracePath);
    std::set<long> points;
    std::string line;
    long frame = 0;
    while (std::getline(trace, line)) {
        if (line.empty() || line[0] != '(') {
            continue;  // not a frame line
        }
        ++frame;
        for (const char* event : EVENT_FRAMES) {
            if (line.find(event) != std::string::npos) {
                points.insert({frame - 1, frame, frame + 1});
            }
        }
        if (frame % SWEEP_STEP_FRAMES == 0) {
            points.insert(frame);
        }
    }
    std::remove(tracePath.c_str());
    points.erase(0);
    return points;
}

// The controllers as a state file holds them, read from a copy so that the file itself
// is not touched.
std::vector<SimDovelState> statesIn(const std::string& statePath) {
    const std::string copy = statePath + ".look";
    {
        std::ifstream from(statePath, std::ios::binary);
        std::ofstream to(copy, std::ios::binary);
        to << from.rdbuf();
    }
    std::string error;
    SimHand* hand = simHandCreate(("fast,state=" + copy).c_str(), &error);
    EXPECT_NE(hand, nullptr) << error;
    std::vector<SimDovelState> states(SIM_DOVEL_COUNT);
    for (int i = 0; hand && i < SIM_DOVEL_COUNT; ++i) {
        simHandDovelState(hand, SIM_FIRST_DOVEL_ID + i, &states[i]);
    }
    simHandDestroy(hand);
    std::remove(copy.c_str());
    std::remove((copy + ".new").c_str());
    return states;
}

// What must hold after any run: nothing stored but the controller's own word with its
// role code cleared or set to 5, and no controller that will boot a half-written image.
void expectSafe(const std::vector<SimDovelState>& states, const std::string& when) {
    for (int i = 0; i < SIM_DOVEL_COUNT; ++i) {
        const uint16_t reported = SIM_INITIAL_ROLES[i];
        const SimDovelState& s = states[i];
        EXPECT_TRUE(s.storedRole == reported || s.storedRole == (reported & 0xFFE0))
            << when << ": controller " << s.node << " stored " << std::hex << s.storedRole;
        EXPECT_FALSE(s.image == SIM_IMAGE_INCOMPLETE && (s.storedRole & SIM_ROLE_CODE_MASK) != 0)
            << when << ": controller " << s.node << " would boot a half-written image";
    }
}

ChildRun runInterrupted(const std::string& setting, const std::string& imagePath,
                        const char* downloadMode = "") {
    return runInChild(
        [&] {
            setEnvironment("DOVEL_CAN", setting.c_str());
            setEnvironment("DOVEL_DOWNLOAD", downloadMode);
            char program[] = "dovelflash";
            std::vector<char> image(imagePath.begin(), imagePath.end());
            image.push_back('\0');
            char* argv[] = {program, image.data(), nullptr};
            runDovelflash(2, argv);
        },
        "");
}

// Runs the update once more on the hand in statePath and checks that it finished the job.
void expectFinishedByRunningAgain(const std::string& statePath, const std::string& imagePath,
                                  const TekImage& image, const std::string& options = "") {
    const UpdateRun again = runUpdateOnSimulatedHand(options + "state=" + statePath, imagePath);
    expectSafe(statesIn(statePath), "after running again");
    EXPECT_NE(again.out.find("\n4 of 4 Dovels updated.\n"), std::string::npos)
        << again.out.substr(std::min(again.out.size(), again.out.find("\nSummary")));
    for (int i = 0; i < SIM_DOVEL_COUNT; ++i) {
        SimDovelState factory{};
        factory.storedRole = SIM_INITIAL_ROLES[i];
        EXPECT_EQ(completionProblem(factory, again.after.at(SIM_FIRST_DOVEL_ID + i), image), "")
            << "controller " << SIM_FIRST_DOVEL_ID + i;
    }
    std::remove(statePath.c_str());
    std::remove((statePath + ".new").c_str());
    std::remove((statePath + ".lock").c_str());
}

// An update that failed on a controller, with the fault gone in the next run.
TEST(Recovery, AFailedUpdateIsFinishedByRunningAgain) {
    const std::string imagePath = sweepImage();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(imagePath.c_str(), &image), 0);
    for (const char* fault : {"stall=12:500", "stall=12:500:3000", "stall=14:5", "silent=13",
                              "role-stuck=11", "unplug-after=3000"}) {
        SCOPED_TRACE(fault);
        const std::string statePath = uniqueTempPath("dovel_failed_state");
        const UpdateRun failed =
            runUpdateOnSimulatedHand("state=" + statePath + "," + fault, imagePath);
        EXPECT_EQ(failed.out.find("\n4 of 4 Dovels updated.\n"), std::string::npos);
        expectSafe(statesIn(statePath), "after the failed run");
        expectFinishedByRunningAgain(statePath, imagePath, image);
    }
    std::remove(imagePath.c_str());
}

// Ctrl-C or a termination request while a controller resets: the simulated hand keeps
// the state it had reached, and the next run finishes the update.
const CanBackend* simulatedHand = nullptr;
CanBackend signallingHand{};
int signalAtReset = 0;
int resetsBeforeSignal = 0;

int32_t writeThenSignalAtReset(const CanFrame* frame) {
    const int32_t result = simulatedHand->write(frame);
    if (frame->LEN == 4 && frame->DATA[0] == 0x85 && --resetsBeforeSignal == 0) {
        raise(signalAtReset);
    }
    return result;
}

TEST(Recovery, AnUpdateStoppedBySignalMidResetIsFinishedByRunningAgain) {
    const std::string imagePath = sweepImage();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(imagePath.c_str(), &image), 0);
    for (const int signal : {SIGTERM, SIGINT}) {
        for (const int reset : {2, 6}) {  // in the preparation walk, in the restoration walk
            SCOPED_TRACE(std::to_string(signal) + " at reset " + std::to_string(reset));
            const std::string statePath = uniqueTempPath("dovel_signal_state");
            const ChildRun first = runInChild(
                [&] {
                    signalAtReset = signal;
                    resetsBeforeSignal = reset;
                    simulatedHand = simOpenBackend(("fast,state=" + statePath).c_str());
                    signallingHand = *simulatedHand;
                    signallingHand.write = writeThenSignalAtReset;
                    canUseBackend(&signallingHand);
                    std::vector<char> path(imagePath.begin(), imagePath.end());
                    path.push_back('\0');
                    char program[] = "dovelflash";
                    char* argv[] = {program, path.data(), nullptr};
                    runDovelflash(2, argv);
                },
                "");
            EXPECT_FALSE(first.exited) << "not stopped by the signal";
            expectSafe(statesIn(statePath), "after the stopped run");
            expectFinishedByRunningAgain(statePath, imagePath, image);
        }
    }
    std::remove(imagePath.c_str());
}

// A monitor whose ready replies are one fixed frame that carries its ID passes the search
// and fails its preparation; the reset that follows brings it back to an idle monitor.
TEST(Recovery, AMonitorLeftMidDownloadWithFixedReadyFramesIsFinishedByRunningAgain) {
    const std::string imagePath = sweepImage();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(imagePath.c_str(), &image), 0);
    const std::string statePath = uniqueTempPath("dovel_ready_id_state");
    const ChildRun first =
        runInterrupted("sim:fast,ready=id,halt-after=300,state=" + statePath, imagePath);
    EXPECT_EQ(first.exitStatus, SIM_ABRUPT_EXIT_STATUS);
    EXPECT_NE(first.out.find("Downloading firmware to Dovel 11"), std::string::npos);
    expectFinishedByRunningAgain(statePath, imagePath, image, "ready=id,");
    std::remove(imagePath.c_str());
}

TEST(Recovery, AnUpdateInterruptedAnywhereIsFinishedByRunningAgain) {
    const std::string imagePath = sweepImage();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(imagePath.c_str(), &image), 0);
    const std::set<long> points = interruptionPoints(imagePath);
    ASSERT_GT(points.size(), 40u);
    RecordProperty("interruption points", static_cast<int>(points.size()));

    for (const char* interruption : INTERRUPTIONS) {
        for (const long frame : points) {
            const std::string when = std::string(interruption) + "=" + std::to_string(frame);
            SCOPED_TRACE(when);
            const std::string statePath = uniqueTempPath("dovel_sweep_state");
            const ChildRun first =
                runInterrupted("sim:fast,state=" + statePath + "," + when, imagePath);
            ASSERT_TRUE(first.exited);
            EXPECT_EQ(first.exitStatus, SIM_ABRUPT_EXIT_STATUS) << "not interrupted";
            expectSafe(statesIn(statePath), "after the interrupted run");

            expectFinishedByRunningAgain(statePath, imagePath, image);
            if (HasFailure()) {
                std::remove(imagePath.c_str());
                return;
            }
        }
    }
    std::remove(imagePath.c_str());
}

// Killed or without power in the middle of the downloads together: the next run, in
// either mode, finishes the job.
TEST(Recovery, AnUpdateInterruptedInTheDownloadsTogetherIsFinishedByRunningAgain) {
    const std::string imagePath = sweepImage();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(imagePath.c_str(), &image), 0);
    const std::string tracePath = uniqueTempPath("dovel_together_trace");
    runUpdateOnSimulatedHand("", imagePath, nullptr, tracePath, DOWNLOAD_TOGETHER);
    std::ifstream trace(tracePath);
    long firstStart = 0;
    long frame = 0;
    for (std::string line; std::getline(trace, line) && firstStart == 0;) {
        frame += line.empty() || line[0] != '(' ? 0 : 1;
        firstStart = line.find("#8000AA00") != std::string::npos ? frame : 0;
    }
    ASSERT_GT(firstStart, 0);
    std::remove(tracePath.c_str());
    for (const char* interruption : INTERRUPTIONS) {
        for (const long after : {0L, 3L, 7L, 40L, 400L, 1500L}) {
            const std::string when =
                std::string(interruption) + "=" + std::to_string(firstStart + after);
            SCOPED_TRACE(when);
            const std::string statePath = uniqueTempPath("dovel_together_state");
            const ChildRun first =
                runInterrupted("sim:fast,state=" + statePath + "," + when, imagePath, "together");
            ASSERT_TRUE(first.exited);
            EXPECT_EQ(first.exitStatus, SIM_ABRUPT_EXIT_STATUS) << "not interrupted";
            EXPECT_NE(first.out.find("Downloading firmware to the Dovels together"),
                      std::string::npos);
            expectSafe(statesIn(statePath), "after the interrupted run");
            expectFinishedByRunningAgain(statePath, imagePath, image);
        }
    }
    std::remove(imagePath.c_str());
}

// Interrupted in the restoration walk, after Dovel 12's reset: --status names the two left
// in their monitor, and the update of those two alone finishes the hand without writing to
// the others.
TEST(Recovery, AnInterruptedUpdateIsFinishedByNamingTheControllersStatusLists) {
    const std::string imagePath = sweepImage();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(imagePath.c_str(), &image), 0);
    const std::string tracePath = uniqueTempPath("dovel_named_trace");
    runUpdateOnSimulatedHand("", imagePath, nullptr, tracePath);
    long frame = 0;
    long secondReset = 0;
    int resets = 0;
    std::ifstream trace(tracePath);
    for (std::string line; std::getline(trace, line) && secondReset == 0;) {
        frame += line.empty() || line[0] != '(' ? 0 : 1;
        resets += line.find(" 00C#85000000") != std::string::npos ? 1 : 0;
        secondReset = resets == 2 ? frame : 0;
    }
    trace.close();
    ASSERT_GT(secondReset, 0);
    const std::string statePath = uniqueTempPath("dovel_named_state");
    const ChildRun first = runInterrupted(
        "sim:fast,halt-after=" + std::to_string(secondReset) + ",state=" + statePath, imagePath);
    EXPECT_EQ(first.exitStatus, SIM_ABRUPT_EXIT_STATUS);
    const ChildRun status = runInChild(
        [&] {
            setEnvironment("DOVEL_CAN", ("sim:fast,state=" + statePath).c_str());
            char program[] = "dovelflash";
            char option[] = "--status";
            char* argv[] = {program, option, nullptr};
            runDovelflash(2, argv);
        },
        "");
    const std::string advice = "Finish the update of those in their monitor with ";
    const size_t at = status.out.find(advice + "DOVEL_IDS=");
    ASSERT_NE(at, std::string::npos) << status.out;
    const std::string command = status.out.substr(at + advice.size());
    EXPECT_EQ(command, "DOVEL_IDS=13,14 dovelflash IMAGE\n");
    DovelIds named = 0;
    ASSERT_TRUE(parseDovelIds(command.substr(10, command.find(' ') - 10).c_str(), &named));

    const UpdateRun again = runUpdateOnSimulatedHand("state=" + statePath, imagePath, nullptr,
                                                     tracePath, DOWNLOAD_ONE_BY_ONE, false, named);
    EXPECT_NE(again.out.find("\n2 of 2 Dovels updated.\n"), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find("firmware versions"), std::string::npos) << again.out;
    for (int id = SIM_FIRST_DOVEL_ID; id < SIM_FIRST_DOVEL_ID + SIM_DOVEL_COUNT; ++id) {
        SimDovelState factory{};
        factory.storedRole = SIM_INITIAL_ROLES[id - SIM_FIRST_DOVEL_ID];
        EXPECT_EQ(completionProblem(factory, again.after.at(id), image), "") << id;
    }
    EXPECT_EQ(leftOutTouched(again, tracePath, ALL_DOVEL_IDS & ~named), "");
    for (const std::string& removed :
         {imagePath, tracePath, statePath, statePath + ".new", statePath + ".lock"}) {
        std::remove(removed.c_str());
    }
}

}  // namespace
#endif
