#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/download_mode.h"
#include "app/file_check.h"
#include "app/input_files.h"
#include "app/output_files.h"
#include "app/run_record.h"
#include "app/run_settings.h"
#include "app/update_walks.h"
#include "app/usage.h"
#include "can/can_backend.h"
#include "can/can_trace.h"
#include "can/link.h"
#include "protocol/access_code_mask.h"
#include "sim/sim_backend.h"

namespace {

// Exit statuses of the status check.
constexpr int STATUS_ALL_RUNNING = 0;
constexpr int STATUS_NOT_ALL_RUNNING = 1;
constexpr int CHECK_EXIT_FAILED = 1;

bool declines(char key) { return key == 'n' || key == 'N' || key == KEY_END_OF_INPUT; }

// The ways out without an exit prompt: the run's record first.
[[noreturn]] void exitRecorded(int status) { std::exit(recordEnd(status, exitStatusReported())); }

// With statusOnly, a declined retry ends the run at once, as the status check has no
// exit prompt; so does a bus that is not this run's, as a status check never waits for
// an update to end.
void startLinkOrExit(bool statusOnly) {
    for (;;) {
        std::printf("\nInitializing USB/CAN device...\n");
        const int32_t started = canStart();
        if (started == 0) {
            std::printf("CAN device initialized.\n");
            recordLink();
            return;
        }
        recordLinkFailed(canStartProblem());
        if (started == CAN_ERR_BUS_NOT_TAKEN && statusOnly) {
            exitRecorded(STATUS_NOT_ALL_RUNNING);
        }
        // A bus in use has its own line, and the adapter is fine: no word about plugging.
        if (started != CAN_ERR_BUS_NOT_TAKEN) {
            std::printf("[FAILED] Please check that your USB/CAN device is plugged in.\n");
        }
        recordPhase(PHASE_RETRY_PROMPT, 0);
        const bool declined = declines(promptKey("\nDo you want to try again (y/n)? "));
        recordPhase(PHASE_START_UP, 0);
        if (declined) {
            if (statusOnly) {
                std::printf("\n");
                exitRecorded(STATUS_NOT_ALL_RUNNING);
            }
            exitPrompt();
        }
    }
}

// The path, or the file-check line that refuses it.
bool takeFirmwarePath(const std::string& chosen, char (&path)[FIRMWARE_PATH_SIZE]) {
    if (chosen.size() < FIRMWARE_PATH_SIZE) {
        std::memcpy(path, chosen.c_str(), chosen.size() + 1);
        return true;
    }
    std::printf("Accessing firmware file: %s...", chosen.c_str());
    char problem[64];
    std::snprintf(problem, sizeof problem, "Firmware path is longer than %d characters",
                  FIRMWARE_PATH_SIZE - 1);
    std::printf("[FAILED] %s\n", problem);
    recordImageRefused(chosen.c_str(), problem);
    return false;
}

// Controllers an interrupted or failed update left in their monitor: the update of those
// alone finishes the hand. Each one's check line has said where it is.
void printInMonitorAdvice(DovelIds inMonitor) {
    if (inMonitor != 0) {
        std::printf("Finish the update of those in their monitor with %s\n",
                    dovelIdsCommand(inMonitor, nullptr).c_str());
    }
}

// Which controllers answer and what they run, at any time: get requests only.
[[noreturn]] void runStatusCheck(const ExpectedVersion& expected) {
    recordPhase(PHASE_STATUS_CHECK, 0);
    std::printf("\n");
    int running = 0;
    DovelIds inMonitor = 0;
    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        const DovelCheckQuestion question{CHECK_ID_QUERIES_STATUS, true, false, 0, expected};
        DovelCheckAnswer answer{};
        const DovelCheck check = checkDovel(id, question, &answer);
        recordStatusDovel(id, check, answer);
        if (check == CHECK_MAIN_FIRMWARE) {
            ++running;
        }
        if (check == CHECK_IN_MONITOR) {
            inMonitor |= dovelIdBit(id);
        }
    }
    printInMonitorAdvice(inMonitor);
    exitRecorded(running == DOVEL_COUNT ? STATUS_ALL_RUNNING : STATUS_NOT_ALL_RUNNING);
}

