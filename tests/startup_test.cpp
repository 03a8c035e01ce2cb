// The run from the banner to the exit prompt, in a child process with scripted keys.
#if !defined(_WIN32)
#include "app/startup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/dovel_ids.h"
#include "app/download_mode.h"
#include "app/expected_version.h"
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
const std::string MEND = "Nothing was done: mend the settings above, then run again.\n";
const std::string TAKES_A_FILE =
    "; it takes a file that can be written, or a new one in a folder that can be written\n";

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
    // The same file through a link to its folder and through a "..": one lock.
    const std::string name = state.substr(testing::TempDir().size());
    const std::string folderLink = uniqueTempPath("held_bus_link");
    const std::string subfolder = uniqueTempPath("held_bus_sub");
    ASSERT_EQ(symlink(testing::TempDir().c_str(), folderLink.c_str()), 0);
    ASSERT_EQ(mkdir(subfolder.c_str(), 0700), 0);
    const auto runOnBus = [&](const std::vector<std::string>& args, const std::string& path) {
        return runInChild(
            [&] {
                setEnvironment("DOVEL_CAN", ("sim:fast,state=" + path).c_str());
                setEnvironment("DOVEL_SIM_TRACE", trace.c_str());
                runProgram(args);
            },
            "");
    };
    const auto refused = [&](const std::string& path) {
        return "\nInitializing USB/CAN device...\n[FAILED] the simulated hand " + path +
               " is in use by process " + std::to_string(holder.pid) + " of user " +
               getpwuid(getuid())->pw_name + "\n";
    };
    const ChildRun second = runOnBus({PROGRAM, "x.tek"}, state);
    EXPECT_EQ(second.out, banner({PROGRAM, "x.tek"}) + refused(state) +
                              "\nDo you want to try again (y/n)? " + EXIT);
    const std::string fileLink = uniqueTempPath("held_bus_file_link");
    ASSERT_EQ(symlink(state.c_str(), fileLink.c_str()), 0);
    for (const std::string& path : {folderLink + "/" + name, subfolder + "/../" + name, fileLink}) {
        const ChildRun status = runOnBus({PROGRAM, "--status"}, path);
        EXPECT_EQ(status.out, banner({PROGRAM, "--status"}) + refused(path));
        EXPECT_EQ(status.exitStatus, 1);
        EXPECT_EQ(status.err, "");
    }
    EXPECT_EQ(second.err, "");
    EXPECT_FALSE(std::ifstream(trace).good()) << "a refused run made a hand";
    EXPECT_FALSE(std::ifstream(state + ".lock").good()) << "a lock file left on disk";

    GetParam().letGo(holder);
    const ChildRun third = runOnBus({PROGRAM, "--status"}, fileLink);
    EXPECT_NE(third.out.find(LINK_UP), std::string::npos) << third.out;
    EXPECT_EQ(third.exitStatus, 0);
    EXPECT_TRUE(std::ifstream(trace).good()) << "the trace of a hand is not made";
    close(holder.keys);
    waitpid(holder.pid, nullptr, 0);
    close(holder.out);
    // The link to the state file is a link still: the runs wrote the file it leads to.
    EXPECT_TRUE(std::filesystem::is_symlink(fileLink));
    for (const std::string& path : {state, trace, folderLink, subfolder, fileLink}) {
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
    bool checksumBeside = false;  // IMAGE.sha256 with the image's hash; the line names it
};

class CheckOptionTest : public testing::TestWithParam<CheckCase> {};

