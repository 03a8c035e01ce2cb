// The closing report of an update: what became of each controller, in plain words.
#include <cstdio>

#include "app/update_walks.h"

namespace {

void printFirstFailure(const DovelOutcome& dovel) {
    std::printf("Dovel %d: FAILED - ", dovel.id);
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
    } else {
        std::printf("not running its main firmware\n");
    }
}

}  // namespace

int printUpdateSummary(const UpdateOutcome& outcome) {
    std::printf("\nSummary\n");
    int updated = 0;
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (dovelUpdated(dovel)) {
            std::printf("Dovel %d: updated\n", dovel.id);
            ++updated;
        } else {
            printFirstFailure(dovel);
        }
    }
    std::printf("%d of %d Dovels updated.\n", updated, DOVEL_COUNT);
    if (updated < DOVEL_COUNT) {
        std::printf("Run the update again to finish the others: it is safe to repeat.\n");
    }
    return updated;
}
