#include "app/update_walks.h"

#include <cstdio>

#include "can/clock.h"
#include "firmware/download.h"
#include "protocol/role.h"

// No result steers the walks: a controller that failed one step still gets the
// next, and each procedure reports its own failures.
void runUpdateWalks(const char* firmwarePath, const ImageStamp* checkedImage) {
    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        prepareDovel(id);
    }
    std::printf("\nWaiting for dovels to reset...\n");
    sleepMs(RESET_WAIT_MS);

    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        std::printf("\n\nDownloading firmware to Dovel %d\n", id);
        downloadCheckedFirmware(id, firmwarePath, checkedImage);
        sleepMs(AFTER_DOWNLOAD_WAIT_MS);
    }
    std::printf("\nWaiting for dovels to reset...\n");
    sleepMs(RESET_WAIT_MS);

    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        std::printf("\nRestoring the ROLE for Dovel %d\n", id);
        restoreRole(id);
    }
}