// "--check IMAGE" prints only the file-check line and its verdict, touches no adapter and
// says the verdict in its exit status.
TEST_P(CheckOptionTest, ChecksTheImageAloneAndExitsWithItsVerdict) {
    const CheckCase& c = GetParam();
    TempFile image(c.image);
    const std::string path = c.image == "EXAMPLE" ? exampleImagePath() : image.path;
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    std::string expected = c.expectedOut;
    if (c.checksumBeside) {
        std::ofstream(path + ".sha256")
            << GOOD_VERDICT.substr(GOOD_VERDICT.size() - 65, 64) << "  " << name << "\n";
        expected.insert(expected.size() - 1, " (matches " + name + ".sha256)");
    }
    const ChildRun run = runUtility({PROGRAM, "--check", path}, "", 0, false, c.imageCheck);
    std::remove((path + ".sha256").c_str());
    EXPECT_EQ(run.out, "Accessing firmware file: " + path + "..." + expected);
    EXPECT_EQ(run.err, "adapter calls: 0, frames written: 0\n");
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Images, CheckOptionTest,
    testing::Values(
        CheckCase{"Good", GOOD_IMAGE, nullptr, GOOD_VERDICT, 0},
        CheckCase{"EmptySettingIsUnset", GOOD_IMAGE, "", GOOD_VERDICT, 0},
        CheckCase{"MatchesItsReleaseChecksum", GOOD_IMAGE, nullptr, GOOD_VERDICT, 0, true},
        CheckCase{"Example", "EXAMPLE", nullptr,
                  "[OK]\nImage: 512 data records, 16384 bytes from 0x00001000 to 0x00004FFF, "
                  "start address 0x00001000, sha256 "
                  "aef5cb40d642a7e2db9eababceb18775bc576091227369903df2585eee5e1656\n",
                  0},
        // Initialised data at its run address in RAM, not after the code: two ranges.
        CheckCase{"TwoRanges", "%126288200000000A0B\n" + GOOD_IMAGE, nullptr,
                  "[OK]\nImage: 2 data records, 4 bytes in 0x00001000-0x00001001, "
                  "0x20000000-0x20000001, start address 0x00001000, sha256 "
                  "b0f85ecda96a10c3d359324fd32f73f554e18c087bbb4ef2c32b54ddcf388c8c\n",
                  0},
        CheckCase{
            "FiveRanges",
            "%0E61D410100102\n%0E61E410200102\n%0E61F410300102\n%0E620410400102\n" + GOOD_IMAGE,
            nullptr,
            "[OK]\nImage: 5 data records, 10 bytes in 0x00001000-0x00001001, "
            "0x00001010-0x00001011, 0x00001020-0x00001021, 0x00001030-0x00001031 and 1 "
            "more range up to 0x00001041, start address 0x00001000, sha256 "
            "1af3a955889afe4e4a97de69924213eee415d84d06b077c7043d74dc41a81e3a\n",
            0},
        CheckCase{"Refused", BAD_CHECKSUM_IMAGE, nullptr, "[FAILED] " + BAD_CHECKSUM, 1},
        CheckCase{"WarnStillFails", BAD_CHECKSUM_IMAGE, "warn", "[WARNING] " + BAD_CHECKSUM, 1}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

// DOVEL_EXPECT_VERS takes VERS as the check prints it; a malformed value is no version.
TEST(Settings, ExpectedVersionIsHexUpToEightDigits) {
    const struct {
        const char* text;
        bool parsed;
        ExpectedVersion expected;
    } CASES[] = {{nullptr, true, {false, 0}},
                 {"", true, {false, 0}},
                 {"0x323f", true, {true, 0x323F}},
                 {"323F", true, {true, 0x323F}},
                 {"0XFFFFFFFF", true, {true, 0xFFFFFFFFu}},
                 {"0x0", true, {true, 0}},
                 {"0x", false, {}},
                 {"0x123456789", false, {}},
                 {"12g4", false, {}},
                 {" 0x10", false, {}},
                 {"-1", false, {}},
                 {"0x10 ", false, {}}};
    for (const auto& c : CASES) {
        ExpectedVersion out{true, 0xDEAD};
        EXPECT_EQ(parseExpectedVersion(c.text, &out), c.parsed) << (c.text ? c.text : "null");
        if (c.parsed) {
            EXPECT_EQ(out.given, c.expected.given) << c.text;
            EXPECT_EQ(out.vers, c.expected.vers) << c.text;
        } else {
            EXPECT_EQ(out.vers, 0xDEADu) << "untouched: " << c.text;
        }
    }
}

// DOVEL_IDS takes controllers 11 to 14, each once, comma-separated; the command that
// finishes them names them in ascending order.
TEST(Settings, DovelIdsAreTheHandsControllersEachOnce) {
    const struct {
        const char* text;
        bool parsed;
        const char* ascending;
    } CASES[] = {{nullptr, true, "11,12,13,14"},
                 {"", true, "11,12,13,14"},
                 {"12", true, "12"},
                 {"11,14", true, "11,14"},
                 {"14,11,13", true, "11,13,14"},
                 {"13,14,12,11", true, "11,12,13,14"},
                 {"10", false, ""},
                 {"15", false, ""},
                 {"12,12", false, ""},
                 {"12,", false, ""},
                 {",12", false, ""},
                 {"11,,12", false, ""},
                 {"11, 12", false, ""},
                 {" 12", false, ""},
                 {"12 ", false, ""},
                 {"1a", false, ""},
                 {"012", false, ""},
                 {"1", false, ""},
                 {"11;12", false, ""},
                 {"all", false, ""}};
    for (const auto& c : CASES) {
        DovelIds ids = 0x40;
        EXPECT_EQ(parseDovelIds(c.text, &ids), c.parsed) << (c.text ? c.text : "null");
        EXPECT_EQ(c.parsed ? dovelIdsText(ids) : std::to_string(ids), c.parsed ? c.ascending : "64")
            << (c.text ? c.text : "null");
    }
    EXPECT_EQ(dovelIdsCommand(0b0101, "dovel2.tek"), "DOVEL_IDS=11,13 dovelflash dovel2.tek");
    EXPECT_EQ(dovelIdsCommand(0b1000, "my image's.tek"),
              "DOVEL_IDS=14 dovelflash 'my image'\\''s.tek'");
    EXPECT_EQ(dovelIdsCommand(0b1000, ""), "DOVEL_IDS=14 dovelflash ''");
}

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
                    std::to_string(id) + " did not answer its download start\n";
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

// A trace that cannot be made is refused with the other settings, before the link starts,
// on one line that names it; the adapter is not blamed.
TEST(LinkTrace, UnopenableFileEndsTheRunBeforeTheFirstFrameWithItsLine) {
    const std::string missing = testing::TempDir() + "no-such-folder/trace.log";
    TempFile image(GOOD_IMAGE);
    const ChildRun run = runInChild(
        [&] {
            setEnvironment(CAN_TRACE_VARIABLE, missing.c_str());
            static ScriptedAdapter adapter;
            scriptedAdapterInstall(&adapter);
            reportedAdapter = &adapter;
            std::atexit(reportAdapterUse);
            runProgram({PROGRAM, image.path});
        },
        "n");
    EXPECT_EQ(run.out, banner({PROGRAM, image.path}) + "\n[FAILED] DOVEL_CAN_TRACE is \"" +
                           missing + "\": its folder " + testing::TempDir() +
                           "no-such-folder does not exist" + TAKES_A_FILE + MEND + EXIT);
    EXPECT_EQ(run.err, "adapter calls: 0, frames written: 0\n");
}

// Killed at the read after its third frame, the run leaves a trace whose last line is
// that frame: every line is on its way to the file before the operation returns. The
// operator is told the update was cut short, and the run ends as the signal ends it.
TEST(LinkTrace, RunStoppedBySigtermLeavesTheTraceUpToTheLastFrameSent) {
    constexpr size_t FRAMES_BEFORE_STOP = 3;
    const std::string trace = uniqueTempPath("sigterm-trace");
    const std::string report = uniqueTempPath("sigterm-record");
    const std::string image = exampleImagePath();
    const ChildRun run = runInChild(
        [&] {
            setEnvironment(CAN_TRACE_VARIABLE, trace.c_str());
            setEnvironment("DOVEL_REPORT", report.c_str());
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
    // The record says so too, as one whole line.
    const std::string record = fileText(report);
    EXPECT_TRUE(
        std::regex_match(record, std::regex(R"(\{"schema":1,.*"result":"interrupted",.*)"
                                            R"("signal":"SIGTERM","end":"[-0-9T:.]+Z"\}\n)")))
        << record;
    std::remove(report.c_str());
}

// --- --help and --version ------------------------------------------------------------

std::string versionText() {
    return std::string("dovelflash ") + DOVEL_VERSION_TEXT +
           "\nCAN backends: sim, socketcan, slcan (DOVEL_CAN unset: socketcan:can0)\n" +
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
             {"\n  dovelflash [IMAGE] ", "\n  dovelflash --check [IMAGE...]\n",
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
                           "nothing was done.\nUsage: dovelflash [IMAGE] | --check [IMAGE...] | "
                           "--status | --help | --version\n" +
                           EXIT);
    EXPECT_EQ(run.err, "adapter calls: 0, frames written: 0\n");
    EXPECT_EQ(run.exitStatus, 0);
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
                                         std::vector<std::string>{PROGRAM, "a.tek", "--status"}));

// --- The run's settings: read and checked before anything is touched -----------------

// In a row's words and values: @IMAGE a good image with its IMAGE.sha256, @BAD a refused
// image, @STATE a simulated hand's state file, @LINK a link to the image, @DOTTED the
// image by another spelling, @OUT a path nothing reads.
struct SettingsCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<const char*, std::string>> environment;
    std::string expected;  // after the banner (--check has none)
    int exitStatus;
    std::string err = "";
};

class SettingsTest : public testing::TestWithParam<SettingsCase> {};

// Whatever is wrong, no frame is sent and every file the run reads stays as it was.
TEST_P(SettingsTest, RefusesBeforeAnythingIsTouched) {
    const SettingsCase& c = GetParam();
    TempFile image(GOOD_IMAGE), bad(BAD_CHECKSUM_IMAGE), state("dovelflash simulated hand");
    const size_t slash = image.path.rfind('/');
    std::ofstream(image.path + ".sha256") << GOOD_VERDICT.substr(GOOD_VERDICT.size() - 65, 64)
                                          << "  " << image.path.substr(slash + 1) << "\n";
    const std::string link = uniqueTempPath("link"), out = uniqueTempPath("out");
    const std::string fifo = uniqueTempPath("fifo"), folder = uniqueTempPath("folder");
    const std::string hard = uniqueTempPath("hard");
    ASSERT_EQ(symlink(image.path.c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(image.path.c_str(), hard.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::map<std::string, std::string> marks = {
        {"@IMAGE", image.path},
        {"@BAD", bad.path},
        {"@STATE", state.path},
        {"@LINK", link},
        {"@HARD", hard},
        {"@OUT", out},
        {"@FIFO", fifo},
        {"@FOLDER", folder},
        {"@NAME", image.path.substr(slash + 1)},
        {"@DOTTED", image.path.substr(0, slash) + "/./" + image.path.substr(slash + 1)}};
    const auto marked = [&](std::string text) {
        for (const auto& [mark, path] : marks) {
            for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
                text.replace(at, mark.size(), path);
            }
        }
        return text;
    };
    std::vector<std::string> args;
    for (const std::string& a : c.args) {
        args.push_back(marked(a));
    }
    const std::string before[] = {fileText(image.path), fileText(image.path + ".sha256"),
                                  fileText(state.path)};
    const ChildRun run = runInChild(
        [&] {
            for (const auto& [name, value] : c.environment) {
                setEnvironment(name, marked(value).c_str());
            }
            static ScriptedAdapter adapter;
            scriptedAdapterInstall(&adapter);
            reportedAdapter = &adapter;
            std::atexit(reportAdapterUse);
            runProgram(args);
        },
        "");
    const std::string mode = args.size() > 1 ? args[1] : "";
    EXPECT_EQ(run.out, (mode == "--check" ? "" : banner(args)) + marked(c.expected) +
                           (mode == "--check" || mode == "--status" ? "" : EXIT));
    EXPECT_EQ(run.err, marked(c.err) + "adapter calls: 0, frames written: 0\n");
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    const std::string after[] = {fileText(image.path), fileText(image.path + ".sha256"),
                                 fileText(state.path)};
    EXPECT_TRUE(std::equal(std::begin(before), std::end(before), std::begin(after)));
    EXPECT_FALSE(std::ifstream(state.path + ".new").good() || std::ifstream(out).good());
    std::remove(link.c_str());
    std::remove(fifo.c_str());
    EXPECT_EQ(rmdir(folder.c_str()), 0) << "something was made in the folder";
    std::remove(hard.c_str());
    std::remove((image.path + ".sha256").c_str());
}

const std::string USAGE_LINE =
    "Usage: dovelflash [IMAGE] | --check [IMAGE...] | --status | --help | --version\n";
const std::string VERS_TAKES =
    "\"; it takes a version as VERS is printed: 1 to 8 hex digits, with or without 0x "
    "(0x323f)\n";
const std::string IDS_TAKE =
    "\"; it takes controller IDs from 11 to 14, each once, comma-separated (12 or 11,14)\n";
const std::string OVERWRITE = ", which the trace would overwrite\n";
const std::string STATE_OVERWRITES = ", which the simulated hand would overwrite\n";
// The verdict of @IMAGE, whose release checksum lies beside it.
const std::string MATCHED =
    GOOD_VERDICT.substr(0, GOOD_VERDICT.size() - 1) + " (matches @NAME.sha256)\n";
std::string unknownOption(const std::string& word, const std::string& nothing) {
    return "\n" + word + " is an unknown option (an image whose name begins with - is given as ./" +
           word + "): " + nothing + "\n" + USAGE_LINE;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SettingsTest,
    testing::Values(
        SettingsCase{"VersTypingSlip",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_EXPECT_VERS", "0x323G"}},
                     "\n[FAILED] DOVEL_EXPECT_VERS is \"0x323G" + VERS_TAKES + MEND,
                     0},
        SettingsCase{"VersPrefixAlone",
                     {PROGRAM},
                     {{"DOVEL_EXPECT_VERS", "0x"}},
                     "\n[FAILED] DOVEL_EXPECT_VERS is \"0x" + VERS_TAKES + MEND,
                     0},
        SettingsCase{"VersNineDigits",
                     {PROGRAM},
                     {{"DOVEL_EXPECT_VERS", "00000323f"}},
                     "\n[FAILED] DOVEL_EXPECT_VERS is \"00000323f" + VERS_TAKES + MEND,
                     0},
        SettingsCase{"SimOptionsSpaced",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN", "sim:fast state=@STATE"}},
                     "\n[FAILED] DOVEL_CAN is \"sim:fast state=@STATE\"; the simulated hand: "
                     "unknown option 'fast state=@STATE' (dovelflash --help lists its options)\n" +
                         MEND,
                     0},
        SettingsCase{"UnknownBackendUnderReport",
                     {PROGRAM},
                     {{"DOVEL_CAN", "cna0"}, {"DOVEL_EXIT_STATUS", "report"}},
                     "\n[FAILED] DOVEL_CAN is \"cna0\"; no backend is called cna0; this binary "
                     "has sim, socketcan, slcan\n" +
                         MEND,
                     2},
        SettingsCase{"EverythingWrongAtOnce",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_IMAGE_CHECK", "Warn"},
                      {"DOVEL_IMAGE_SHA256", "6de3239e"},
                      {"DOVEL_CAN_TRACE_UNMASKED", "yes\t"},
                      {"DOVEL_EXIT_STATUS", "reprot"}},
                     "\n[FAILED] DOVEL_CAN_TRACE_UNMASKED is \"yes\\t\"; it takes 1, or 0 to keep "
                     "the mask\n[FAILED] DOVEL_IMAGE_CHECK is \"Warn\"; it takes strict or warn\n"
                     "[FAILED] DOVEL_IMAGE_SHA256 is \"6de3239e\"; it takes the image's SHA-256 as "
                     "64 hex digits\n[FAILED] DOVEL_EXIT_STATUS is \"reprot\"; it takes report\n" +
                         MEND,
                     2},
        SettingsCase{
            "DownloadModeMistyped",
            {PROGRAM, "@IMAGE"},
            {{"DOVEL_DOWNLOAD", "together "}},
            "\n[FAILED] DOVEL_DOWNLOAD is \"together \"; it takes one-by-one or together\n" + MEND,
            0},
        SettingsCase{"IdsOutsideTheHand",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_IDS", "12,15"}, {"DOVEL_EXIT_STATUS", "report"}},
                     "\n[FAILED] DOVEL_IDS is \"12,15" + IDS_TAKE + MEND,
                     2},
        SettingsCase{"IdsSpacedAtAStatusCheck",
                     {PROGRAM, "--status"},
                     {{"DOVEL_IDS", "11, 14"}},
                     "\n[FAILED] DOVEL_IDS is \"11, 14" + IDS_TAKE + MEND,
                     1},
        SettingsCase{"IdsMisspeltWarns",
                     {PROGRAM, "--check", "@IMAGE"},
                     {{"DOVEL_ID", "12"}},
                     "Accessing firmware file: @IMAGE..." + MATCHED,
                     0,
                     "dovelflash: DOVEL_ID is not a setting of this utility and is ignored; did "
                     "you mean DOVEL_IDS?\n"},
        SettingsCase{"StatusChecksNothing",
                     {PROGRAM, "--status"},
                     {{"DOVEL_EXPECT_VERS", "v1"}},
                     "\n[FAILED] DOVEL_EXPECT_VERS is \"v1" + VERS_TAKES + MEND,
                     1},
        SettingsCase{
            "TraceOnTheImage",
            {PROGRAM, "@IMAGE"},
            {{"DOVEL_CAN_TRACE", "@IMAGE"}},
            "\n[FAILED] DOVEL_CAN_TRACE is \"@IMAGE\": that is the image @IMAGE" + OVERWRITE + MEND,
            0},
        SettingsCase{
            "TraceThroughALink",
            {PROGRAM, "@DOTTED"},
            {{"DOVEL_CAN_TRACE", "@LINK"}},
            "\n[FAILED] DOVEL_CAN_TRACE is \"@LINK\": that is the image @DOTTED" + OVERWRITE + MEND,
            0},
        SettingsCase{"TraceOnTheReleaseChecksum",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_SIM_TRACE", "@DOTTED.sha256"}},
                     "\n[FAILED] DOVEL_SIM_TRACE is \"@DOTTED.sha256\": that is the image's "
                     "release checksum @IMAGE.sha256" +
                         OVERWRITE + MEND,
                     0},
        SettingsCase{"TracesOnTheStateFiles",
                     {PROGRAM, "--status"},
                     {{"DOVEL_CAN", "sim:fast,state=@STATE"},
                      {"DOVEL_SIM_TRACE", "@STATE"},
                      {"DOVEL_CAN_TRACE", "@STATE.new"}},
                     "\n[FAILED] DOVEL_CAN_TRACE is \"@STATE.new\": that is the simulated hand's "
                     "state file @STATE.new" +
                         OVERWRITE +
                         "[FAILED] DOVEL_SIM_TRACE is \"@STATE\": that is the simulated hand's "
                         "state file @STATE" +
                         OVERWRITE + MEND,
                     1},
        SettingsCase{"TracesOnOneFile",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN_TRACE", "@OUT"}, {"DOVEL_SIM_TRACE", "@OUT"}},
                     "\n[FAILED] DOVEL_CAN_TRACE and DOVEL_SIM_TRACE name one file: each needs "
                     "its own\n" +
                         MEND,
                     0},
        SettingsCase{"RecordOnTheImage",
                     {PROGRAM, "--check", "@DOTTED"},
                     {{"DOVEL_REPORT", "@LINK"}},
                     "[FAILED] DOVEL_REPORT is \"@LINK\": that is the image @DOTTED, which the "
                     "run's record would be appended to\nNothing was checked: mend the settings "
                     "above, then run again.\n",
                     1},
        SettingsCase{"RecordIsAFolder",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_REPORT", "@FOLDER"}, {"DOVEL_EXIT_STATUS", "report"}},
                     "\n[FAILED] DOVEL_REPORT is \"@FOLDER\": it is a folder" + TAKES_A_FILE + MEND,
                     2},
        SettingsCase{"RecordInAMissingFolder",
                     {PROGRAM, "--status"},
                     {{"DOVEL_REPORT", "@FOLDER/gone/records.jsonl"}},
                     "\n[FAILED] DOVEL_REPORT is \"@FOLDER/gone/records.jsonl\": its folder "
                     "@FOLDER/gone does not exist" +
                         TAKES_A_FILE + MEND,
                     1},
        SettingsCase{"RecordIsAFifoWithNoReader",
                     {PROGRAM, "--check", "@IMAGE"},
                     {{"DOVEL_REPORT", "@FIFO"}},
                     "[FAILED] DOVEL_REPORT is \"@FIFO\": it is a FIFO" + TAKES_A_FILE +
                         "Nothing was checked: mend the settings above, then run again.\n",
                     1},
        SettingsCase{
            "TraceIsADevice",
            {PROGRAM, "@IMAGE"},
            {{"DOVEL_CAN_TRACE", "/dev/null"}},
            "\n[FAILED] DOVEL_CAN_TRACE is \"/dev/null\": it is a device" + TAKES_A_FILE + MEND,
            0},
        SettingsCase{"TraceInAMissingFolderUnderReport",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_SIM_TRACE", "@FOLDER/gone/sim.log"}, {"DOVEL_EXIT_STATUS", "report"}},
                     "\n[FAILED] DOVEL_SIM_TRACE is \"@FOLDER/gone/sim.log\": its folder "
                     "@FOLDER/gone does not exist" +
                         TAKES_A_FILE + MEND,
                     2},
        SettingsCase{"TraceAndRecordOnOneFile",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN_TRACE", "@OUT"}, {"DOVEL_REPORT", "@OUT"}},
                     "\n[FAILED] DOVEL_CAN_TRACE and DOVEL_REPORT name one file: each needs its "
                     "own\n" +
                         MEND,
                     0},
        SettingsCase{"NoTraceMadeForARefusedRun",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN_TRACE", "@OUT"}, {"DOVEL_IMAGE_CHECK", "lax"}},
                     "\n[FAILED] DOVEL_IMAGE_CHECK is \"lax\"; it takes strict or warn\n" + MEND,
                     0},
        SettingsCase{"StateFileOnTheImage",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN", "sim:fast,state=@IMAGE"}},
                     "\n[FAILED] DOVEL_CAN is \"sim:fast,state=@IMAGE\": its state file is the "
                     "image @IMAGE" +
                         STATE_OVERWRITES + MEND,
                     0},
        SettingsCase{"StateFileOnTheImageByAHardLink",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN", "sim:fast,state=@HARD"}},
                     "\n[FAILED] DOVEL_CAN is \"sim:fast,state=@HARD\": its state file is the "
                     "image @IMAGE" +
                         STATE_OVERWRITES + MEND,
                     0},
        SettingsCase{"StateFileOnTheReleaseChecksumThroughALink",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN", "sim:fast,state=@DOTTED.sha256"}},
                     "\n[FAILED] DOVEL_CAN is \"sim:fast,state=@DOTTED.sha256\": its state file "
                     "is the image's release checksum @IMAGE.sha256" +
                         STATE_OVERWRITES + MEND,
                     0},
        SettingsCase{"StateFileIsTheRecord",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN", "sim:fast,state=@STATE"}, {"DOVEL_REPORT", "@STATE"}},
                     "\n[FAILED] DOVEL_REPORT is \"@STATE\": that is the simulated hand's state "
                     "file @STATE, which the run's record would be appended to\n" +
                         MEND,
                     0},
        SettingsCase{"GuessedOptionAfterTheImage",
                     {PROGRAM, "@IMAGE", "--dry-run"},
                     {},
                     unknownOption("--dry-run", "nothing was done."),
                     0},
        SettingsCase{"DoubleDash",
                     {PROGRAM, "--"},
                     {{"DOVEL_EXIT_STATUS", "report"}},
                     unknownOption("--", "nothing was done."),
                     2},
        SettingsCase{"SingleDashCheck",
                     {PROGRAM, "-check", "@IMAGE"},
                     {},
                     unknownOption("-check", "nothing was done."),
                     0},
        SettingsCase{"CheckWithValue",
                     {PROGRAM, "--check=x"},
                     {},
                     unknownOption("--check=x", "nothing was done."),
                     0},
        SettingsCase{"StatusWithAWord",
                     {PROGRAM, "--status", "x"},
                     {},
                     "\n--status takes no other word (x): nothing was checked.\n" + USAGE_LINE,
                     1},
        SettingsCase{"StatusWithAnOptionUnderReport",
                     {PROGRAM, "--status", "-v"},
                     {{"DOVEL_EXIT_STATUS", "report"}},
                     "\n--status takes no other word (-v): nothing was checked.\n" + USAGE_LINE,
                     1},
        SettingsCase{"CheckWithStatusAfterIt",
                     {PROGRAM, "--check", "@IMAGE", "--status"},
                     {},
                     "--status is one of this utility's own options, not a word of --check "
                     "[IMAGE...]: nothing was checked.\n" +
                         USAGE_LINE,
                     1},
        SettingsCase{"SocketcanWithAnEmptyInterface",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN", "socketcan:"}},
                     "\n[FAILED] DOVEL_CAN is \"socketcan:\"; nothing follows the colon: give "
                     "socketcan alone for its default\n" +
                         MEND,
                     0},
        SettingsCase{"RepeatedSimOption",
                     {PROGRAM, "@IMAGE"},
                     {{"DOVEL_CAN", "sim:latency=500,latency=0"}},
                     "\n[FAILED] DOVEL_CAN is \"sim:latency=500,latency=0\"; the simulated hand: "
                     "malformed option 'latency=0': latency is given twice (dovelflash --help "
                     "lists its options)\n" +
                         MEND,
                     0},
        SettingsCase{"UnknownWordAndBadSettingsTogether",
                     {PROGRAM, "@IMAGE", "--dry-run"},
                     {{"DOVEL_IMAGE_CHECK", "lax"}},
                     unknownOption("--dry-run", "nothing was done.") +
                         "[FAILED] DOVEL_IMAGE_CHECK is \"lax\"; it takes strict or warn\n" + MEND,
                     0},
        SettingsCase{"CheckWithAnUnknownOptionAndABadSetting",
                     {PROGRAM, "--check", "@IMAGE", "-v"},
                     {{"DOVEL_DOWNLOAD", "all"}},
                     unknownOption("-v", "nothing was checked.").substr(1) +
                         "[FAILED] DOVEL_DOWNLOAD is \"all\"; it takes one-by-one or together\n"
                         "Nothing was checked: mend the settings above, then run again.\n",
                     1},
        SettingsCase{"CheckOfSeveralOneRefused",
                     {PROGRAM, "--check", "@IMAGE", "@BAD"},
                     {},
                     "Accessing firmware file: @IMAGE..." + MATCHED +
                         "Accessing firmware file: @BAD...[FAILED] " + BAD_CHECKSUM,
                     1},
        SettingsCase{"CheckWithAnUnknownOption",
                     {PROGRAM, "--check", "@IMAGE", "-v"},
                     {},
                     unknownOption("-v", "nothing was checked.").substr(1),
                     1},
        SettingsCase{"CheckOfABadSetting",
                     {PROGRAM, "--check", "@IMAGE"},
                     {{"DOVEL_IMAGE_CHECK", "lax"}},
                     "[FAILED] DOVEL_IMAGE_CHECK is \"lax\"; it takes strict or warn\nNothing was "
                     "checked: mend the settings above, then run again.\n",
                     1},
        SettingsCase{
            "MisspeltNameWarnsAndTheRunGoesOn",
            {PROGRAM, "--check", "@IMAGE", "@IMAGE"},
            {{"DOVEL_EXPECT_VER", "0x323f"},
             {"DOVEL_EXPECT_VERS", ""},
             {"DOVEL_LOGS", "x"},
             {"DOVEL_FOO", "x"},
             {"DOVEL_CAM", "sim"}},
            "Accessing firmware file: @IMAGE..." + MATCHED + "Accessing firmware file: @IMAGE..." +
                MATCHED,
            0,
            "dovelflash: DOVEL_CAM is not a setting of this utility and is ignored; did you "
            "mean DOVEL_CAN?\ndovelflash: DOVEL_EXPECT_VER is not a setting of this utility and "
            "is ignored; did you mean DOVEL_EXPECT_VERS?\ndovelflash: DOVEL_FOO is not a "
            "setting of this utility and is ignored\ndovelflash: DOVEL_LOGS is not a "
            "setting of this utility and is ignored\n"}),
    [](const testing::TestParamInfo<SettingsCase>& info) { return info.param.name; });

}  // namespace
#endif
