#include "protocol/property.h"

#include "can/can_api.h"
#include "can/link.h"

namespace {

constexpr int LITTLE_ENDIAN_VALUE_OFFSET = 2;
constexpr uint32_t PACKED_SIGN_BIT = 1u << 21;
constexpr uint32_t PACKED_SIGN_EXTENSION = 0xFFC00000u;
constexpr uint8_t PACKED_HIGH_BITS_MASK = 0x3F;

int32_t decodeLittleEndian(const CanFrame* reply, int valueBytes) {
    uint32_t value = 0;
    for (int i = 0; i < valueBytes; ++i) {
        value |= static_cast<uint32_t>(reply->DATA[LITTLE_ENDIAN_VALUE_OFFSET + i]) << (8 * i);
    }
    if (valueBytes >= 1 && valueBytes <= 3 && (value & (1u << (8 * valueBytes - 1))) != 0) {
        value |= ~0u << (8 * valueBytes);
    }
    return static_cast<int32_t>(value);
}

int32_t decodePacked(const CanFrame* reply) {
    uint32_t value = (static_cast<uint32_t>(reply->DATA[0] & PACKED_HIGH_BITS_MASK) << 16) |
                     (static_cast<uint32_t>(reply->DATA[1]) << 8) | reply->DATA[2];
    if (value & PACKED_SIGN_BIT) {
        value |= PACKED_SIGN_EXTENSION;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

CanFrame makeGetRequest(int controllerId, int property) {
    CanFrame frame{};
    frame.ID = static_cast<uint32_t>(controllerId);
    frame.TYPE = FRAME_TYPE_STANDARD;
    frame.LEN = GET_REQUEST_LEN;
    frame.DATA[0] = static_cast<uint8_t>(property);
    return frame;
}

CanFrame makeSetRequest(int controllerId, int property, int32_t value) {
    CanFrame frame{};
    frame.ID = static_cast<uint32_t>(controllerId);
    frame.TYPE = FRAME_TYPE_STANDARD;
    frame.LEN = SET_REQUEST_LEN;
    frame.DATA[0] = static_cast<uint8_t>(PROPERTY_SET_FLAG | property);
    frame.DATA[1] = 0;
    frame.DATA[2] = static_cast<uint8_t>(value & 0xFF);
    frame.DATA[3] = static_cast<uint8_t>((value >> 8) & 0xFF);
    return frame;
}

// A LEN above what a frame holds comes only from a faulty adapter, and a
// little-endian value longer than four bytes has no meaning here: both fail rather
// than yield a value the controller may not have meant.
int decodeReply(const CanFrame* reply, int32_t* value) {
    if ((reply->DATA[0] & REPLY_VALID_FLAG) == 0 || reply->LEN > CAN_MAX_DATA) {
        return 1;
    }
    if ((reply->ID & PACKED_REPLY_ID_MASK) == PACKED_REPLY_ID_VALUE) {
        *value = decodePacked(reply);
        return 0;
    }
    const int valueBytes =
        reply->LEN < LITTLE_ENDIAN_VALUE_OFFSET ? 0 : reply->LEN - LITTLE_ENDIAN_VALUE_OFFSET;
    if (valueBytes > MAX_REPLY_VALUE_BYTES) {
        return 1;
    }
    *value = decodeLittleEndian(reply, valueBytes);
    return 0;
}

int getProperty(int controllerId, int property, int32_t* value) {
    discardQueuedFrames();
    const CanFrame request = makeGetRequest(controllerId, property);
    CAN_Write(&request);
    CanFrame reply{};
    // Another controller's frame is no answer to this one's request.
    if (awaitReply(&reply, controllerId) != REPLY_STANDARD) {
        return 1;
    }
    return decodeReply(&reply, value);
}

void setProperty(int controllerId, int property, int32_t value) {
    const CanFrame request = makeSetRequest(controllerId, property, value);
    CAN_Write(&request);
}
