#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/console.h"
#include "app/update_walks.h"
#include "app/usage.h"
#include "can/link.h"
#include "firmware/image_reader.h"

namespace {

bool declines(char key) { return key == 'n' || key == 'N' || key == KEY_END_OF_INPUT; }

void startLinkOrExit() {
    for (;;) {
        std::printf("\nInitializing USB/CAN device...\n");
        if (canStart() == 0) {
            std::printf("CAN device initialized.\n");
            return;
        }
        std::printf("[FAILED] Please check that your USB/CAN device is plugged in.\n");
        std::printf("\nDo you want to try again (y/n)? ");
        if (declines(waitKey())) {
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

}  // namespace

void runDovelflash(int argc, char** argv) {
    if (isUsageRequest(argc, argv)) {
        printUsageRequest(argv[1]);
        std::exit(0);
    }
    consoleSetUp();
    std::printf("\nZendra firmware download utility\n");
    std::printf("Version 1.0\n");
    std::printf("Argument count = %d\n", argc);
    for (int i = 0; i < argc; ++i) {
        std::printf("  arg[%d] = %s\n", i, argv[i]);
    }

    startLinkOrExit();

    char path[FIRMWARE_PATH_SIZE];
    if (!chooseFirmwarePath(argc, argv, path)) {
        std::printf("Accessing firmware file: %s...", argv[1]);
        std::printf("[FAILED] Firmware path is longer than %d characters\n",
                    FIRMWARE_PATH_SIZE - 1);
        exitPrompt();
    }

    std::printf("Accessing firmware file: %s...", path);
    ImageReader image{};
    if (openImage(&image, path) != 0) {
        std::printf("[FAILED] Could not open firmware file\n");
        exitPrompt();
    }
    closeImage(&image);
    std::printf("[OK]\n");

    runUpdateWalks(path);
    exitPrompt();
}
