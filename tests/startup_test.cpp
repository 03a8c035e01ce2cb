// The run from the banner to the exit prompt, in a child process with scripted keys.
#if !defined(_WIN32)
#include "app/startup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/usage.h"
#include "can/can_trace.h"
#include "dovel_build_info.h"
#include "tests/support/child_run.h"
#include "tests/support/environment.h"
#include "tests/support/scripted_adapter.h"
#include "tests/support/temp_file.h"
#include "tests/support/update_run.h"

namespace {

const char* const PROGRAM = "dovelflash";

std::string banner(const std::vector<std::string>& args) {
    std::string s = "\nZendra firmware download utility\nVersion 1.0\nArgument count = " +
                    std::to_string(args.size()) + "\n";
    for (size_t i = 0; i < args.size(); ++i) {
        s += "  arg[" + std::to_string(i) + "] = " + args[i] + "\n";
    }
    return s;
}

const std::string LINK_UP =
    "\nInitializing USB/CAN device...\nSUCCESS - CAN_Init()\nSUCCESS - CAN_ResetClient()\n"
    "SUCCESS - CAN_MsgFilter()\nCAN device initialized.\n";
const std::string LINK_FAILS =
    "\nInitializing USB/CAN device...\nERROR - CAN_Init(): 3\n[FAILED] Please check that your "
    "USB/CAN device is plugged in.\n\nDo you want to try again (y/n)? ";
const std::string EXIT = "\nPress any key to exit...\nDone.\n\n";

ChildRun runUtility(std::vector<std::string> args, const std::string& keys, int32_t initResult,
                    bool closeStandardInput = false) {
    return runInChild(
        [&] {
            if (closeStandardInput) {
                close(STDIN_FILENO);
            }
            static ScriptedAdapter adapter;
            adapter.initResult = initResult;
            scriptedAdapterInstall(&adapter);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            runDovelflash(static_cast<int>(args.size()), argv.data());
        },
        keys);
}

struct RetryCase {
    const char* name;
    std::string keys;
    int attempts;
};

class RetryPromptTest : public testing::TestWithParam<RetryCase> {};

TEST_P(RetryPromptTest, RetriesOnAnyKeyButNAndEndsWithStatusZero) {
    const RetryCase& c = GetParam();
    const ChildRun run = runUtility({PROGRAM}, c.keys, 3);
    std::string expected = banner({PROGRAM});
    for (int i = 0; i < c.attempts; ++i) {
        expected += LINK_FAILS;
    }
    EXPECT_EQ(run.out, expected + EXIT);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(Keys, RetryPromptTest,
                         testing::Values(RetryCase{"DeclineN", "nx", 1},
                                         RetryCase{"DeclineCapitalN", "N", 1},
                                         RetryCase{"YesThenNo", "yn", 2},
                                         RetryCase{"EnterSpaceEscapeThenNo", "\r \x1bYn", 5},
                                         RetryCase{"NulIsNoKey", std::string("\0\0n", 3), 1},
                                         RetryCase{"EndOfInputDeclines", "", 1},
                                         RetryCase{"EndOfInputAfterRetries", "yy", 3}),
                         [](const testing::TestParamInfo<RetryCase>& info) {
                             return info.param.name;
                         });

TEST(RetryPrompt, ClosedStandardInputDeclinesInsteadOfLooping) {
    const ChildRun run = runUtility({PROGRAM}, "", 3, true);
    EXPECT_EQ(run.out, banner({PROGRAM}) + LINK_FAILS + EXIT);
    EXPECT_EQ(run.exitStatus, 0);
}

struct FileCheckCase {
    const char* name;
    std::vector<std::string> args;
    std::string expectedAfterLink;
};

class FileCheckTest : public testing::TestWithParam<FileCheckCase> {};

TEST_P(FileCheckTest, RefusesWhatItCannotOpenAndEndsAtTheExitPrompt) {
    const FileCheckCase& c = GetParam();
    const ChildRun run = runUtility(c.args, "", 0);
    EXPECT_EQ(run.out, banner(c.args) + LINK_UP + c.expectedAfterLink + EXIT);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
}

const std::string LONG_PATH(2000, 'p');
const std::string PATH_1024(1024, 'q');

INSTANTIATE_TEST_SUITE_P(
    Paths, FileCheckTest,
    testing::Values(
        FileCheckCase{
            "DefaultPath",
            {PROGRAM},
            "Accessing firmware file: dovel2.tek...[FAILED] Could not open firmware file\n"},
        FileCheckCase{
            "Missing",
            {PROGRAM, "missing.tek"},
            "Accessing firmware file: missing.tek...[FAILED] Could not open firmware file\n"},
        FileCheckCase{"EmptyPath",
                      {PROGRAM, ""},
                      "Accessing firmware file: ...[FAILED] Could not open firmware file\n"},
        FileCheckCase{"OnlyTheFirstArgumentIsThePath",
                      {PROGRAM, "a.tek", "b.tek", "c.tek"},
                      "Accessing firmware file: a.tek...[FAILED] Could not open firmware file\n"},
        FileCheckCase{"PathTooLong",
                      {PROGRAM, LONG_PATH},
                      "Accessing firmware file: " + LONG_PATH +
                          "...[FAILED] Firmware path is longer than 1023 characters\n"},
        FileCheckCase{"PathOf1024",
                      {PROGRAM, PATH_1024},
                      "Accessing firmware file: " + PATH_1024 +
                          "...[FAILED] Firmware path is longer than 1023 characters\n"}),
    [](const testing::TestParamInfo<FileCheckCase>& info) { return info.param.name; });

// With no controller on the bus every step fails in bounded time, each in its own
// words, and every walk still visits all four controllers.
TEST(UpdateWalks, SilentBusRunsEveryWalkAndEndsWithStatusZero) {
    TempFile image("");
    const ChildRun run = runUtility({PROGRAM, image.path}, "", 0);
    std::string expected = banner({PROGRAM, image.path}) + LINK_UP +
                           "Accessing firmware file: " + image.path + "...[OK]\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "\nLooking for Dovel ID " + std::to_string(id) + "...[FAILED]\n";
    }
    expected += "\nWaiting for dovels to reset...\n";
    for (int id = 11; id <= 14; ++id) {
        expected +=
            "\n\nDownloading firmware to Dovel " + std::to_string(id) + "\n\nDownload complete!   ";
    }
    expected += "\nWaiting for dovels to reset...\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "\nRestoring the ROLE for Dovel " + std::to_string(id) +
                    "\nGetting the ROLE...ERROR - no reply within 1000 ms\n[FAILED]\n";
    }
    EXPECT_EQ(run.out, expected + EXIT);
    EXPECT_EQ(run.exitStatus, 0);
}

