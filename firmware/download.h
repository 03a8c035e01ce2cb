// Streaming a firmware image into one controller, one character per frame.
#pragma once

#include <cstdint>

#include "firmware/image_reader.h"

// The start request: a set of VERS with this value.
constexpr int32_t DOWNLOAD_START_VALUE = 0xAA;
constexpr int CHARACTER_FRAME_LEN = 1;
constexpr int LINE_PAUSE_MS = 1;
// A controller erases its flash between the start request and its first reply, which
// can take seconds on real hardware: that one reply has this bound, every later one
// the link's REPLY_TIMEOUT_MS.
constexpr int DOWNLOAD_FIRST_REPLY_TIMEOUT_MS = 30000;

// How far one download got, for the update's summary.
struct DownloadReport {
    bool started;          // the start request was sent
    int percent;           // the last percentage shown
    bool linkDown;         // the stream ended because the CAN link is gone or down
    long long characters;  // character frames sent
    int64_t durationUs;    // from the start request to the last character or the failure
};

// 0 when the whole image was streamed; 1 when it could not be opened (nothing sent),
// the controller stopped replying or the link went down (the stream was abandoned).
int downloadFirmware(int controllerId, const char* path);

// downloadFirmware of the image the file check read: the bytes in memory are streamed,
// so the controller receives exactly what was checked. Tells how far it got.
int downloadImage(int controllerId, const ImageBytes* image, DownloadReport* report);

// downloadImage of a controller that has been sent its start request and charactersSent
// characters already, and whose reply to the last of them (its ready reply when none) has
// been taken: no start request, the next character goes out at once, and the stream goes
// on as downloadImage's, paced by any received frame. report->percent counts the whole
// image.
int resumeImage(int controllerId, const ImageBytes* image, int charactersSent,
                DownloadReport* report);

// Lines of the image as a download reads them.
int countImageBytesLines(const ImageBytes* image);

// Percentage shown for a line of the image, kept within 0 to 100 also when the file
// changed between the counting pass and the streaming pass.
int downloadPercent(int lineNumber, int lineTotal);
