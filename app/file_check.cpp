#include "app/file_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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

void printImageSummary(const ImageScan* scan, const char* sha256, const char* checkedAgainst) {
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
    std::printf(", start address 0x%08llX, sha256 %s",
                static_cast<unsigned long long>(scan->startAddress), sha256);
    // As the summary says it: the log shows which release checksum vouched for the file.
    if (checkedAgainst[0] != '\0') {
        std::printf(" (matches %s)", checkedAgainst);
    }
    std::printf("\n");
}

}  // namespace

int checkFirmwareFile(const char* path, FirmwareFileCheck* check) {
    *check = FirmwareFileCheck{};
    check->verdict = FILE_CHECK_REFUSED;
    std::printf("Accessing firmware file: %s...", path);
    const char* setting = nullptr;
    const int mode = imageCheckMode(&setting);
    if (mode == CHECK_UNKNOWN) {
        std::printf("[FAILED] %s is \"%s\"; it takes strict or warn\n", IMAGE_CHECK_VARIABLE,
                    setting);
        return check->verdict;
    }
    ImageScan scan{};
    ImageBytes image{};
    const int verdict = readAndScanImage(path, &scan, &image);
    std::snprintf(check->problem, sizeof check->problem, "%s", scan.problem);
    if (verdict == IMAGE_SCAN_PASSED || verdict == IMAGE_SCAN_REFUSED) {
        Sha256 hash{};
        sha256Start(&hash);
        sha256Add(&hash, image.bytes.data(), image.bytes.size());
        uint8_t digest[SHA256_DIGEST_BYTES];
        sha256Finish(&hash, digest);
        sha256Hex(digest, check->sha256);
        ReleaseChecksum release{};
        if (checkReleaseChecksum(path, check->sha256, &release) != RELEASE_CHECKSUM_PASSED) {
            std::printf("[FAILED] %s\n", release.problem);
            return check->verdict;
        }
        std::snprintf(check->checkedAgainst, sizeof check->checkedAgainst, "%s",
                      release.checkedAgainst);
    }
    switch (verdict) {
        case IMAGE_SCAN_PASSED:
            std::printf("[OK]\n");
            printImageSummary(&scan, check->sha256, check->checkedAgainst);
            check->image = std::move(image);
            check->verdict = FILE_CHECK_PASSED;
            return check->verdict;
        case IMAGE_SCAN_NOT_OPENED:
            std::printf("[FAILED] Could not open firmware file\n");
            std::fflush(stdout);
            std::fprintf(stderr, "dovelflash: %s: %s\n", path, std::strerror(scan.openError));
            return check->verdict;
        case IMAGE_SCAN_REFUSED:
            if (mode == CHECK_WARN) {
                std::printf("[WARNING] %s\n", scan.problem);
                check->image = std::move(image);
                check->verdict = FILE_CHECK_WARNED;
                return check->verdict;
            }
            break;
        default:  // no regular file, or too large to read: no setting lets it through
            break;
    }
    std::printf("[FAILED] %s\n", scan.problem);
    return check->verdict;
}
