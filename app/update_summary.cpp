// The closing report of an update: what became of each controller, in plain words, and
// what to do next.
#include <cstdio>

#include "app/download_together.h"
#include "app/file_check.h"
#include "app/update_walks.h"

namespace {

void printFirstFailure(const DovelOutcome& dovel) {
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
    } else if (dovel.check == CHECK_WRONG_VERSION) {
        std::printf("runs its main firmware, but not the version %s names\n", EXPECT_VERS_VARIABLE);
    } else if (dovel.check == CHECK_NOT_ITS_ID) {
        std::printf("does not answer with its ID\n");
    } else {
        std::printf("not running its main firmware\n");
    }
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
    printDownloadWay(outcome);
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
        if (updated < DOVEL_COUNT && outcome.linkDownReason[0] != '\0') {
            std::printf(
                "The CAN link went down (%s): check the adapter, its cable and the "
                "interface, then run the update again: it is safe to repeat.\n",
                outcome.linkDownReason);
        } else if (updated == 0) {
            std::printf(
                "No Dovel was updated: check the hand's power, the CAN cable and its "
                "termination, then run the update again: it is safe to repeat.\n");
        } else if (updated < DOVEL_COUNT) {
            std::printf("Run the update again to finish the others: it is safe to repeat.\n");
        }
    }
    printDownloadWayAdvice(outcome);
    return updated;
}