// --- The link's trace over a whole run ---------------------------------------------

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(LinkTrace, UnopenableFileFailsTheStartUpWithItsLine) {
    const std::string missing = testing::TempDir() + "no-such-folder/trace.log";
    const ChildRun run = runInChild(
        [&] {
            setEnvironment(CAN_TRACE_VARIABLE, missing.c_str());
            static ScriptedAdapter adapter;
            scriptedAdapterInstall(&adapter);
            char* argv[] = {const_cast<char*>(PROGRAM), nullptr};
            runDovelflash(1, argv);
        },
        "n");
    EXPECT_EQ(run.out, banner({PROGRAM}) +
                           "\nInitializing USB/CAN device...\nERROR - CAN_Init(): 1048576\n"
                           "[FAILED] Please check that your USB/CAN device is plugged in.\n"
                           "\nDo you want to try again (y/n)? " +
                           EXIT);
    EXPECT_EQ(run.err, "DOVEL_CAN_TRACE: cannot open the trace file " + missing +
                           ": No such file or directory\n");
}

// Killed at the read after its third frame, the run leaves a trace whose last line is
// that frame: every line is on its way to the file before the operation returns.
TEST(LinkTrace, RunStoppedBySigtermLeavesTheTraceUpToTheLastFrameSent) {
    constexpr size_t FRAMES_BEFORE_STOP = 3;
    const std::string trace = uniqueTempPath("sigterm-trace");
    const std::string image = exampleImagePath();
    const ChildRun run = runInChild(
        [&] {
            setEnvironment(CAN_TRACE_VARIABLE, trace.c_str());
            static ScriptedAdapter adapter;
            adapter.onRead = [](ScriptedAdapter& a) {
                if (a.written.size() == FRAMES_BEFORE_STOP) {
                    raise(SIGTERM);
                }
            };
            scriptedAdapterInstall(&adapter);
            char* argv[] = {const_cast<char*>(PROGRAM), const_cast<char*>(image.c_str()), nullptr};
            runDovelflash(2, argv);
        },
        "");
    EXPECT_EQ(run.out.find("Press any key"), std::string::npos) << "the run was not stopped";
    const std::string log = fileText(trace);
    static const std::regex FRAME_LINE(R"(\(\d+\.\d{6}\) scripted [0-9A-F]{3}#[0-9A-F]*\n)");
    size_t frames = 0;
    std::string last;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        last = line + "\n";
        frames += std::regex_match(last, FRAME_LINE) ? 1 : 0;
    }
    EXPECT_EQ(frames, FRAMES_BEFORE_STOP) << log;
    EXPECT_TRUE(std::regex_match(last, FRAME_LINE)) << log;
    EXPECT_EQ(log.back(), '\n');
    std::remove(trace.c_str());
}

