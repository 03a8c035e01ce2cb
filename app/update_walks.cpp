#include "app/update_walks.h"

#include <cstdio>

#include "app/download_together.h"
#include "can/can_api.h"
#include "can/clock.h"

namespace {

// A step that failed while the link was down failed for the link, not the controller.
void noteLinkDown(bool stepFailed, DovelOutcome* dovel, UpdateOutcome* outcome) {
    const char* down = stepFailed ? canLinkDown() : nullptr;
    if (down == nullptr) {
        return;
    }
    dovel->linkDown = true;
    if (outcome->linkDownReason[0] == '\0') {
        std::snprintf(outcome->linkDownReason, sizeof outcome->linkDownReason, "%s", down);
    }
}

}  // namespace

void runUpdateWalks(const ImageBytes* image, UpdateOutcome* outcome, DownloadMode mode) {
    *outcome = UpdateOutcome{};
    outcome->download.mode = mode;
    for (int i = 0; i < DOVEL_COUNT; ++i) {
        DovelOutcome& dovel = outcome->dovels[i];
        dovel.id = FIRST_DOVEL_ID + i;
        int32_t role = 0;
        dovel.prepare = prepareDovelTelling(dovel.id, &role);
        noteLinkDown(dovel.prepare != PREPARED, &dovel, outcome);
    }
    std::printf("\nWaiting for dovels to reset...\n");
    sleepMs(RESET_WAIT_MS);

    // A controller whose preparation failed still gets its download: it may already be
    // in its monitor.
    for (DovelOutcome& dovel : outcome->dovels) {
        if (mode == DOWNLOAD_TOGETHER) {
            break;  // below, in one walk of its own
        }
        std::printf("\n\nDownloading firmware to Dovel %d\n", dovel.id);
        dovel.downloaded = downloadImage(dovel.id, image, &dovel.download) == 0;
        noteLinkDown(!dovel.downloaded, &dovel, outcome);
        sleepMs(AFTER_DOWNLOAD_WAIT_MS);
    }
    if (mode == DOWNLOAD_TOGETHER) {
        runDownloadsTogether(image, outcome);
        for (DovelOutcome& dovel : outcome->dovels) {
            noteLinkDown(!dovel.downloaded, &dovel, outcome);
        }
    }
    std::printf("\nWaiting for dovels to reset...\n");
    sleepMs(RESET_WAIT_MS);

    // Role code 5 makes a controller boot its main firmware: never after half an image.
    for (DovelOutcome& dovel : outcome->dovels) {
        std::printf("\nRestoring the ROLE for Dovel %d\n", dovel.id);
        if (!dovel.downloaded) {
            std::printf(dovel.prepare == PREPARED
                            ? "Skipped: its download did not complete; it stays in its monitor\n"
                            : "Skipped: its download did not complete\n");
            continue;
        }
        dovel.restored = restoreRole(dovel.id) == 0;
        noteLinkDown(!dovel.restored, &dovel, outcome);
    }
    std::printf("\nWaiting for dovels to reset...\n");
    sleepMs(RESET_WAIT_MS);

    for (DovelOutcome& dovel : outcome->dovels) {
        dovel.check = checkDovel(dovel.id, false);
        noteLinkDown(dovel.check == CHECK_LINK_DOWN, &dovel, outcome);
    }
}

// A controller that an interrupted run left in its monitor may fail its preparation
// here (it is still taking image characters, so its answers are no property values)
// and still take the whole image, get its role back and boot: it is updated.
bool dovelUpdated(const DovelOutcome& dovel) {
    return dovel.downloaded && dovel.restored && dovel.check == CHECK_MAIN_FIRMWARE;
}
