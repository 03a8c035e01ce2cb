// The closing report of an update: what became of each controller, in plain words, and
// what to do next.
#include <algorithm>
#include <cstdio>
#include <string>

#include "app/download_together.h"
#include "app/file_check.h"
#include "app/update_walks.h"

namespace {

// A controller that took the image and got its role back, and then the link went: what
// it runs is not known, so it is neither updated nor failed.
bool checkCutShort(const DovelOutcome& dovel) {
    return dovel.downloaded && dovel.restored && dovel.check == CHECK_LINK_DOWN;
}

// The first failure of a controller that was not updated, after "FAILED - ".
const char* firstFailure(const DovelOutcome& dovel, char* buffer, size_t size) {
    if (dovel.prepare == PREPARE_NOT_FOUND) {
        return "not found";
    }
    if (dovel.prepare == PREPARE_FAILED) {
        return "ROLE not prepared";
    }
    if (!dovel.downloaded && !dovel.download.started) {
        return "download not started";
    }
    if (dovelDownloadStartUnanswered(dovel)) {
        return "did not answer its download start";
    }
    if (!dovel.downloaded) {
        std::snprintf(buffer, size, "download stopped at %d%%", dovel.download.percent);
        return buffer;
    }
    if (!dovel.restored) {
        return "not restored";
    }
    if (dovel.check == CHECK_WRONG_VERSION) {
        std::snprintf(buffer, size, "runs its main firmware, but not the version %s names",
                      EXPECT_VERS_VARIABLE);
        return buffer;
    }
    switch (dovel.check) {
        case CHECK_NOT_ITS_ID:
            return "does not answer with its ID";
        case CHECK_NOT_HAND_ROLE:
            return "its ROLE does not hold the hand's role code";
        case CHECK_NO_REPLY:
            return "did not answer its check";
        case CHECK_IN_MONITOR:
            return "still in its monitor";
        default:
            return "not running its main firmware";
    }
}

bool wrongVersion(const DovelOutcome& dovel) {
    return dovel.downloaded && dovel.restored && dovel.check == CHECK_WRONG_VERSION;
}

// A controller that runs another version than the release names: running the same
// image again would give the same, and no cable is to blame. The number of such
// controllers.
int printVersionAdvice(const UpdateOutcome& outcome, const ImageSummary& image) {
    int mismatched = 0;
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (wrongVersion(dovel)) {
            std::printf(
                "Dovel %d runs VERS 0x%04x, not 0x%04x that %s names: check that %s is "
                "that release.\n",
                dovel.id, dovel.checked.vers, outcome.expected.vers, EXPECT_VERS_VARIABLE,
                image.path != nullptr ? image.path : "the image");
            ++mismatched;
        }
    }
    return mismatched;
}

const char* const VERSION_COUNT_WORDS[] = {"no", "one", "two", "three", "four"};

// A controller DOVEL_IDS left out that does not run its main firmware: the run has not
// finished the hand. A link that went down is told of once, for all.
bool leftOutNotRunning(const DovelOutcome& dovel) {
    return dovel.leftOut && dovel.check != CHECK_MAIN_FIRMWARE && dovel.check != CHECK_LINK_DOWN;
}

// Why a controller left out is not running its main firmware, in the check's words.
const char* leftOutProblem(DovelCheck check) {
    switch (check) {
        case CHECK_NO_REPLY:
            return "it does not reply";
        case CHECK_NOT_ITS_ID:
            return "it answers, but not with its ID";
        default:
            break;
    }
    return "its ROLE does not hold the hand's role code";
}

void printLeftOutAdvice(const UpdateOutcome& outcome) {
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (!leftOutNotRunning(dovel)) {
            continue;
        }
        if (dovel.check == CHECK_IN_MONITOR) {
            std::printf("Dovel %d is in its monitor: name it in %s\n", dovel.id, IDS_VARIABLE);
        } else {
            std::printf("Dovel %d is not running its main firmware (%s): name it in %s\n", dovel.id,
                        leftOutProblem(dovel.check), IDS_VARIABLE);
        }
    }
}

