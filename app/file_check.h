// The file check: the image is opened and scanned before any controller is touched.
#pragma once

#include "firmware/image_reader.h"

// The operator's choice for an image the scan refuses: unset or "strict" stops the run,
// "warn" reports the problem and goes on.
constexpr const char* IMAGE_CHECK_VARIABLE = "DOVEL_IMAGE_CHECK";

constexpr int FILE_CHECK_PASSED = 0;  // "[OK]" and the "Image: " line
constexpr int FILE_CHECK_WARNED = 1;  // "[WARNING]" and the problem: the update goes on
constexpr int FILE_CHECK_REFUSED = 2;

// Prints the file-check line for path and its verdict, and fills *checked with the stamp
// of the file that was read, for the downloads to compare.
int checkFirmwareFile(const char* path, ImageStamp* checked);
