// The file check: the image is opened and scanned before any controller is touched.
#pragma once

#include "app/run_settings.h"
#include "firmware/image_reader.h"
#include "firmware/image_scan.h"
#include "firmware/release_checksum.h"
#include "firmware/sha256.h"

constexpr int FILE_CHECK_PASSED = 0;  // "[OK]" and the "Image: " line
constexpr int FILE_CHECK_WARNED = 1;  // "[WARNING]" and the problem: the update goes on
constexpr int FILE_CHECK_REFUSED = 2;

// What the file check found, and the image it read for the downloads.
struct FirmwareFileCheck {
    int verdict;                       // FILE_CHECK_PASSED, _WARNED or _REFUSED
    char problem[IMAGE_PROBLEM_SIZE];  // what the scan refused, when WARNED or REFUSED
    ImageBytes image;                  // the bytes read, unless REFUSED
    char sha256[SHA256_HEX_SIZE];      // of those bytes, as sha256sum prints it
    // What the hash matched ("dovel2.tek.sha256", "DOVEL_IMAGE_SHA256"), empty when the
    // release gave none.
    char checkedAgainst[RELEASE_CHECKSUM_SOURCE_SIZE];
    ImageScan scan;  // what the scan counted, when the file was read (sha256 not empty)
};

// Prints the file-check line for path and its verdict, and reads the image into
// check->image, the one read of the file that the downloads stream. mode says what
// becomes of an image the scan refuses. A hash the release gives for it (IMAGE.sha256,
// givenSha256 from DOVEL_IMAGE_SHA256) must match, whatever the mode says: a wrong file
// is no controller's quirk.
int checkFirmwareFile(const char* path, ImageCheckMode mode, const char* givenSha256,
                      FirmwareFileCheck* check);
