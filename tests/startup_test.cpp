// The run from the banner to the exit prompt, in a child process with scripted keys.
#if !defined(_WIN32)
#include "app/startup.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
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

// What the adapter was asked to do, written to standard error as the child ends.
const ScriptedAdapter* reportedAdapter = nullptr;

void reportAdapterUse() {
    std::fprintf(stderr, "adapter calls: %zu, frames written: %zu\n", reportedAdapter->calls.size(),
                 reportedAdapter->written.size());
}

// imageCheck: the value of DOVEL_IMAGE_CHECK, nullptr for unset.
ChildRun runUtility(std::vector<std::string> args, const std::string& keys, int32_t initResult,
                    bool closeStandardInput = false, const char* imageCheck = nullptr) {
    return runInChild(
        [&] {
            if (closeStandardInput) {
                close(STDIN_FILENO);
            }
            if (imageCheck != nullptr) {
                setEnvironment("DOVEL_IMAGE_CHECK", imageCheck);
            } else {
                clearEnvironment("DOVEL_IMAGE_CHECK");
            }
            static ScriptedAdapter adapter;
            adapter.initResult = initResult;
            scriptedAdapterInstall(&adapter);
            reportedAdapter = &adapter;
            std::atexit(reportAdapterUse);
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            runDovelflash(static_cast<int>(args.size()), argv.data());
        },
        keys);
}

// "@IMAGE" in a text stands for the path of the image a test wrote.
const std::string IMAGE_MARK = "@IMAGE";

std::string withImage(std::string text, const std::string& path) {
    for (size_t at = text.find(IMAGE_MARK); at != std::string::npos;
         at = text.find(IMAGE_MARK, at)) {
        text.replace(at, IMAGE_MARK.size(), path);
        at += path.size();
    }
    return text;
}

const std::string GOOD_IMAGE = "%0E61C410000102\n%0A81741000\n";
const std::string BAD_CHECKSUM_IMAGE = "%0E61D410000102\n%0A81741000\n";
const std::string BAD_CHECKSUM = "line 1: checksum is 0x1D, the record's digits sum to 0x1C\n";

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
    std::string expectedErr = "";
    const char* image = nullptr;  // written to @IMAGE
    const char* imageCheck = nullptr;
};

class FileCheckTest : public testing::TestWithParam<FileCheckCase> {};

// A refused image ends the run before any frame reaches a controller.
TEST_P(FileCheckTest, RefusesWhatItCannotOpenAndEndsAtTheExitPrompt) {
    const FileCheckCase& c = GetParam();
    TempFile image(c.image != nullptr ? c.image : "");
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
        args.push_back(withImage(a, image.path));
    }
    const ChildRun run = runUtility(args, "", 0, false, c.imageCheck);
    EXPECT_EQ(run.out, banner(args) + LINK_UP + withImage(c.expectedAfterLink, image.path) + EXIT);
    EXPECT_EQ(run.err, c.expectedErr + "adapter calls: 3, frames written: 0\n");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, 0);
}

const std::string LONG_PATH(2000, 'p');
const std::string PATH_1024(1024, 'q');
const std::string NO_SUCH_FILE = ": No such file or directory\n";

