// The run's record on Windows: one WriteFile on a handle opened with FILE_APPEND_DATA
// alone, so that every write goes to the file's end as one piece.
#include <windows.h>

#include <cstdio>

#include "app/run_record.h"

int appendRecordBytes(const char* path, const char* bytes, size_t size) {
    const HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    DWORD written = 0;
    int error = 0;
    if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr)) {
        error = static_cast<int>(GetLastError());
    } else if (written != size) {
        error = ERROR_DISK_FULL;
    }
    CloseHandle(file);
    return error;
}

const char* recordErrorText(int error) {
    static char text[256];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    if (length == 0) {
        std::snprintf(text, sizeof text, "error %d", error);
        return text;
    }
    // The system's text ends in CR LF.
    for (DWORD i = length; i > 0 && (text[i - 1] == '\r' || text[i - 1] == '\n'); --i) {
        text[i - 1] = '\0';
    }
    return text;
}

void writeStandardError(const char* bytes, size_t size) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), bytes, static_cast<DWORD>(size), &written, nullptr);
}

int64_t wallClockNowMs() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks{};
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    // 100 ns ticks since 1601-01-01.
    constexpr int64_t TICKS_TO_1970 = 116444736000000000LL;
    return (static_cast<int64_t>(ticks.QuadPart) - TICKS_TO_1970) / 10000;
}
