// Key input on Windows: keyboard events of the console, or the bytes of a pipe or
// file when standard input is not a console. Also raises the system timer's
// resolution for the run, so that the utility's 1 ms sleeps cost about 1 ms.
#include <windows.h>
// After windows.h, which it needs.
#include <timeapi.h>

#include <cstdio>
#include <cstdlib>

#include "app/console.h"
#include "app/console_keys.h"
#include "app/run_record.h"

namespace {

constexpr UINT TIMER_RESOLUTION_MS = 1;

void restoreTimerResolution() { timeEndPeriod(TIMER_RESOLUTION_MS); }

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    // Fails for pipes, files and the null device alike; GetFileType would call the
    // null device a character device.
    return GetConsoleMode(handle, &mode) != 0;
}

ConsoleKeyRecord toKeyRecord(const INPUT_RECORD& record) {
    ConsoleKeyRecord key{};
    key.isKeyEvent = record.EventType == KEY_EVENT;
    if (key.isKeyEvent) {
        key.keyDown = record.Event.KeyEvent.bKeyDown != 0;
        key.character = record.Event.KeyEvent.uChar.AsciiChar;
        key.controlKeyState = record.Event.KeyEvent.dwControlKeyState;
    }
    return key;
}

// The next non-NUL byte of a pipe or file, or KEY_END_OF_INPUT at its end or when a
// read fails (a failed read would fail again, so it ends the input too).
char waitScriptedKey(HANDLE input) {
    for (;;) {
        unsigned char byte = 0;
        DWORD count = 0;
        if (!ReadFile(input, &byte, 1, &count, nullptr) || count == 0) {
            return KEY_END_OF_INPUT;
        }
        if (byte != 0) {
            return static_cast<char>(byte);
        }
    }
}

char waitConsoleKey(HANDLE input) {
    for (;;) {
        INPUT_RECORD record{};
        DWORD count = 0;
        // A console read that fails once (the console went away) would fail for
        // ever; it ends the input rather than spinning.
        if (!ReadConsoleInputA(input, &record, 1, &count) || count == 0) {
            return KEY_END_OF_INPUT;
        }
        const char key = keyFromConsoleRecord(toKeyRecord(record));
        if (key != 0) {
            return key;
        }
    }
}

bool endsRun(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT;
}

// Whatever ends the run from the console leaves the interrupted run's record (none once
// the run's own is written), then the default handling.
BOOL WINAPI recordInterruption(DWORD event) {
    if (endsRun(event)) {
        recordInterrupted(event == CTRL_C_EVENT       ? "CTRL_C_EVENT"
                          : event == CTRL_BREAK_EVENT ? "CTRL_BREAK_EVENT"
                                                      : "CTRL_CLOSE_EVENT");
    }
    return FALSE;
}

// Ctrl-C or Ctrl-Break during the walks: the line first.
BOOL WINAPI reportInterrupt(DWORD event) {
    if (endsRun(event)) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), UPDATE_INTERRUPTED_LINE,
                  sizeof UPDATE_INTERRUPTED_LINE - 1, &written, nullptr);
    }
    return recordInterruption(event);
}

}  // namespace

void consoleSetUp() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    SetConsoleCtrlHandler(recordInterruption, TRUE);
    if (timeBeginPeriod(TIMER_RESOLUTION_MS) == TIMERR_NOERROR) {
        std::atexit(restoreTimerResolution);
    }
}

// Windows has no broken-pipe signal: a failed write is dropped by the C library.
void guardUpdateWalks() { SetConsoleCtrlHandler(reportInterrupt, TRUE); }

void endUpdateGuard() { SetConsoleCtrlHandler(reportInterrupt, FALSE); }

char waitKey() {
    std::fflush(stdout);
    // Fetched anew on every call: nothing of the console is carried between waits.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return KEY_END_OF_INPUT;
    }
    if (!isConsole(input)) {
        return waitScriptedKey(input);
    }
    // Keys pressed while the update ran are not answers to this prompt.
    FlushConsoleInputBuffer(input);
    return waitConsoleKey(input);
}

// A Windows console has no stop and continue: the prompt stays where it was printed.
char promptKey(const char* prompt) {
    std::printf("%s", prompt);
    return waitKey();
}