INSTANTIATE_TEST_SUITE_P(
    Paths, FileCheckTest,
    testing::Values(
        FileCheckCase{
            "DefaultPath",
            {PROGRAM},
            "Accessing firmware file: dovel2.tek...[FAILED] Could not open firmware file\n",
            "dovelflash: dovel2.tek" + NO_SUCH_FILE},
        FileCheckCase{
            "Missing",
            {PROGRAM, "missing.tek"},
            "Accessing firmware file: missing.tek...[FAILED] Could not open firmware file\n",
            "dovelflash: missing.tek" + NO_SUCH_FILE},
        FileCheckCase{"EmptyPath",
                      {PROGRAM, ""},
                      "Accessing firmware file: ...[FAILED] Could not open firmware file\n",
                      "dovelflash: " + NO_SUCH_FILE},
        FileCheckCase{"Directory",
                      {PROGRAM, "/"},
                      "Accessing firmware file: /...[FAILED] Could not open firmware file\n",
                      "dovelflash: /: Is a directory\n"},
        FileCheckCase{"OnlyTheFirstArgumentIsThePath",
                      {PROGRAM, "a.tek", "b.tek", "c.tek"},
                      "Accessing firmware file: a.tek...[FAILED] Could not open firmware file\n",
                      "dovelflash: a.tek" + NO_SUCH_FILE},
        FileCheckCase{"PathTooLong",
                      {PROGRAM, LONG_PATH},
                      "Accessing firmware file: " + LONG_PATH +
                          "...[FAILED] Firmware path is longer than 1023 characters\n"},
        FileCheckCase{"PathOf1024",
                      {PROGRAM, PATH_1024},
                      "Accessing firmware file: " + PATH_1024 +
                          "...[FAILED] Firmware path is longer than 1023 characters\n"},
        FileCheckCase{"EmptyImage",
                      {PROGRAM, "@IMAGE"},
                      "Accessing firmware file: @IMAGE...[FAILED] the file holds no record\n",
                      "",
                      ""},
        FileCheckCase{"BadChecksum",
                      {PROGRAM, "@IMAGE"},
                      "Accessing firmware file: @IMAGE...[FAILED] " + BAD_CHECKSUM,
                      "",
                      BAD_CHECKSUM_IMAGE.c_str()},
        FileCheckCase{"StrictSetting",
                      {PROGRAM, "@IMAGE"},
                      "Accessing firmware file: @IMAGE...[FAILED] " + BAD_CHECKSUM,
                      "",
                      BAD_CHECKSUM_IMAGE.c_str(),
                      "strict"},
        FileCheckCase{"UnknownSetting",
                      {PROGRAM, "@IMAGE"},
                      "Accessing firmware file: @IMAGE...[FAILED] DOVEL_IMAGE_CHECK is \"Warn\"; "
                      "it takes strict or warn\n",
                      "",
                      GOOD_IMAGE.c_str(),
                      "Warn"},
        FileCheckCase{"DevZeroUnderWarn",
                      {PROGRAM, "/dev/zero"},
                      "Accessing firmware file: /dev/zero...[FAILED] the file is a character "
                      "device, not a regular file\n",
                      "",
                      nullptr,
                      "warn"}),
    [](const testing::TestParamInfo<FileCheckCase>& info) { return info.param.name; });

// Standard output is a pipe (as under `| tee update.log`): each prompt is in the pipe
// while its key is awaited, so the operator sees what is asked.
TEST(Prompts, ReachAPipeBeforeTheKeyIsAwaited) {
    int out[2], in[2];
    ASSERT_EQ(pipe(out), 0);
    ASSERT_EQ(pipe(in), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        close(out[0]);
        close(in[1]);
        alarm(20);
        static ScriptedAdapter adapter;
        adapter.initResult = 3;
        scriptedAdapterInstall(&adapter);
        char program[] = "dovelflash";
        char* argv[] = {program, nullptr};
        runDovelflash(1, argv);
    }
    close(out[1]);
    close(in[0]);
    std::string seen;
    for (const std::string prompt : {"(y/n)? ", "Press any key to exit..."}) {
        char buffer[256];
        pollfd ready{out[0], POLLIN, 0};
        // Nothing is typed until the prompt has arrived; a prompt held in a buffer would
        // never come.
        while (seen.find(prompt) == std::string::npos && poll(&ready, 1, 10000) > 0) {
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            seen.append(buffer, static_cast<size_t>(n));
        }
        EXPECT_NE(seen.find(prompt), std::string::npos) << seen;
        (void)!write(in[1], "n", 1);
    }
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status));
}

struct CheckCase {
    const char* name;
    std::string image;
    const char* imageCheck;
    std::string expectedOut;
    int exitStatus;
};

class CheckOptionTest : public testing::TestWithParam<CheckCase> {};