// --- --help and --version ------------------------------------------------------------

std::string versionText() {
    return std::string("dovelflash ") + DOVEL_VERSION_TEXT +
           "\nCAN backends: sim, socketcan (DOVEL_CAN unset: socketcan:can0)\n" +
           (DOVEL_ACCESS_CODE_IS_PLACEHOLDER
                ? "Access code: the project's placeholder; this build cannot unlock a real hand\n"
                : "Access code: configured at build time\n");
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    bool showsUsage;  // else the version
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

// Run with the simulated hand and a trace asked for: no banner, no link (the trace is
// never made), no prompt, status 0.
TEST_P(UsageTest, PrintsAndEndsAtOnceWithoutTouchingTheLink) {
    std::vector<std::string> args = GetParam().args;
    const std::string trace = uniqueTempPath("usage-trace");
    const ChildRun run = runInChild(
        [&] {
            setEnvironment("DOVEL_CAN", "sim:fast");
            setEnvironment(CAN_TRACE_VARIABLE, trace.c_str());
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            runDovelflash(static_cast<int>(args.size()), argv.data());
        },
        "");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_FALSE(std::ifstream(trace).good()) << "the link was started";
    if (GetParam().showsUsage) {
        EXPECT_EQ(run.out.rfind("dovelflash installs new firmware", 0), 0u) << run.out;
        for (const char* line :
             {"\n  dovelflash [IMAGE] ", "\n  dovelflash --check IMAGE ",
              "\n  dovelflash --status ", "\n  DOVEL_CAN=BACKEND ", "\n  DOVEL_CAN_TRACE=FILE ",
              "\n  DOVEL_IMAGE_CHECK=strict|warn\n", "\n  DOVEL_EXIT_STATUS=report ",
              "\n  stall=ID:N ", "\n  power-off-after=N ", "\nExit status:\n"}) {
            EXPECT_NE(run.out.find(line), std::string::npos) << line;
        }
    } else {
        EXPECT_EQ(run.out, versionText());
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, UsageTest,
                         testing::Values(UsageCase{"Help", {PROGRAM, "--help"}, true},
                                         UsageCase{"ShortHelp", {PROGRAM, "-h"}, true},
                                         UsageCase{"Version", {PROGRAM, "--version"}, false}),
                         [](const testing::TestParamInfo<UsageCase>& info) {
                             return info.param.name;
                         });

// Only as the one argument: otherwise it is an image path, as any other word.
TEST(Usage, AsOneOfSeveralArgumentsIsAnImagePath) {
    const ChildRun run = runUtility({PROGRAM, "--help", "x"}, "", 0);
    EXPECT_EQ(run.out, banner({PROGRAM, "--help", "x"}) + LINK_UP +
                           "Accessing firmware file: --help...[FAILED] Could not open firmware "
                           "file\n" +
                           EXIT);
}

}  // namespace
#endif
