// The three walks over the hand's controllers: prepare, download, restore.
#pragma once

#include "firmware/image_reader.h"

constexpr int FIRST_DOVEL_ID = 11;
constexpr int LAST_DOVEL_ID = 14;
constexpr int RESET_WAIT_MS = 3000;
constexpr int AFTER_DOWNLOAD_WAIT_MS = 1000;

// checkedImage is the stamp of the image the file check read; a download whose file no
// longer has it stops before it sends anything. nullptr: the file is streamed unchecked.
void runUpdateWalks(const char* firmwarePath, const ImageStamp* checkedImage);