// The file check of one image, with the run's settings for it.
int checkImage(const RunSettings& settings, const std::string& image, FirmwareFileCheck* check) {
    recordPhase(PHASE_FILE_CHECK, 0);
    char path[FIRMWARE_PATH_SIZE];
    if (!takeFirmwarePath(image, path)) {
        return FILE_CHECK_REFUSED;
    }
    const int verdict =
        checkFirmwareFile(path, settings.imageCheck, settings.imageSha256.c_str(), check);
    recordImage(path, *check);
    return verdict;
}

// "--check IMAGE...": the file check alone, at a desk without a hand; every image named
// gets its line, and the status passes only when every one does.
[[noreturn]] void checkImagesAndExit(const RunSettings& settings) {
    bool allPassed = true;
    for (const std::string& image : settings.images) {
        FirmwareFileCheck check{};
        allPassed = checkImage(settings, image, &check) == FILE_CHECK_PASSED && allPassed;
    }
    exitRecorded(allPassed ? EXIT_SUCCESS : CHECK_EXIT_FAILED);
}

// The line for a word of the command line that ends the run: nothing was touched.
void printWordProblem(const RunSettings& settings, const char* nothing) {
    const char* word = settings.problemWord.c_str();
    // What the run's words were taken for, as the usage line names it.
    const char* wordsOf = settings.mode == RUN_CHECK ? "--check [IMAGE...]" : "an update";
    switch (settings.wordProblem) {
        case WORD_MISPLACED_OPTION:
            std::printf("%s is one of this utility's own options, not a word of %s: %s\n", word,
                        wordsOf, nothing);
            break;
        case WORD_UNKNOWN_OPTION:
            std::printf(
                "%s is an unknown option (an image whose name begins with - is given "
                "as ./%s): %s\n",
                word, word, nothing);
            break;
        case WORD_AFTER_STATUS:
            std::printf("--status takes no other word (%s): %s\n", word, nothing);
            break;
        case WORD_OK:
            break;
    }
    recordSettingsRefused(settings.wordProblem == WORD_AFTER_STATUS
                              ? "--status takes no other word"
                              : (settings.problemWord + (settings.wordProblem == WORD_UNKNOWN_OPTION
                                                             ? " is an unknown option"
                                                             : " is one of this utility's own "
                                                               "options"))
                                    .c_str());
    printUsageLine();
}

// Every malformed setting, one line each and in the run's record; true when there was any.
bool printSettingProblems(const std::vector<std::string>& problems, const char* nothing) {
    for (const std::string& problem : problems) {
        std::printf("[FAILED] %s\n", problem.c_str());
        recordSettingsRefused(problem.c_str());
    }
    if (!problems.empty()) {
        std::printf("%s: mend the settings above, then run again.\n", nothing);
    }
    return !problems.empty();
}

// Both traces, made just before the first frame: a run refused earlier leaves every file
// as it was. false after the line that names the trace that cannot be made.
bool startTraces(const RunSettings& settings) {
    const bool ownerOnly = settings.traceUnmasked;
    if (!settings.canTrace.empty()) {
        const int error =
            canTraceOpen(settings.canTrace.c_str(),
                         settings.traceUnmasked ? nullptr : accessCodeMasked, ownerOnly);
        if (error != 0) {
            std::printf("[FAILED] %s: the trace file %s cannot be made: %s\n", CAN_TRACE_VARIABLE,
                        settings.canTrace.c_str(), std::strerror(error));
            return false;
        }
    }
    if (!settings.simTrace.empty() && simCurrentHand() != nullptr) {
        const int error = simStartTrace(settings.simTrace.c_str(), settings.traceUnmasked);
        if (error != 0) {
            std::printf("[FAILED] %s: the trace file %s cannot be made: %s\n", SIM_TRACE_VARIABLE,
                        settings.simTrace.c_str(), std::strerror(error));
            return false;
        }
    }
    if (settings.traceUnmasked && (!settings.canTrace.empty() || !settings.simTrace.empty())) {
        std::fprintf(stderr,
                     "%s=1: the traces hold the controllers' access code; never send them "
                     "with a report\n",
                     CAN_TRACE_UNMASKED_VARIABLE);
    }
    return true;
}

}  // namespace

