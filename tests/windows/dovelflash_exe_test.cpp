// dovelflash.exe run as an operator runs it, beside a double of the adapter library:
// the library found by Windows' search, its failures on the console, and the retry.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dovel_build_info.h"
#include "firmware/tek_format.h"
#include "tests/windows/adapter_double_fixture.h"
#include "tests/windows/child_process.h"

namespace {

constexpr unsigned long RUN_TIME_LIMIT_MS = 60'000;
// A whole update waits 10 s in its walks alone; in real time the bus adds its share.
constexpr unsigned long UPDATE_TIME_LIMIT_MS = 240'000;

const char* const BANNER =
    "\nZendra firmware download utility\nVersion 1.0\nArgument count = 1\n"
    "  arg[0] = dovelflash.exe\n";
const char* const ATTEMPT = "\nInitializing USB/CAN device...\n";
const char* const FAILED_ATTEMPT_END =
    "[FAILED] Please check that your USB/CAN device is plugged in.\n"
    "\nDo you want to try again (y/n)? ";
const char* const STARTED =
    "SUCCESS - CAN_Init()\nSUCCESS - CAN_ResetClient()\nSUCCESS - CAN_MsgFilter()\n"
    "CAN device initialized.\n";
const char* const EXIT_PROMPT = "\nPress any key to exit...\nDone.\n\n";

// Standard output and error are in text mode, as on any Windows console program: each
// line end arrives as CR LF. Compared as the utility wrote them.
std::string linesOf(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
            text += bytes[i];
        }
    }
    return text;
}

// dovelflash.exe in the given folder of the Windows tests, started with no argument.
ProgramRun runUtility(const std::string& folder, const std::string& stdinBytes,
                      const std::string& script = "") {
    const std::string directory = windowsTestPath(folder);
    ProgramRun run = runProgram({directory + "/dovelflash.exe",
                                 "dovelflash.exe",
                                 directory,
                                 stdinBytes,
                                 {{"DOVEL_CAN", ""}, {DOUBLE_SCRIPT_VARIABLE, script}},
                                 RUN_TIME_LIMIT_MS});
    run.out = linesOf(run.out);
    run.err = linesOf(run.err);
    return run;
}

const std::string LACKS_WRITE = "pcan-usb: PCAN_USB.dll lacks ordinal 7 (write one frame)\n";
const std::string INIT_FAILS =
    "ERROR - CAN_Init(): " + std::to_string(PCAN_USB_ERR_NO_ORDINAL) + "\n";

TEST(DovelflashExe, ALibraryLackingAnOrdinalFailsInitAndOffersARetry) {
    const ProgramRun run = runUtility("missing-7", "");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out,
              std::string(BANNER) + ATTEMPT + INIT_FAILS + FAILED_ATTEMPT_END + EXIT_PROMPT);
    EXPECT_EQ(run.err, LACKS_WRITE);
}

TEST(DovelflashExe, EachRetryLooksForTheLibraryAgain) {
    const ProgramRun run = runUtility("missing-7", "yn");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, std::string(BANNER) + ATTEMPT + INIT_FAILS + FAILED_ATTEMPT_END + ATTEMPT +
                           INIT_FAILS + FAILED_ATTEMPT_END + EXIT_PROMPT);
    EXPECT_EQ(run.err, LACKS_WRITE + LACKS_WRITE);
}

TEST(DovelflashExe, ALinkThatStartsOnTheSecondAttemptGoesOnToTheFileCheck) {
    const ProgramRun run = runUtility(".", "y", "init=0x0400,0");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, std::string(BANNER) + ATTEMPT + "ERROR - CAN_Init(): 1024\n" +
                           FAILED_ATTEMPT_END + ATTEMPT + STARTED +
                           "Accessing firmware file: dovel2.tek...[FAILED] Could not open "
                           "firmware file\n" +
                           EXIT_PROMPT);
    EXPECT_EQ(run.err, "dovelflash: dovel2.tek: No such file or directory\n");
}

}  // namespace

// --- A whole update through the library ------------------------------------------

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The words of the command line the golden transcript was made with, from its
// "  arg[i] = WORD" lines, so that the run here echoes the same ones.
std::vector<std::string> argumentsOf(const std::string& transcript) {
    static const std::regex ARGUMENT_LINE(R"(\n  arg\[\d+\] = ([^\n]*))");
    std::vector<std::string> words;
    for (std::sregex_iterator it(transcript.begin(), transcript.end(), ARGUMENT_LINE), end;
         it != end; ++it) {
        words.push_back((*it)[1]);
    }
    return words;
}

