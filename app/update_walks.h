// The three walks over the hand's controllers: prepare, download, restore.
#pragma once

constexpr int FIRST_DOVEL_ID = 11;
constexpr int LAST_DOVEL_ID = 14;
constexpr int RESET_WAIT_MS = 3000;
constexpr int AFTER_DOWNLOAD_WAIT_MS = 1000;

void runUpdateWalks(const char* firmwarePath);
