// Streaming a firmware image into one controller, one character per frame.
#pragma once

#include <cstdint>

// The start request: a set of VERS with this value.
constexpr int32_t DOWNLOAD_START_VALUE = 0xAA;
constexpr int CHARACTER_FRAME_LEN = 1;
constexpr int LINE_PAUSE_MS = 1;

// 0 when the whole image was streamed; 1 when it could not be opened (nothing sent)
// or the controller stopped replying (the stream was abandoned).
int downloadFirmware(int controllerId, const char* path);

// Percentage shown for a line of the image, kept within 0 to 100 also when the file
// changed between the counting pass and the streaming pass.
int downloadPercent(int lineNumber, int lineTotal);
