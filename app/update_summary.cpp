// The closing report of an update: what became of each controller, in plain words, and
// what to do next.
#include <cstdio>

#include "app/file_check.h"
#include "app/update_walks.h"

namespace {

// A controller that took the image and got its role back, and then the link went: what
// it runs is not known, so it is neither updated nor failed.
bool checkCutShort(const DovelOutcome& dovel) {
    return dovel.downloaded && dovel.restored && dovel.check == CHECK_LINK_DOWN;
}

void printFirstFailure(const DovelOutcome& dovel) {
    if (checkCutShort(dovel)) {
        std::printf(
            "Dovel %d: not checked: the CAN link went down after it took the image and got its "
            "ROLE back\n",
            dovel.id);
        return;
    }
    std::printf("Dovel %d: FAILED - ", dovel.id);
    if (dovel.linkDown) {
        std::printf("the CAN link went down: ");
    }
    if (dovel.prepare == PREPARE_NOT_FOUND) {
        std::printf("not found\n");
    } else if (dovel.prepare == PREPARE_FAILED) {
        std::printf("ROLE not prepared\n");
    } else if (!dovel.downloaded && !dovel.download.started) {
        std::printf("download not started\n");
    } else if (!dovel.downloaded) {
        std::printf("download stopped at %d%%\n", dovel.download.percent);
    } else if (!dovel.restored) {
        std::printf("not restored\n");
    } else if (dovel.check == CHECK_WRONG_VERSION && !dovel.checked.versRead) {
        std::printf("not compared: %s names no version\n", EXPECT_VERS_VARIABLE);
    } else if (dovel.check == CHECK_WRONG_VERSION) {
        std::printf("runs its main firmware, but not the version %s names\n", EXPECT_VERS_VARIABLE);
    } else if (dovel.check == CHECK_NOT_ITS_ID) {
        std::printf("does not answer with its ID\n");
    } else if (dovel.check == CHECK_NOT_HAND_ROLE) {
        std::printf("its ROLE does not hold the hand's role code\n");
    } else {
        std::printf("not running its main firmware\n");
    }
}

bool wrongVersion(const DovelOutcome& dovel) {
    return dovel.downloaded && dovel.restored && dovel.check == CHECK_WRONG_VERSION;
}

// A controller that runs another version than the release names: running the same
// image again would give the same, and no cable is to blame. A DOVEL_EXPECT_VERS that
// names no version: only the variable can be mended. The number of such controllers.
int printVersionAdvice(const UpdateOutcome& outcome, const ImageSummary& image) {
    int mismatched = 0;
    int notCompared = 0;
    for (const DovelOutcome& dovel : outcome.dovels) {
        notCompared += wrongVersion(dovel) && !dovel.checked.versRead ? 1 : 0;
        if (wrongVersion(dovel) && dovel.checked.versRead) {
            std::printf(
                "Dovel %d runs VERS 0x%04x, not 0x%04x that %s names: check that %s is "
                "that release.\n",
                dovel.id, dovel.checked.vers, outcome.expected.vers, EXPECT_VERS_VARIABLE,
                image.path != nullptr ? image.path : "the image");
            ++mismatched;
        }
    }
    if (notCompared > 0) {
        std::printf(
            "%s names no version: give it as VERS is printed (such as 0x323f) or unset it, "
            "then run the update again: it is safe to repeat.\n",
            EXPECT_VERS_VARIABLE);
    }
    return mismatched + notCompared;
}

}  // namespace

int printUpdateSummary(const UpdateOutcome& outcome, const ImageSummary& image) {
    std::printf("\nSummary\n");
    if (image.path != nullptr && image.sha256 != nullptr) {
        // The log of an update records which file was installed.
        std::printf("Image: %s, sha256 %s", image.path, image.sha256);
        if (image.checkedAgainst != nullptr && image.checkedAgainst[0] != '\0') {
            std::printf(" (matches %s)", image.checkedAgainst);
        }
        std::printf("\n");
    }
    const char* imageProblem = image.problem;
    if (imageProblem != nullptr) {
        std::printf(
            "The image FAILED its check and was installed on the operator's word (%s=warn): "
            "%s\n",
            IMAGE_CHECK_VARIABLE, imageProblem);
    }
    int updated = 0;
    int tookImage = 0;
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (!dovelUpdated(dovel)) {
            printFirstFailure(dovel);
        } else if (imageProblem != nullptr) {
            std::printf("Dovel %d: took the image that failed its check\n", dovel.id);
            ++tookImage;
        } else {
            std::printf("Dovel %d: updated\n", dovel.id);
            ++updated;
        }
    }
    if (imageProblem != nullptr) {
        // Whatever the controllers did with records the check refused, the same file
        // again would do the same.
        std::printf("%d of %d Dovels updated: %d took an image that failed its check.\n", updated,
                    DOVEL_COUNT, tookImage);
        std::printf(
            "Mend the image (dovelflash --check IMAGE names the problem), then run the "
            "update again with it.\n");
    } else {
        std::printf("%d of %d Dovels updated.\n", updated, DOVEL_COUNT);
        if (updated > 0 && !outcome.expected.given) {
            // What "updated" proves, and what it does not.
            std::printf(
                "Not compared with a release: %s is not set, so \"updated\" means the "
                "controller took the whole image and came back running a main firmware.\n",
                EXPECT_VERS_VARIABLE);
        }
        const int versionAdvised =
            outcome.linkDownReason[0] != '\0' ? 0 : printVersionAdvice(outcome, image);
        const int otherwise = DOVEL_COUNT - updated - versionAdvised;
        if (updated < DOVEL_COUNT && outcome.linkDownReason[0] != '\0') {
            std::printf(
                "The CAN link went down (%s): check the adapter, its cable and the "
                "interface, then run the update again: it is safe to repeat.\n",
                outcome.linkDownReason);
        } else if (otherwise == 0) {
            // Every controller is updated or runs what the image gave it.
        } else if (updated == 0 && versionAdvised == 0) {
            std::printf(
                "No Dovel was updated: check the hand's power, the CAN cable and its "
                "termination, then run the update again: it is safe to repeat.\n");
        } else {
            std::printf("Run the update again to finish the others: it is safe to repeat.\n");
        }
    }
    return updated;
}
