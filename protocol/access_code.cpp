#include "protocol/access_code.h"

#include "dovel_access_code.h"

static_assert(sizeof DOVEL_ACCESS_CODE_BYTES == 2 * ACCESS_CODE_WORDS,
              "the access code is five words of two bytes");

uint16_t accessCodeWord(int index) {
    return static_cast<uint16_t>(DOVEL_ACCESS_CODE_BYTES[2 * index] |
                                 (DOVEL_ACCESS_CODE_BYTES[2 * index + 1] << 8));
}
