#include "app/file_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "firmware/image_scan.h"

namespace {

constexpr int CHECK_STRICT = 0;
constexpr int CHECK_WARN = 1;
constexpr int CHECK_UNKNOWN = 2;

// What DOVEL_IMAGE_CHECK asks for; an empty value counts as unset, as Windows has no other.
int imageCheckMode(const char** value) {
    *value = std::getenv(IMAGE_CHECK_VARIABLE);
    if (*value == nullptr || **value == '\0' || std::strcmp(*value, "strict") == 0) {
        return CHECK_STRICT;
    }
    return std::strcmp(*value, "warn") == 0 ? CHECK_WARN : CHECK_UNKNOWN;
}

const char* plural(long long count) { return count == 1 ? "" : "s"; }

void printImageSummary(const ImageScan* scan) {
    std::printf("Image: %d data record%s", scan->dataRecords, plural(scan->dataRecords));
    if (scan->symbolRecords > 0) {
        std::printf(", %d symbol record%s", scan->symbolRecords, plural(scan->symbolRecords));
    }
    if (scan->dataBytes > 0) {
        std::printf(", %lld byte%s from 0x%08llX to 0x%08llX",
                    static_cast<long long>(scan->dataBytes), plural(scan->dataBytes),
                    static_cast<unsigned long long>(scan->lowestAddress),
                    static_cast<unsigned long long>(scan->highestAddress));
    } else {
        std::printf(", no data bytes");
    }
    std::printf(", start address 0x%08llX\n", static_cast<unsigned long long>(scan->startAddress));
}

}  // namespace

int checkFirmwareFile(const char* path, ImageStamp* checked) {
    std::printf("Accessing firmware file: %s...", path);
    const char* setting = nullptr;
    const int mode = imageCheckMode(&setting);
    if (mode == CHECK_UNKNOWN) {
        std::printf("[FAILED] %s is \"%s\"; it takes strict or warn\n", IMAGE_CHECK_VARIABLE,
                    setting);
        return FILE_CHECK_REFUSED;
    }
    ImageScan scan{};
    const int verdict = scanImage(path, &scan);
    *checked = scan.stamp;
    switch (verdict) {
        case IMAGE_SCAN_PASSED:
            std::printf("[OK]\n");
            printImageSummary(&scan);
            return FILE_CHECK_PASSED;
        case IMAGE_SCAN_NOT_OPENED:
            std::printf("[FAILED] Could not open firmware file\n");
            std::fflush(stdout);
            std::fprintf(stderr, "dovelflash: %s: %s\n", path, std::strerror(scan.openError));
            return FILE_CHECK_REFUSED;
        case IMAGE_SCAN_REFUSED:
            if (mode == CHECK_WARN) {
                std::printf("[WARNING] %s\n", scan.problem);
                return FILE_CHECK_WARNED;
            }
            break;
        default:  // no download could read what is no regular file, whatever the setting
            break;
    }
    std::printf("[FAILED] %s\n", scan.problem);
    return FILE_CHECK_REFUSED;
}
