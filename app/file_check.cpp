#include "app/file_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

const char* plural(long long count) { return count == 1 ? "" : "s"; }

// One range reads "from 0x... to 0x..."; several are listed, so that data at an address
// far from the rest (a run address in RAM, say), or a gap, shows on the line.
void printAddressRanges(const ImageScan* scan) {
    if (scan->addressRanges <= 1) {
        std::printf(" from 0x%08llX to 0x%08llX",
                    static_cast<unsigned long long>(scan->lowestAddress),
                    static_cast<unsigned long long>(scan->highestAddress));
        return;
    }
    const int listed =
        scan->addressRanges < IMAGE_LISTED_RANGES ? scan->addressRanges : IMAGE_LISTED_RANGES;
    std::printf(" in");
    for (int i = 0; i < listed; ++i) {
        std::printf("%s 0x%08llX-0x%08llX", i == 0 ? "" : ",",
                    static_cast<unsigned long long>(scan->listedRanges[i].first),
                    static_cast<unsigned long long>(scan->listedRanges[i].last));
    }
    const int more = scan->addressRanges - listed;
    if (more > 0) {
        std::printf(" and %d more range%s up to 0x%08llX", more, plural(more),
                    static_cast<unsigned long long>(scan->highestAddress));
    }
}

void printImageSummary(const ImageScan* scan, const char* sha256, const char* checkedAgainst) {
    std::printf("Image: %d data record%s", scan->dataRecords, plural(scan->dataRecords));
    if (scan->symbolRecords > 0) {
        std::printf(", %d symbol record%s", scan->symbolRecords, plural(scan->symbolRecords));
    }
    if (scan->dataBytes > 0) {
        std::printf(", %lld byte%s", static_cast<long long>(scan->dataBytes),
                    plural(scan->dataBytes));
        printAddressRanges(scan);
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

int checkFirmwareFile(const char* path, ImageCheckMode mode, const char* givenSha256,
                      FirmwareFileCheck* check) {
    *check = FirmwareFileCheck{};
    check->verdict = FILE_CHECK_REFUSED;
    std::printf("Accessing firmware file: %s...", path);
    ImageScan scan{};
    ImageBytes image{};
    const int verdict = readAndScanImage(path, &scan, &image);
    check->scan = scan;
    std::snprintf(check->problem, sizeof check->problem, "%s", scan.problem);
    if (verdict == IMAGE_SCAN_PASSED || verdict == IMAGE_SCAN_REFUSED) {
        Sha256 hash{};
        sha256Start(&hash);
        sha256Add(&hash, image.bytes.data(), image.bytes.size());
        uint8_t digest[SHA256_DIGEST_BYTES];
        sha256Finish(&hash, digest);
        sha256Hex(digest, check->sha256);
        ReleaseChecksum release{};
        if (checkReleaseChecksum(path, check->sha256, givenSha256, &release) !=
            RELEASE_CHECKSUM_PASSED) {
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
            if (mode == IMAGE_CHECK_WARN) {
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