// The ID#DATA of every frame line of a candump log, in order; a frame line of another
// interface counts as a frame "?".
std::vector<std::string> framesOf(const std::string& log, const std::string& iface) {
    static const std::regex FRAME_LINE(R"(\((\d+)\.\d{6}\) (\S+) ([0-9A-F]{3}#(?:[0-9A-F]{2})*))");
    std::vector<std::string> frames;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, FRAME_LINE)) {
            frames.push_back(match[2] == iface ? match[3].str() : "?");
        }
    }
    return frames;
}

uint32_t crc32Of(const std::map<uint32_t, uint8_t>& bytes) {
    constexpr uint32_t REFLECTED_POLYNOMIAL = 0xEDB88320;
    uint32_t crc = 0xFFFFFFFF;
    for (const auto& [address, byte] : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) ? REFLECTED_POLYNOMIAL : 0);
        }
    }
    return ~crc;
}

struct HandClock {
    const char* name;
    const char* handOptions;
};

void PrintTo(const HandClock& param, std::ostream* os) { *os << param.name; }

class WholeUpdate : public testing::TestWithParam<HandClock> {};

TEST_P(WholeUpdate, GivesTheGoldenTranscriptAndLeavesEveryControllerUpdated) {
    const std::string golden = readText(DOVEL_GOLDEN_STDOUT);
    ASSERT_FALSE(golden.empty()) << "no golden transcript at " << DOVEL_GOLDEN_STDOUT;
    const std::vector<std::string> words = argumentsOf(golden);
    ASSERT_GE(words.size(), 2u) << "the golden transcript names no firmware image";
    std::string commandLine;
    for (const std::string& word : words) {
        commandLine += (commandLine.empty() ? "" : " ") + word;
    }

    // The utility's link trace and the hand's own trace of its bus, side by side.
    const std::string linkTrace = windowsTestPath(std::string("link-trace-") + GetParam().name);
    const std::string handTrace = windowsTestPath(std::string("hand-trace-") + GetParam().name);
    const ProgramRun run =
        runProgram({windowsTestPath("dovelflash.exe"),
                    commandLine,
                    DOVEL_SOURCE_DIR,
                    "",
                    {{"DOVEL_CAN", ""},
                     {"DOVEL_CAN_TRACE", linkTrace},
                     {"DOVEL_SIM_TRACE", handTrace},
                     {DOUBLE_SCRIPT_VARIABLE, std::string("hand=") + GetParam().handOptions}},
                    UPDATE_TIME_LIMIT_MS});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(linesOf(run.out), golden);
    const std::string linkLog = readText(linkTrace);
    const std::vector<std::string> frames = framesOf(linkLog, "pcan-usb");
    EXPECT_GT(frames.size(), 70000u);
    EXPECT_EQ(frames, framesOf(readText(handTrace), "sim"));
    EXPECT_EQ(linkLog.find('\r'), std::string::npos) << "candump logs end their lines in LF";

    // The report of the hand: every controller back in its main firmware with role code
    // 5 stored and the image in its flash, nothing lost on the way.
    TekImage image{};
    ASSERT_EQ(tekDecodeImage((std::string(DOVEL_SOURCE_DIR) + "/" + words[1]).c_str(), &image), 0);
    char expectedTail[128];
    std::snprintf(expectedTail, sizeof expectedTail,
                  " flash=%zu bytes crc32=0x%08X records=%d bad=0 lost=0", image.bytes.size(),
                  static_cast<unsigned>(crc32Of(image.bytes)), image.dataRecords);
    static const std::regex REPORT_LINE(
        R"(sim: dovel (\d+): main ROLE\(stored\)=0x([0-9A-F]{4})(.*))");
    std::istringstream report(linesOf(run.err));
    int node = 11;
    for (std::string line; std::getline(report, line); ++node) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, REPORT_LINE)) << line;
        EXPECT_EQ(std::stoi(match[1]), node);
        EXPECT_EQ(std::stoul(match[2], nullptr, 16) & 0x1F, 5u) << line;
        EXPECT_EQ(match[3].str(), expectedTail) << line;
    }
    EXPECT_EQ(node, 15) << "one report line for each of the four controllers";
}

INSTANTIATE_TEST_SUITE_P(HandClocks, WholeUpdate,
                         testing::Values(HandClock{"Fast", "fast"}, HandClock{"RealTime", ""}),
                         [](const testing::TestParamInfo<HandClock>& info) {
                             return info.param.name;
                         });

