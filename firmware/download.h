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
    bool started;  // the start request was sent
    int percent;   // the last percentage shown
};

// 0 when the whole image was streamed; 1 when it could not be opened (nothing sent)
// or the controller stopped replying (the stream was abandoned).
int downloadFirmware(int controllerId, const char* path);

// Returned, and "Download FAILED: the image changed after it was checked" printed, when
// the file is no longer the one that was checked; nothing has been sent then.
constexpr int DOWNLOAD_IMAGE_CHANGED = 2;

// downloadFirmware of the image the file check read, telling how far it got: the file
// opened for streaming must still have the checked size and modification time, or
// DOWNLOAD_IMAGE_CHANGED is returned before the start request. With checked nullptr the
// file is streamed unchecked.
int downloadCheckedFirmware(int controllerId, const char* path, const ImageStamp* checked,
                            DownloadReport* report);

// Percentage shown for a line of the image, kept within 0 to 100 also when the file
// changed between the counting pass and the streaming pass.
int downloadPercent(int lineNumber, int lineTotal);
