// Turning what a console reports into the key codes waitKey returns. Kept apart from
// the platform reads so that both decodings can be tested on any platform.
#pragma once

#include <cstdint>

constexpr char KEY_TAB = 9;
constexpr char KEY_SHIFT_TAB = 10;
constexpr char KEY_ENTER = 13;
constexpr char KEY_SHIFT_ENTER = 14;
constexpr char KEY_ESCAPE = 27;
constexpr uint32_t CONSOLE_SHIFT_PRESSED = 0x0010;

// One console input record as the Windows console gives it, reduced to what the key
// wait looks at.
struct ConsoleKeyRecord {
    bool isKeyEvent;
    bool keyDown;
    char character;
    uint32_t controlKeyState;
};

// The key a console record stands for, or 0 when it is no key press that produces a
// character (a release, a mouse or window event, Shift or an arrow key alone).
char keyFromConsoleRecord(const ConsoleKeyRecord& record);

// Result of decodeTerminalKey while the bytes so far start an escape sequence that
// is not complete yet.
constexpr int TERMINAL_KEY_INCOMPLETE = 256;
// Longest escape sequence kept; anything longer is taken as a key without a character.
constexpr int TERMINAL_SEQUENCE_MAX = 16;

// Decodes the bytes a terminal in raw mode sent for one key press. All count bytes
// belong to the press. Returns the key (0 when it produces no character, as for the
// escape sequences of arrows and function keys), or TERMINAL_KEY_INCOMPLETE when an
// escape sequence has begun and moreMayFollow says further bytes are on their way.
int decodeTerminalKey(const unsigned char* bytes, int count, bool moreMayFollow);
