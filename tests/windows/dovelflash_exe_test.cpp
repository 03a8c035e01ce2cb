// dovelflash.exe run as an operator runs it, beside a double of the adapter library:
// the library found by Windows' search, its failures on the console, and the retry.
#include <gtest/gtest.h>

#include <string>

#include "tests/windows/adapter_double_fixture.h"
#include "tests/windows/child_process.h"

namespace {

constexpr unsigned long RUN_TIME_LIMIT_MS = 60'000;

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
    EXPECT_EQ(run.err, "");
}

}  // namespace
