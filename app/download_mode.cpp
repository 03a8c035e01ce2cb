#include "app/download_mode.h"

#include <cstring>

bool parseDownloadMode(const char* text, DownloadMode* mode) {
    // An empty value counts as unset, as Windows has no other way to clear one.
    if (text == nullptr || text[0] == '\0' || std::strcmp(text, "one-by-one") == 0) {
        *mode = DOWNLOAD_ONE_BY_ONE;
        return true;
    }
    if (std::strcmp(text, "together") == 0) {
        *mode = DOWNLOAD_TOGETHER;
        return true;
    }
    return false;
}
