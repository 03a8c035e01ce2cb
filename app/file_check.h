// The file check: the image is opened and scanned before any controller is touched.
#pragma once

#include "firmware/image_reader.h"
#include "firmware/image_scan.h"

// The operator's choice for an image the scan refuses: unset or "strict" stops the run,
// "warn" reports the problem and goes on.
constexpr const char* IMAGE_CHECK_VARIABLE = "DOVEL_IMAGE_CHECK";

constexpr int FILE_CHECK_PASSED = 0;  // "[OK]" and the "Image: " line
constexpr int FILE_CHECK_WARNED = 1;  // "[WARNING]" and the problem: the update goes on
constexpr int FILE_CHECK_REFUSED = 2;

// What the file check found, and the image it read for the downloads.
struct FirmwareFileCheck {
    int verdict;                       // FILE_CHECK_PASSED, _WARNED or _REFUSED
    char problem[IMAGE_PROBLEM_SIZE];  // what the scan refused, when WARNED or REFUSED
    ImageBytes image;                  // the bytes read, unless REFUSED
};

// Prints the file-check line for path and its verdict, and reads the image into
// check->image, the one read of the file that the downloads stream.
int checkFirmwareFile(const char* path, FirmwareFileCheck* check);
