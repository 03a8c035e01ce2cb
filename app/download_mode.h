// How the download walk runs: each controller's download in turn, or all four at once.
#pragma once

constexpr const char* DOWNLOAD_MODE_VARIABLE = "DOVEL_DOWNLOAD";

enum DownloadMode {
    DOWNLOAD_ONE_BY_ONE,  // each download in turn, any received frame pacing it
    DOWNLOAD_TOGETHER,    // all at once, each paced by its own controller's replies
};

// Unset (nullptr), empty or "one-by-one": one by one; "together": together. Any other
// text is false with *mode left as it was.
bool parseDownloadMode(const char* text, DownloadMode* mode);