void runDovelflash(int argc, char** argv) {
    RunSettings settings = readRunSettings(argc, argv);
    if ((settings.mode == RUN_HELP || settings.mode == RUN_VERSION) &&
        settings.wordProblem == WORD_OK) {
        printUsageRequest(argv[1]);
        std::exit(0);
    }
    consoleSetUp();
    // A malformed DOVEL_EXIT_STATUS may have meant report: its refusal says so in the status.
    exitStatusReportsOutcome(settings.exitStatusReport || settings.exitStatusMalformed);
    for (const std::string& warning : settings.warnings) {
        std::fprintf(stderr, "dovelflash: %s\n", warning.c_str());
    }
    std::vector<std::string> problems = settings.problems;
    for (const std::string& problem : outputFileProblems(&settings)) {
        problems.push_back(problem);
    }
    for (const std::string& problem : overwriteProblems(&settings)) {
        problems.push_back(problem);
    }
    // A run whose record itself cannot be trusted keeps none.
    recordBegin(settings.reportUsable ? settings.reportPath.c_str() : nullptr,
                settings.handLabel.c_str(), settings.mode, argc, argv);
    if (settings.mode == RUN_CHECK) {
        // A wrong word and wrong settings are refused together, each on its own lines.
        const bool wordRefused = settings.wordProblem != WORD_OK;
        if (wordRefused) {
            printWordProblem(settings, "nothing was checked.");
        }
        if (printSettingProblems(problems, "Nothing was checked") || wordRefused) {
            exitRecorded(CHECK_EXIT_FAILED);
        }
        checkImagesAndExit(settings);
    }
    std::printf("\nZendra firmware download utility\n");
    std::printf("Version 1.0\n");
    std::printf("Argument count = %d\n", argc);
    for (int i = 0; i < argc; ++i) {
        std::printf("  arg[%d] = %s\n", i, argv[i]);
    }

    const bool statusOnly = settings.mode == RUN_STATUS;
    if (settings.wordProblem != WORD_OK || !problems.empty()) {
        std::printf("\n");
        if (settings.wordProblem != WORD_OK) {
            printWordProblem(settings, statusOnly ? "nothing was checked." : "nothing was done.");
        }
        printSettingProblems(problems, "Nothing was done");
        // A status check that checked nothing never says all is well.
        if (statusOnly) {
            exitRecorded(STATUS_NOT_ALL_RUNNING);
        }
        exitPrompt();
    }
    canConfigure(settings.canSetting.c_str());
    startLinkOrExit(statusOnly);
    if (statusOnly) {
        if (!startTraces(settings)) {
            exitRecorded(STATUS_NOT_ALL_RUNNING);
        }
        runStatusCheck(settings.expectedVersion);
    }

    FirmwareFileCheck check{};
    const std::string& path = settings.images.front();
    if (checkImage(settings, path, &check) == FILE_CHECK_REFUSED || !startTraces(settings)) {
        exitPrompt();
    }

    guardUpdateWalks();
    recordDownloadMode(settings.downloadMode);
    recordDovelIds(settings.dovelIdsGiven, settings.dovelIds);
    UpdateOutcome outcome{};
    recordWalksBegin(&outcome);
    runUpdateWalks(&check.image, settings.expectedVersion, settings.downloadMode, &outcome,
                   settings.dovelIds);
    recordUpdate(outcome);
    const ImageSummary image{path.c_str(), check.sha256, check.checkedAgainst,
                             check.verdict == FILE_CHECK_WARNED ? check.problem : nullptr};
    const int updated = printUpdateSummary(outcome, image);
    endUpdateGuard();
    exitPromptReporting(updateComplete(outcome, updated) ? EXIT_ALL_UPDATED : EXIT_NOT_ALL_UPDATED);
}
