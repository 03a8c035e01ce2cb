// Any 16 bytes taken as a received frame: the reply decoding must stay within the
// record whatever LEN and TYPE say.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "can/can_frame.h"
#include "protocol/property.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CanFrame frame{};
    std::memcpy(&frame, data, size < sizeof frame ? size : sizeof frame);
    int32_t value = 0;
    if (decodeReply(&frame, &value) == 0 && frame.LEN > CAN_MAX_DATA) {
        __builtin_trap();  // a length no frame can have was trusted
    }
    return 0;
}
