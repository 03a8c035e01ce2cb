// The run's record on Windows: one WriteFile on a handle opened with FILE_APPEND_DATA
// alone, so that every write goes to the file's end as one piece.
#include <windows.h>

#include <cstdio>

#include "app/run_record.h"

int appendRecordBytes(const char* path, const char* bytes, size_t size, bool* mended) {
    *mended = false;
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return ERROR_BAD_FILE_TYPE;
    }
    // A record cut short gets its line end first, so that only that record is lost.
    LARGE_INTEGER end{};
    if (GetFileSizeEx(file, &end) && end.QuadPart > 0) {
        OVERLAPPED at{};
        const unsigned long long lastByte = static_cast<unsigned long long>(end.QuadPart) - 1;
        at.Offset = static_cast<DWORD>(lastByte);
        at.OffsetHigh = static_cast<DWORD>(lastByte >> 32);
        char last = '\n';
        DWORD read = 0;
        *mended = ReadFile(file, &last, 1, &read, &at) && read == 1 && last != '\n';
    }
    DWORD written = 0;
    int error = 0;
    if (*mended && (!WriteFile(file, "\n", 1, &written, nullptr) || written != 1)) {
        error = static_cast<int>(GetLastError());
    } else if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr)) {
        error = static_cast<int>(GetLastError());
    } else if (written != size) {
        error = ERROR_DISK_FULL;
    }
    CloseHandle(file);
    return error;
}

// The console's handler runs on a thread of its own; the record written at the run's end
// disarms the interrupted run's record first, so there is nothing to hold.
void holdInterruptions(bool) {}

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
