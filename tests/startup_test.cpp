// The run from the banner to the exit prompt, in a child process with scripted keys.
#if !defined(_WIN32)
#include "app/startup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/download_mode.h"
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
    std::string option = "";  // "--status": no exit prompt, the line ended, status 1
};

class RetryPromptTest : public testing::TestWithParam<RetryCase> {};

TEST_P(RetryPromptTest, RetriesOnAnyKeyButNAndEndsWithStatusZero) {
    const RetryCase& c = GetParam();
    const std::vector<std::string> args = c.option.empty()
                                              ? std::vector<std::string>{PROGRAM}
                                              : std::vector<std::string>{PROGRAM, c.option};
    const ChildRun run = runUtility(args, c.keys, 3);
    std::string expected = banner(args);
    for (int i = 0; i < c.attempts; ++i) {
        expected += LINK_FAILS;
    }
    EXPECT_EQ(run.out, expected + (c.option.empty() ? EXIT : "\n"));
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, c.option.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Keys, RetryPromptTest,
                         testing::Values(RetryCase{"DeclineN", "nx", 1},
                                         RetryCase{"DeclineCapitalN", "N", 1},
                                         RetryCase{"YesThenNo", "yn", 2},
                                         RetryCase{"EnterSpaceEscapeThenNo", "\r \x1bYn", 5},
                                         RetryCase{"NulIsNoKey", std::string("\0\0n", 3), 1},
                                         RetryCase{"EndOfInputDeclines", "", 1},
                                         RetryCase{"EndOfInputAfterRetries", "yy", 3},
                                         RetryCase{"StatusDeclined", "yn", 2, "--status"},
                                         RetryCase{"StatusAtEndOfInput", "", 1, "--status"}),
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

// The utility in a child that runs on while the test goes on, its standard output and
// input pipes of the test's.
struct PipedChild {
    pid_t pid;
    int out;   // what it prints
    int keys;  // what it reads
};

PipedChild startPiped(const std::function<void()>& body) {
    int out[2], in[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(in), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        // Its diagnostics and the simulated hand's report are not what is looked at.
        dup2(open("/dev/null", O_WRONLY), STDERR_FILENO);
        close(out[0]);
        close(in[1]);
        alarm(20);
        body();
    }
    close(out[1]);
    close(in[0]);
    return {pid, out[0], in[1]};
}

// Reads the child's output into *seen until it holds text; false when it never comes.
bool readUntil(const PipedChild& child, const std::string& text, std::string* seen) {
    char buffer[256];
    pollfd ready{child.out, POLLIN, 0};
    while (seen->find(text) == std::string::npos && poll(&ready, 1, 10000) > 0) {
        const ssize_t n = read(child.out, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        seen->append(buffer, static_cast<size_t>(n));
    }
    return seen->find(text) != std::string::npos;
}

void runProgram(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    runDovelflash(static_cast<int>(args.size()), argv.data());
}

// Standard output is a pipe (as under `| tee update.log`): each prompt is in the pipe
// while its key is awaited, so the operator sees what is asked.
TEST(Prompts, ReachAPipeBeforeTheKeyIsAwaited) {
    const PipedChild child = startPiped([] {
        static ScriptedAdapter adapter;
        adapter.initResult = 3;
        scriptedAdapterInstall(&adapter);
        runProgram({PROGRAM});
    });
    std::string seen;
    for (const std::string prompt : {"(y/n)? ", "Press any key to exit..."}) {
        // Nothing is typed until the prompt has arrived; a prompt held in a buffer would
        // never come.
        EXPECT_TRUE(readUntil(child, prompt, &seen)) << seen;
        (void)!write(child.keys, "n", 1);
    }
    close(child.keys);
    int status = 0;
    waitpid(child.pid, &status, 0);
    close(child.out);
    EXPECT_TRUE(WIFEXITED(status));
}

// --- One run per bus -----------------------------------------------------------------

struct HeldBusCase {
    const char* name;
    void (*letGo)(const PipedChild& holder);  // how the run that holds the bus ends
};

class HeldBusTest : public testing::TestWithParam<HeldBusCase> {};

// The holder's adapter is gone before its first frame, so it waits at the retry prompt
// with the simulated hand's bus taken. A second run there, update or status check,
// makes no hand (no report, no trace) and names the holder; once the holder has let
// go, a third run takes the bus.
TEST_P(HeldBusTest, SecondRunIsRefusedBeforeAnyFrameUntilTheFirstLetsGo) {
    const std::string state = uniqueTempPath("held_bus_state");
    const std::string trace = uniqueTempPath("held_bus_trace");
    const std::string setting = "sim:fast,state=" + state;
    const PipedChild holder = startPiped([&] {
        setEnvironment("DOVEL_CAN", (setting + ",unplug-after=0").c_str());
        runProgram({PROGRAM});
    });
    std::string seen;
    ASSERT_TRUE(readUntil(holder, "(y/n)? ", &seen)) << seen;
    const auto runOnBus = [&](const std::vector<std::string>& args) {
        return runInChild(
            [&] {
                setEnvironment("DOVEL_CAN", setting.c_str());
                setEnvironment("DOVEL_SIM_TRACE", trace.c_str());
                runProgram(args);
            },
            "");
    };
    const std::string refused = "\nInitializing USB/CAN device...\n[FAILED] the simulated hand " +
                                state + " is in use by another dovelflash (process " +
                                std::to_string(holder.pid) + ")\n";
    const ChildRun second = runOnBus({PROGRAM, "x.tek"});
    EXPECT_EQ(second.out,
              banner({PROGRAM, "x.tek"}) + refused + "\nDo you want to try again (y/n)? " + EXIT);
    const ChildRun status = runOnBus({PROGRAM, "--status"});
    EXPECT_EQ(status.out, banner({PROGRAM, "--status"}) + refused);
    EXPECT_EQ(status.exitStatus, 1);
    EXPECT_EQ(second.err + status.err, "");
    EXPECT_FALSE(std::ifstream(trace).good()) << "a refused run made a hand";

    GetParam().letGo(holder);
    const ChildRun third = runOnBus({PROGRAM, "--status"});
    EXPECT_NE(third.out.find(LINK_UP), std::string::npos) << third.out;
    EXPECT_EQ(third.exitStatus, 0);
    EXPECT_TRUE(std::ifstream(trace).good()) << "the trace of a hand is not made";
    close(holder.keys);
    waitpid(holder.pid, nullptr, 0);
    close(holder.out);
    for (const std::string& path : {state, state + ".lock", trace}) {
        std::remove(path.c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(
    LetGo, HeldBusTest,
    testing::Values(HeldBusCase{"KilledWithSigkill",
                                [](const PipedChild& holder) {
                                    kill(holder.pid, SIGKILL);
                                    waitpid(holder.pid, nullptr, 0);
                                }},
                    HeldBusCase{"DeclinedRetryWaitsAtTheExitPrompt",
                                [](const PipedChild& holder) {
                                    (void)!write(holder.keys, "n", 1);
                                    std::string seen;
                                    EXPECT_TRUE(readUntil(holder, "exit...", &seen)) << seen;
                                }}),
    [](const testing::TestParamInfo<HeldBusCase>& info) { return info.param.name; });

// sha256sum's fingerprints of the images, as the "Image:" line must give them.
const std::string GOOD_VERDICT =
    "[OK]\nImage: 1 data record, 2 bytes from 0x00001000 to 0x00001001, start address "
    "0x00001000, sha256 6de3239e8f29e59ceb54a1eb0dad3a5313d998e91791c40653828a343538af12\n";

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
        CheckCase{"Good", GOOD_IMAGE, nullptr, GOOD_VERDICT, 0},
        CheckCase{"EmptySettingIsUnset", GOOD_IMAGE, "", GOOD_VERDICT, 0},
        CheckCase{"Example", "EXAMPLE", nullptr,
                  "[OK]\nImage: 512 data records, 16384 bytes from 0x00001000 to 0x00004FFF, "
                  "start address 0x00001000, sha256 "
                  "aef5cb40d642a7e2db9eababceb18775bc576091227369903df2585eee5e1656\n",
                  0},
        CheckCase{"Refused", BAD_CHECKSUM_IMAGE, nullptr, "[FAILED] " + BAD_CHECKSUM, 1},
        CheckCase{"WarnStillFails", BAD_CHECKSUM_IMAGE, "warn", "[WARNING] " + BAD_CHECKSUM, 1},
        CheckCase{"UnknownSetting", GOOD_IMAGE, "lax",
                  "[FAILED] DOVEL_IMAGE_CHECK is \"lax\"; it takes strict or warn\n", 1}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

// With no controller on the bus every step fails in bounded time, each in its own
// words, and every walk still visits all four controllers.
TEST(UpdateWalks, SilentBusRunsEveryWalkAndEndsWithStatusZero) {
    TempFile image("%0E61C410000102\n%0A81741000\n");
    const ChildRun run = runUtility({PROGRAM, image.path}, "", 0);
    std::string expected = banner({PROGRAM, image.path}) + LINK_UP +
                           "Accessing firmware file: " + image.path + "..." + GOOD_VERDICT;
    for (int id = 11; id <= 14; ++id) {
        expected += "\nLooking for Dovel ID " + std::to_string(id) + "...[FAILED]\n";
    }
    expected += "\nWaiting for dovels to reset...\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "\n\nDownloading firmware to Dovel " + std::to_string(id) +
                    "\n\rDownload progress: 50%   ERROR - no reply within 30000 ms\n\nDownload "
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
        expected += "Checking Dovel " + std::to_string(id) + "...[FAILED] no reply\n";
    }
    expected += "\nSummary\nImage: " + image.path +
                ", sha256 6de3239e8f29e59ceb54a1eb0dad3a5313d998e91791c40653828a343538af12\n";
    for (int id = 11; id <= 14; ++id) {
        expected += "Dovel " + std::to_string(id) + ": FAILED - not found\n";
    }
    expected +=
        "0 of 4 Dovels updated.\n"
        "No Dovel was updated: check the hand's power, the CAN cable and its termination, then "
        "run the update again: it is safe to repeat.\n";
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
             {"\n  dovelflash [IMAGE] ", "\n  dovelflash --check [IMAGE]\n",
              "\n  dovelflash --status ", "\n  DOVEL_CAN=BACKEND ", "\n  DOVEL_CAN_TRACE=FILE ",
              "\n  DOVEL_CAN_TRACE_UNMASKED=1\n", "\n  DOVEL_IMAGE_CHECK=strict|warn\n",
              "\n  DOVEL_EXIT_STATUS=report ", "\n  stall=ID:N ", "\n  power-off-after=N ",
              "\n  DOVEL_DOWNLOAD=one-by-one|together\n", "\n  latency=US ", "\nExit status:\n"}) {
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

// One of the utility's own options where it is no option ("dovelflash dovel2.tek --check")
// ends the run before the link starts: its typist meant the option, not an update.
class MisplacedOptionTest : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(MisplacedOptionTest, EndsTheRunBeforeTheLinkStarts) {
    const std::vector<std::string> args = GetParam();
    const std::string option = args[1].rfind("--", 0) == 0 ? args[1] : args[2];
    const ChildRun run = runUtility(args, "", 0);
    EXPECT_EQ(run.out, banner(args) + "\n" + option +
                           " is one of this utility's own options, not a word of an update: "
                           "nothing was done.\nUsage: dovelflash [IMAGE] | --check [IMAGE] | "
                           "--status | --help | --version\n" +
                           EXIT);
    EXPECT_EQ(run.err, "adapter calls: 0, frames written: 0\n");
    EXPECT_EQ(run.exitStatus, 0);
}

// A mistyped download mode is refused before the link starts, not taken for either mode.
TEST(DownloadMode, MalformedValueEndsTheRunBeforeTheLinkStarts) {
    for (const char* value : {"Together", "together ", "one_by_one"}) {
        std::vector<std::string> args = {PROGRAM, "dovel2.tek"};
        const ChildRun run = runInChild(
            [&] {
                setEnvironment("DOVEL_DOWNLOAD", value);
                static ScriptedAdapter adapter;
                scriptedAdapterInstall(&adapter);
                reportedAdapter = &adapter;
                std::atexit(reportAdapterUse);
                std::vector<char*> argv = {args[0].data(), args[1].data(), nullptr};
                runDovelflash(2, argv.data());
            },
            "");
        EXPECT_EQ(run.out, banner(args) + "\nDOVEL_DOWNLOAD=" + value +
                               " is neither one-by-one nor together: nothing was done.\n" + EXIT);
        EXPECT_EQ(run.err, "adapter calls: 0, frames written: 0\n");
    }
}

TEST(DownloadMode, ParsesTheTwoWordsAndTreatsUnsetAndEmptyAsOneByOne) {
    DownloadMode mode = DOWNLOAD_TOGETHER;
    EXPECT_TRUE(parseDownloadMode(nullptr, &mode));
    EXPECT_EQ(mode, DOWNLOAD_ONE_BY_ONE);
    mode = DOWNLOAD_TOGETHER;
    EXPECT_TRUE(parseDownloadMode("", &mode));
    EXPECT_EQ(mode, DOWNLOAD_ONE_BY_ONE);
    EXPECT_TRUE(parseDownloadMode("together", &mode));
    EXPECT_EQ(mode, DOWNLOAD_TOGETHER);
    EXPECT_TRUE(parseDownloadMode("one-by-one", &mode));
    EXPECT_EQ(mode, DOWNLOAD_ONE_BY_ONE);
    EXPECT_FALSE(parseDownloadMode("TOGETHER", &mode));
    EXPECT_FALSE(parseDownloadMode("1", &mode));
    EXPECT_EQ(mode, DOWNLOAD_ONE_BY_ONE);
}

INSTANTIATE_TEST_SUITE_P(Words, MisplacedOptionTest,
                         testing::Values(std::vector<std::string>{PROGRAM, "--help", "x"},
                                         std::vector<std::string>{PROGRAM, "dovel2.tek", "--check"},
                                         std::vector<std::string>{PROGRAM, "a.tek", "--status"},
                                         std::vector<std::string>{PROGRAM, "--status", "x"}));

}  // namespace
#endif