// The hand's versions as the final check read them, when they differ: those the run
// installed first, then the others', each with its controllers.
void printMixedVersions(const UpdateOutcome& outcome) {
    uint32_t versions[DOVEL_COUNT];
    int versionCount = 0;
    for (const bool leftOut : {false, true}) {
        for (const DovelOutcome& dovel : outcome.dovels) {
            const uint32_t vers = dovel.checked.vers;
            if (dovel.leftOut != leftOut || !dovel.checked.versRead ||
                std::find(versions, versions + versionCount, vers) != versions + versionCount) {
                continue;
            }
            versions[versionCount++] = vers;
        }
    }
    if (versionCount < 2) {
        return;
    }
    std::printf("The hand runs %s firmware versions:", VERSION_COUNT_WORDS[versionCount]);
    for (int i = 0; i < versionCount; ++i) {
        std::string ids;
        int count = 0;
        for (const DovelOutcome& dovel : outcome.dovels) {
            if (dovel.checked.versRead && dovel.checked.vers == versions[i]) {
                ids += (count++ == 0 ? "" : ", ") + std::to_string(dovel.id);
            }
        }
        std::printf("%s Dovel%s %s 0x%04x", i == 0 ? "" : ";", count == 1 ? "" : "s", ids.c_str(),
                    versions[i]);
    }
    std::printf(".\n");
}

// The controllers a run naming them alone would finish: those named that the run did not
// update (but not for running another version than the release names: the same image
// gives the same), and those left out that do not run their main firmware.
DovelIds idsToFinish(const UpdateOutcome& outcome) {
    DovelIds ids = 0;
    for (const DovelOutcome& dovel : outcome.dovels) {
        const bool named = !dovel.leftOut && !dovelUpdated(dovel) && !wrongVersion(dovel);
        if (named || leftOutNotRunning(dovel)) {
            ids |= dovelIdBit(dovel.id);
        }
    }
    return ids;
}

// The advice of an update that DOVEL_IDS limited: which command finishes the hand.
void printLeftOutSummaryEnd(const UpdateOutcome& outcome, const ImageSummary& image, int updated,
                            int versionAdvised) {
    printLeftOutAdvice(outcome);
    printMixedVersions(outcome);
    const DovelIds finish = idsToFinish(outcome);
    if (finish == 0) {
        return;
    }
    const std::string command = dovelIdsCommand(finish, image.path);
    if (outcome.linkDownReason[0] != '\0') {
        std::printf(
            "The CAN link went down (%s): check the adapter, its cable and the interface, then "
            "finish with %s: it is safe to repeat.\n",
            outcome.linkDownReason, command.c_str());
    } else if (updated == 0 && versionAdvised == 0) {
        std::printf(
            "No Dovel was updated: check the hand's power, the CAN cable and its termination, "
            "then finish with %s: it is safe to repeat.\n",
            command.c_str());
    } else {
        std::printf("Finish the others with %s: it is safe to repeat.\n", command.c_str());
    }
}

}  // namespace

void dovelSummaryWords(const DovelOutcome& dovel, bool imageFailedCheck, char* words, size_t size) {
    if (checkCutShort(dovel)) {
        std::snprintf(words, size,
                      "not checked: the CAN link went down after it took the image and got its "
                      "ROLE back");
        return;
    }
    if (dovelUpdated(dovel)) {
        std::snprintf(words, size, "%s",
                      imageFailedCheck ? "took the image that failed its check" : "updated");
        return;
    }
    char failure[96];
    std::snprintf(words, size, "FAILED - %s%s", dovel.linkDown ? "the CAN link went down: " : "",
                  firstFailure(dovel, failure, sizeof failure));
}

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
    const int named = namedDovelCount(outcome);
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (dovel.leftOut) {
            continue;  // its check's line is all there is to say, unless below
        }
        char words[160];
        dovelSummaryWords(dovel, imageProblem != nullptr, words, sizeof words);
        std::printf("Dovel %d: %s\n", dovel.id, words);
        if (dovelUpdated(dovel)) {
            ++(imageProblem != nullptr ? tookImage : updated);
        }
    }
    if (imageProblem != nullptr) {
        // Whatever the controllers did with records the check refused, the same file
        // again would do the same.
        std::printf("%d of %d Dovels updated: %d took an image that failed its check.\n", updated,
                    named, tookImage);
        if (someLeftOut(outcome)) {
            printLeftOutAdvice(outcome);
            printMixedVersions(outcome);
        }
        std::printf(
            "Mend the image (dovelflash --check IMAGE names the problem), then run the "
            "update again with it.\n");
    } else {
        std::printf("%d of %d Dovels updated.\n", updated, named);
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
        if (someLeftOut(outcome)) {
            printLeftOutSummaryEnd(outcome, image, updated, versionAdvised);
        } else if (updated < DOVEL_COUNT && outcome.linkDownReason[0] != '\0') {
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
    printDownloadWayAdvice(outcome);
    return updated;
}
