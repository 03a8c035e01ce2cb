// The check of a firmware image before any controller is touched: the file is read as a
// download reads it, and the characters a controller would receive are checked, record
// by record, as Extended Tektronix Hex.
#pragma once

#include <cstdint>

#include "firmware/image_reader.h"

// No image is larger; a bigger file is refused before it is read.
constexpr int64_t IMAGE_MAX_BYTES = 16 * 1024 * 1024;
// A record line sends every character after its '%' only up to this many; a longer line
// is split by the reader and the first character of the piece after the split is lost.
constexpr int IMAGE_MAX_RECORD_CHARS = IMAGE_LINE_READ_COUNT - 2;
constexpr int IMAGE_PROBLEM_SIZE = 256;
// The highest byte address a controller has: a data byte above it is refused.
constexpr uint64_t IMAGE_HIGHEST_ADDRESS = 0xFFFFFFFFu;

// The verdict of readAndScanImage.
constexpr int IMAGE_SCAN_PASSED = 0;
constexpr int IMAGE_SCAN_REFUSED = 1;     // the problem says why, and where
constexpr int IMAGE_SCAN_NOT_OPENED = 2;  // openError says why
// A FIFO, a device or a socket: never read, and no download could read it either.
constexpr int IMAGE_SCAN_NOT_A_FILE = 3;
// Larger than IMAGE_MAX_BYTES: not read into memory, whatever the operator allows.
constexpr int IMAGE_SCAN_TOO_LARGE = 4;

// The "Image:" line names this many of an image's address ranges; more are counted.
constexpr int IMAGE_LISTED_RANGES = 4;

// A run of data bytes with no gap, first and last address included.
struct ImageAddressRange {
    uint64_t first;
    uint64_t last;
};

struct ImageScan {
    int line;                          // where the problem is, as an editor counts; 0 for the file
    char problem[IMAGE_PROBLEM_SIZE];  // "line 17: checksum is 0x3A, ..." or "the file holds no
                                       // record"
    int openError;
    int64_t fileBytes;  // of the file that was read
    int dataRecords;
    int symbolRecords;
    int64_t dataBytes;
    uint64_t lowestAddress;  // of the data bytes, when there are any
    uint64_t highestAddress;
    uint64_t startAddress;  // from the termination record
    // The runs of bytes the data records fill, records that follow each other merged: a
    // second range is initialised data at its run address, or a gap, which the desk
    // should see.
    int addressRanges;
    ImageAddressRange listedRanges[IMAGE_LISTED_RANGES];  // the lowest of them
};

// Reads the image at path into *image, once, and checks those bytes. The bytes are kept
// whatever the verdict, unless the file could not be read or is too large (then empty).
int readAndScanImage(const char* path, ImageScan* scan, ImageBytes* image);

// The same check over a reader that is already open, for any text stream.
int scanImageText(ImageReader* reader, ImageScan* scan);
