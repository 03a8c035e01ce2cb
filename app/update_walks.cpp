#include "app/update_walks.h"

#include <cstdio>

#include "app/download_together.h"
#include "app/run_record.h"
#include "can/can_api.h"
#include "can/clock.h"
#include "can/reply_owners.h"

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

// Once the link is gone nothing more reaches a controller, so there is nothing to wait
// for: the summary follows at once.
void waitForResets() {
    recordPhase(PHASE_RESET_WAIT, 0);
    if (canLinkDown() == nullptr) {
        std::printf("\nWaiting for dovels to reset...\n");
        sleepMs(RESET_WAIT_MS);
    }
}

void pauseAfterDownload() {
    if (canLinkDown() == nullptr) {
        sleepMs(AFTER_DOWNLOAD_WAIT_MS);
    }
}

}  // namespace

void runUpdateWalks(const ImageBytes* image, const ExpectedVersion& expected, DownloadMode mode,
                    UpdateOutcome* outcome, DovelIds named) {
    *outcome = UpdateOutcome{};
    forgetReplyOwners();
    outcome->expected = expected;
    outcome->download.mode = mode;
    outcome->leftOut = ALL_DOVEL_IDS & ~named;
    for (int i = 0; i < DOVEL_COUNT; ++i) {
        DovelOutcome& dovel = outcome->dovels[i];
        dovel.id = FIRST_DOVEL_ID + i;
        dovel.leftOut = !dovelIdNamed(named, dovel.id);
        if (dovel.leftOut) {
            continue;
        }
        recordPhase(PHASE_PREPARING, dovel.id);
        dovel.prepare = prepareDovelTelling(dovel.id, &dovel.roleRead);
        noteLinkDown(dovel.prepare != PREPARED, &dovel, outcome);
        recordWalksProgress(*outcome);
    }
    waitForResets();

    // A controller whose preparation failed still gets its download: it may already be
    // in its monitor.
    for (DovelOutcome& dovel : outcome->dovels) {
        if (mode == DOWNLOAD_TOGETHER) {
            break;  // below, in one walk of its own
        }
        if (dovel.leftOut) {
            continue;
        }
        std::printf("\n\nDownloading firmware to Dovel %d\n", dovel.id);
        recordPhase(PHASE_DOWNLOADING, dovel.id);
        dovel.downloaded = downloadImage(dovel.id, image, &dovel.download) == 0;
        noteLinkDown(!dovel.downloaded, &dovel, outcome);
        recordWalksProgress(*outcome);
        pauseAfterDownload();
    }
    if (mode == DOWNLOAD_TOGETHER) {
        recordPhase(PHASE_DOWNLOADING, 0);
        runDownloadsTogether(image, outcome);
        for (DovelOutcome& dovel : outcome->dovels) {
            noteLinkDown(!dovel.downloaded, &dovel, outcome);
        }
        recordWalksProgress(*outcome);
    }
    // From here on a frame of an identifier its download proved one controller's is
    // never taken as another's answer.
    for (const DovelOutcome& dovel : outcome->dovels) {
        if (dovel.download.replyIdProven) {
            noteReplyOwner(dovel.download.replyId, dovel.id);
        }
    }
    waitForResets();

    // Role code 5 makes a controller boot its main firmware: never after half an image.
    for (DovelOutcome& dovel : outcome->dovels) {
        if (dovel.leftOut) {
            continue;
        }
        std::printf("\nRestoring the ROLE for Dovel %d\n", dovel.id);
        recordPhase(PHASE_RESTORING, dovel.id);
        if (!dovel.downloaded) {
            std::printf(dovel.prepare == PREPARED
                            ? "Skipped: its download did not complete; it stays in its monitor\n"
                            : "Skipped: its download did not complete\n");
            continue;
        }
        dovel.restored = restoreRoleStoring(dovel.id, &dovel.storedRole) == 0;
        noteLinkDown(!dovel.restored, &dovel, outcome);
        recordWalksProgress(*outcome);
    }
    waitForResets();

    for (DovelOutcome& dovel : outcome->dovels) {
        // One not named is asked as --status asks: it proves its ID twice and shows its
        // ROLE. Any VERS passes: the summary compares the hand's versions.
        const DovelCheckQuestion question =
            dovel.leftOut ? DovelCheckQuestion{CHECK_ID_QUERIES_STATUS, true, false, 0, {}}
                          : DovelCheckQuestion{CHECK_ID_QUERIES_AFTER_UPDATE, false, dovel.restored,
                                               dovel.storedRole, outcome->expected};
        recordPhase(PHASE_CHECKING, dovel.id);
        dovel.check = checkDovel(dovel.id, question, &dovel.checked);
        noteLinkDown(dovel.check == CHECK_LINK_DOWN, &dovel, outcome);
        recordWalksProgress(*outcome);
    }
}

// A controller that an interrupted run left in its monitor may fail its preparation
// here (it is still taking image characters, so its answers are no property values)
// and still take the whole image, get its role back and boot: it is updated.
bool dovelUpdated(const DovelOutcome& dovel) {
    return dovel.downloaded && dovel.restored && dovel.check == CHECK_MAIN_FIRMWARE;
}

bool dovelDownloadStartUnanswered(const DovelOutcome& dovel) {
    return !dovel.downloaded && dovel.download.started && !dovel.download.linkDown &&
           dovel.download.characters == 0;
}

bool someLeftOut(const UpdateOutcome& outcome) { return outcome.leftOut != 0; }

int namedDovelCount(const UpdateOutcome& outcome) {
    return DOVEL_COUNT - dovelIdCount(outcome.leftOut);
}

bool updateComplete(const UpdateOutcome& outcome, int updated) {
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (dovel.leftOut && dovel.check != CHECK_MAIN_FIRMWARE) {
            return false;
        }
    }
    return updated == namedDovelCount(outcome);
}
