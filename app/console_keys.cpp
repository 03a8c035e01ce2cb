#include "app/console_keys.h"

namespace {

constexpr unsigned char ESC = 0x1B;
constexpr unsigned char CSI_INTRODUCER = '[';
constexpr unsigned char SS3_INTRODUCER = 'O';
constexpr unsigned char CSI_SHIFT_TAB_FINAL = 'Z';

bool isCsiFinal(unsigned char b) { return b >= 0x40 && b <= 0x7E; }
bool isCsiBody(unsigned char b) { return b >= 0x20 && b <= 0x3F; }

int incompleteOr(bool moreMayFollow, int count, int otherwise) {
    return (moreMayFollow && count < TERMINAL_SEQUENCE_MAX) ? TERMINAL_KEY_INCOMPLETE : otherwise;
}

// ESC [ params final: only ESC [ Z (back-tab, Shift+Tab) stands for a character.
int decodeCsi(const unsigned char* bytes, int count, bool moreMayFollow) {
    for (int i = 2; i < count; ++i) {
        if (isCsiFinal(bytes[i])) {
            return (i == 2 && bytes[i] == CSI_SHIFT_TAB_FINAL) ? KEY_SHIFT_TAB : 0;
        }
        if (!isCsiBody(bytes[i])) {
            return 0;  // broken sequence: swallowed as a key without a character
        }
    }
    return incompleteOr(moreMayFollow, count, 0);
}

// Bytes a UTF-8 character takes, from its first byte; 1 for anything else.
int utf8Length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 1;
}

}  // namespace

char keyFromConsoleRecord(const ConsoleKeyRecord& record) {
    if (!record.isKeyEvent || !record.keyDown) {
        return 0;
    }
    char key = record.character;
    const bool shift = (record.controlKeyState & CONSOLE_SHIFT_PRESSED) != 0;
    if (key == KEY_TAB && shift) {
        key = KEY_SHIFT_TAB;
    }
    if (key == KEY_ENTER && shift) {
        key = KEY_SHIFT_ENTER;
    }
    return key;
}

int decodeTerminalKey(const unsigned char* bytes, int count, bool moreMayFollow) {
    if (count <= 0) {
        return TERMINAL_KEY_INCOMPLETE;
    }
    if (bytes[0] != ESC) {
        // A key that the terminal sends as one UTF-8 character is one key press: its
        // first byte stands for it, the rest belongs to it.
        if (count < utf8Length(bytes[0])) {
            return incompleteOr(moreMayFollow, count, static_cast<char>(bytes[0]));
        }
        return static_cast<char>(bytes[0]);
    }
    if (count == 1) {
        return incompleteOr(moreMayFollow, count, KEY_ESCAPE);
    }
    if (bytes[1] == CSI_INTRODUCER) {
        return decodeCsi(bytes, count, moreMayFollow);
    }
    if (bytes[1] == SS3_INTRODUCER) {
        // ESC O x: F1 to F4 and the keypad in application mode; no character.
        return count >= 3 ? 0 : incompleteOr(moreMayFollow, count, 0);
    }
    // ESC and another key: that key pressed with Alt, reported as its character.
    return static_cast<char>(bytes[1]);
}
