// Any byte stream from a terminal, fed as the key wait feeds it: byte by byte,
// deciding at each byte or when no more bytes come.
#include <cstddef>
#include <cstdint>

#include "app/console_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned char sequence[TERMINAL_SEQUENCE_MAX];
    size_t next = 0;
    while (next < size) {
        int count = 0;
        int key = TERMINAL_KEY_INCOMPLETE;
        while (key == TERMINAL_KEY_INCOMPLETE) {
            if (next == size) {
                key = decodeTerminalKey(sequence, count, false);
                break;
            }
            if (count == TERMINAL_SEQUENCE_MAX) {
                __builtin_trap();  // the decoder asked for more than a sequence may hold
            }
            sequence[count++] = data[next++];
            key = decodeTerminalKey(sequence, count, true);
        }
        if (key == TERMINAL_KEY_INCOMPLETE || key < -128 || key > 127) {
            __builtin_trap();
        }
    }
    return 0;
}