// The adapter is held from the first run's link start-up until that process ends, its
// summary and exit prompt included; a second run meanwhile is refused before it loads
// the library (the double's log of calls is never made), and let through afterwards.
TEST(DovelflashExe, ASecondRunIsRefusedWhileTheFirstIsInItsUpdate) {
    constexpr unsigned long POLL_MS = 20;
    StartedProgram first = startProgram({windowsTestPath("dovelflash.exe"),
                                         "dovelflash.exe examples/dovel2.tek",
                                         DOVEL_SOURCE_DIR,
                                         "",
                                         {{"DOVEL_CAN", ""}, {DOUBLE_SCRIPT_VARIABLE, "hand=fast"}},
                                         UPDATE_TIME_LIMIT_MS});
    ASSERT_NE(first.process, nullptr) << first.error;
    for (unsigned long waited = 0;
         outputSoFar(first).find("Download progress") == std::string::npos; waited += POLL_MS) {
        ASSERT_LT(waited, RUN_TIME_LIMIT_MS) << outputSoFar(first);
        ASSERT_EQ(WaitForSingleObject(first.process, POLL_MS), static_cast<DWORD>(WAIT_TIMEOUT))
            << "the first run ended before its download: " << outputSoFar(first);
    }
    const std::string log = windowsTestPath("refused-run-calls.log");
    DeleteFileA(log.c_str());
    const ProgramRun second = runUtility(".", "", "log=" + log);
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.out, std::string(BANNER) + ATTEMPT +
                              "[FAILED] the PCAN-USB adapter is in use\n"
                              "\nDo you want to try again (y/n)? " +
                              EXIT_PROMPT);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(GetFileAttributesA(log.c_str()), INVALID_FILE_ATTRIBUTES)
        << "the refused run called the adapter library";
    EXPECT_EQ(WaitForSingleObject(first.process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the first run was no longer in its update";

    const ProgramRun firstRun = finishProgram(first);
    ASSERT_TRUE(firstRun.finished);
    EXPECT_NE(firstRun.out.find("4 of 4 Dovels updated."), std::string::npos) << firstRun.out;
    const ProgramRun third = runUtility(".", "", "init=0x0400");
    EXPECT_EQ(third.out, std::string(BANNER) + ATTEMPT + "ERROR - CAN_Init(): 1024\n" +
                             FAILED_ATTEMPT_END + EXIT_PROMPT);
}

TEST(DovelflashExe, AHandWithAnUnknownOptionFailsInitNamingIt) {
    const ProgramRun run = runUtility(".", "", "hand=fast,bogus");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, std::string(BANNER) + ATTEMPT +
                           "ERROR - CAN_Init(): " + std::to_string(DOUBLE_BAD_SCRIPT) + "\n" +
                           FAILED_ATTEMPT_END + EXIT_PROMPT);
    EXPECT_EQ(run.err, "adapter double: unknown option 'bogus'\n");
}

// --help and --version end at once with status 0: no banner, no link (the trace asked
// for is never made), no prompt.
struct UsageRun {
    const char* argument;
    std::string start;  // what the output begins with
};

void PrintTo(const UsageRun& param, std::ostream* os) { *os << param.argument; }

class UsageRequest : public testing::TestWithParam<UsageRun> {};

TEST_P(UsageRequest, PrintsAndEndsAtOnce) {
    const std::string trace = windowsTestPath("usage-trace.log");
    DeleteFileA(trace.c_str());
    const ProgramRun run = runProgram({windowsTestPath("dovelflash.exe"),
                                       std::string("dovelflash.exe ") + GetParam().argument,
                                       windowsTestPath("."),
                                       "",
                                       {{"DOVEL_CAN", "sim:fast"}, {"DOVEL_CAN_TRACE", trace}},
                                       RUN_TIME_LIMIT_MS});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    const std::string out = linesOf(run.out);
    EXPECT_EQ(out.substr(0, GetParam().start.size()), GetParam().start);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(GetFileAttributesA(trace.c_str()), INVALID_FILE_ATTRIBUTES) << "the link was started";
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageRequest,
    testing::Values(UsageRun{"--help",
                             "dovelflash installs new firmware into the four motor controllers "
                             "(\"Dovels\", CAN IDs\n"},
                    UsageRun{"--version",
                             std::string("dovelflash ") + DOVEL_VERSION_TEXT +
                                 "\nCAN backends: sim, slcan, pcan-usb (DOVEL_CAN unset: "
                                 "pcan-usb)\n"}),
    [](const testing::TestParamInfo<UsageRun>& info) {
        return std::string(info.param.argument + 2);
    });