// "--check IMAGE" prints only the file-check line and its verdict, touches no adapter and
// says the verdict in its exit status.
TEST_P(CheckOptionTest, ChecksTheImageAloneAndExitsWithItsVerdict) {
    const CheckCase& c = GetParam();
    TempFile image(c.image);
    const std::string path = c.image == "EXAMPLE" ? exampleImagePath() : image.path;
    const ChildRun run = runUtility({PROGRAM, "--check", path}, "", 0, false, c.imageCheck);
    EXPECT_EQ(run.out, "Accessing firmware file: " + path + "..." + c.expectedOut);
    EXPECT_EQ(run.err, "adapter calls: 0, frames written: 0\n");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Images, CheckOptionTest,
    testing::Values(
        CheckCase{"Good", GOOD_IMAGE, nullptr,
                  "[OK]\nImage: 1 data record, 2 bytes from 0x00001000 to 0x00001001, start "
                  "address 0x00001000\n",
                  0},
        CheckCase{"Example", "EXAMPLE", nullptr,
                  "[OK]\nImage: 512 data records, 16384 bytes from 0x00001000 to 0x00004FFF, "
                  "start address 0x00001000\n",
                  0},
        CheckCase{"Refused", BAD_CHECKSUM_IMAGE, nullptr, "[FAILED] " + BAD_CHECKSUM, 1},
        CheckCase{"WarnStillFails", BAD_CHECKSUM_IMAGE, "warn", "[WARNING] " + BAD_CHECKSUM, 1},
        CheckCase{"UnknownSetting", GOOD_IMAGE, "lax",
                  "[FAILED] DOVEL_IMAGE_CHECK is \"lax\"; it takes strict or warn\n", 1}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

// With no controller on the bus every step fails in bounded time, each in its own
// words, and every walk still visits all four controllers.
TEST(UpdateWalks, SilentBusRunsEveryWalkAndEndsWithStatusZero) {
    TempFile image("%0A81741000\n");
    const ChildRun run = runUtility({PROGRAM, image.path}, "", 0);
    std::string expected = banner({PROGRAM, image.path}) + LINK_UP +
                           "Accessing firmware file: " + image.path +
                           "...[OK]\nImage: 0 data records, no data bytes, start address "
                           "0x00001000\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "\nLooking for Dovel ID " + std::to_string(id) + "...[FAILED]\n";
    }
    expected += "\nWaiting for dovels to reset...\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "\n\nDownloading firmware to Dovel " + std::to_string(id) +
                    "\n\rDownload progress: 100%   ERROR - no reply within 30000 ms\n\nDownload "
                    "FAILED: Dovel " +
                    std::to_string(id) + " stopped replying\n";
    }
    expected += "\nWaiting for dovels to reset...\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "\nRestoring the ROLE for Dovel " + std::to_string(id) +
                    "\nSkipped: its download did not complete\n";
    }
    expected += "\nWaiting for dovels to reset...\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "Checking Dovel " + std::to_string(id) +
                    "...ERROR - no reply within 1000 ms\n[FAILED] no reply\n";
    }
    expected += "\nSummary\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "Dovel " + std::to_string(id) + ": FAILED - not found\n";
    }
    expected +=
        "0 of 4 Dovels updated.\n"
        "Run the update again to finish the others: it is safe to repeat.\n";
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
// that frame: every line is on its way to the file before the operation returns. The
// operator is told the update was cut short, and the run ends as the signal ends it.
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
    EXPECT_FALSE(run.exited);
    const std::string interrupted = UPDATE_INTERRUPTED_LINE;
    ASSERT_GE(run.out.size(), interrupted.size());
    EXPECT_EQ(run.out.substr(run.out.size() - interrupted.size()), interrupted);
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

void PrintTo(const UsageCase& c, std::ostream* out) { *out << c.name; }

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
              "\n  DOVEL_CAN_TRACE_UNMASKED=1\n", "\n  DOVEL_IMAGE_CHECK=strict|warn\n",
              "\n  DOVEL_EXIT_STATUS=report ", "\n  stall=ID:N ", "\n  power-off-after=N ",
              "\nExit status:\n"}) {
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
