#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/console.h"
#include "app/download_mode.h"
#include "app/file_check.h"
#include "app/update_walks.h"
#include "app/usage.h"
#include "can/link.h"

namespace {

constexpr const char* STATUS_OPTION = "--status";
// Exit statuses of the status check.
constexpr int STATUS_ALL_RUNNING = 0;
constexpr int STATUS_NOT_ALL_RUNNING = 1;
constexpr const char* CHECK_OPTION = "--check";
constexpr int CHECK_EXIT_FAILED = 1;

bool declines(char key) { return key == 'n' || key == 'N' || key == KEY_END_OF_INPUT; }

// With statusOnly, a declined retry ends the run at once, as the status check has no
// exit prompt; so does a bus that is not this run's, as a status check never waits for
// an update to end.
void startLinkOrExit(bool statusOnly) {
    for (;;) {
        std::printf("\nInitializing USB/CAN device...\n");
        const int32_t started = canStart();
        if (started == 0) {
            std::printf("CAN device initialized.\n");
            return;
        }
        if (started == CAN_ERR_BUS_NOT_TAKEN && statusOnly) {
            std::exit(STATUS_NOT_ALL_RUNNING);
        }
        // A bus in use has its own line, and the adapter is fine: no word about plugging.
        if (started != CAN_ERR_BUS_NOT_TAKEN) {
            std::printf("[FAILED] Please check that your USB/CAN device is plugged in.\n");
        }
        std::printf("\nDo you want to try again (y/n)? ");
        if (declines(waitKey())) {
            if (statusOnly) {
                std::printf("\n");
                std::exit(STATUS_NOT_ALL_RUNNING);
            }
            exitPrompt();
        }
    }
}

// Fills path from the command line; false when the argument does not fit.
bool chooseFirmwarePath(int argc, char** argv, char (&path)[FIRMWARE_PATH_SIZE]) {
    const char* chosen = argc <= 1 ? DEFAULT_FIRMWARE_PATH : argv[1];
    if (std::strlen(chosen) >= FIRMWARE_PATH_SIZE) {
        return false;
    }
    std::memcpy(path, chosen, std::strlen(chosen) + 1);
    return true;
}

// Which controllers answer and what they run, at any time: get requests only.
[[noreturn]] void runStatusCheck() {
    std::printf("\n");
    int running = 0;
    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        if (checkDovel(id, true) == CHECK_MAIN_FIRMWARE) {
            ++running;
        }
    }
    std::exit(running == DOVEL_COUNT ? STATUS_ALL_RUNNING : STATUS_NOT_ALL_RUNNING);
}

// The path, or the file-check line that refuses it.
bool takeFirmwarePath(int argc, char** argv, char (&path)[FIRMWARE_PATH_SIZE]) {
    if (chooseFirmwarePath(argc, argv, path)) {
        return true;
    }
    std::printf("Accessing firmware file: %s...", argv[1]);
    std::printf("[FAILED] Firmware path is longer than %d characters\n", FIRMWARE_PATH_SIZE - 1);
    return false;
}

// "--check IMAGE": the file check alone, at a desk without a hand.
[[noreturn]] void checkImageAndExit(int argc, char** argv) {
    char path[FIRMWARE_PATH_SIZE];
    FirmwareFileCheck check{};
    const bool passed =
        takeFirmwarePath(argc, argv, path) && checkFirmwareFile(path, &check) == FILE_CHECK_PASSED;
    std::exit(passed ? EXIT_SUCCESS : CHECK_EXIT_FAILED);
}

// The utility's own option words where the command line does not give them their meaning
// ("dovelflash dovel2.tek --check"): whoever typed one meant the option, not an update of
// the whole hand. The first such word, or nullptr.
const char* misplacedOption(int argc, char** argv) {
    static const char* const OPTIONS[] = {CHECK_OPTION, STATUS_OPTION, "--help", "-h", "--version"};
    if (argc == 2 && std::strcmp(argv[1], STATUS_OPTION) == 0) {
        return nullptr;
    }
    for (int i = 1; i < argc; ++i) {
        for (const char* option : OPTIONS) {
            if (std::strcmp(argv[i], option) == 0) {
                return option;
            }
        }
    }
    return nullptr;
}

}  // namespace

void runDovelflash(int argc, char** argv) {
    if (isUsageRequest(argc, argv)) {
        printUsageRequest(argv[1]);
        std::exit(0);
    }
    consoleSetUp();
    if (argc >= 2 && std::strcmp(argv[1], CHECK_OPTION) == 0) {
        checkImageAndExit(argc - 1, argv + 1);
    }
    std::printf("\nZendra firmware download utility\n");
    std::printf("Version 1.0\n");
    std::printf("Argument count = %d\n", argc);
    for (int i = 0; i < argc; ++i) {
        std::printf("  arg[%d] = %s\n", i, argv[i]);
    }

    if (const char* option = misplacedOption(argc, argv)) {
        std::printf(
            "\n%s is one of this utility's own options, not a word of an update: "
            "nothing was done.\n",
            option);
        printUsageLine();
        exitPrompt();
    }
    const bool statusOnly = argc == 2 && std::strcmp(argv[1], STATUS_OPTION) == 0;
    DownloadMode downloadMode = DOWNLOAD_ONE_BY_ONE;
    if (!statusOnly && !parseDownloadMode(std::getenv(DOWNLOAD_MODE_VARIABLE), &downloadMode)) {
        std::printf("\n%s=%s is neither one-by-one nor together: nothing was done.\n",
                    DOWNLOAD_MODE_VARIABLE, std::getenv(DOWNLOAD_MODE_VARIABLE));
        exitPrompt();
    }
    startLinkOrExit(statusOnly);
    if (statusOnly) {
        runStatusCheck();
    }

    char path[FIRMWARE_PATH_SIZE];
    FirmwareFileCheck check{};
    if (!takeFirmwarePath(argc, argv, path) ||
        checkFirmwareFile(path, &check) == FILE_CHECK_REFUSED) {
        exitPrompt();
    }

    guardUpdateWalks();
    UpdateOutcome outcome{};
    runUpdateWalks(&check.image, &outcome, downloadMode);
    const ImageSummary image{path, check.sha256, check.checkedAgainst,
                             check.verdict == FILE_CHECK_WARNED ? check.problem : nullptr};
    const int updated = printUpdateSummary(outcome, image);
    endUpdateGuard();
    exitPromptReporting(updated == DOVEL_COUNT ? EXIT_ALL_UPDATED : EXIT_NOT_ALL_UPDATED);
}
