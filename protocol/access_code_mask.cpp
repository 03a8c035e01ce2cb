#include "protocol/access_code_mask.h"

CanFrame accessCodeMasked(const CanFrame& frame) {
    CanFrame shown = frame;
    if (frame.LEN > ACCESS_CODE_FIRST_VALUE_BYTE &&
        (frame.DATA[0] == UNLOCK_MONITOR_SET || frame.DATA[0] == UNLOCK_MAIN_SET)) {
        // All the bytes a trace writes, not only the two a word fills: a frame with a
        // longer LEN than a set request has must not show the code either.
        for (int i = ACCESS_CODE_FIRST_VALUE_BYTE; i < CAN_MAX_DATA; ++i) {
            shown.DATA[i] = ACCESS_CODE_MASK_BYTE;
        }
    }
    return shown;
}
