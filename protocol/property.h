// Property get and set requests, and the decoding of the reply to a get.
#pragma once

#include <cstdint>

#include "can/can_frame.h"

// Property numbers.
constexpr int VERS = 0;
constexpr int ROLE = 1;
constexpr int ID = 3;
constexpr int STATUS = 5;
constexpr int UNLOCK_MONITOR = 8;
constexpr int STORE = 9;
constexpr int UNLOCK_MAIN = 13;

// DATA[0] bit 7: clear in a get request, set in a set request and in a valid reply.
constexpr uint8_t PROPERTY_SET_FLAG = 0x80;
constexpr uint8_t REPLY_VALID_FLAG = 0x80;
// A reply whose identifier, masked, has this value carries its value packed.
constexpr uint32_t PACKED_REPLY_ID_MASK = 0x41F;
constexpr uint32_t PACKED_REPLY_ID_VALUE = 0x403;
constexpr int GET_REQUEST_LEN = 1;
constexpr int SET_REQUEST_LEN = 4;
// Value bytes a little-endian reply may carry.
constexpr int MAX_REPLY_VALUE_BYTES = 4;

CanFrame makeGetRequest(int controllerId, int property);
CanFrame makeSetRequest(int controllerId, int property, int32_t value);

// Decodes a reply to a get request: 0 with the value, 1 when it carries none (value
// untouched).
int decodeReply(const CanFrame* reply, int32_t* value);

// Reads one property: 0 with the value, 1 on failure with *value untouched. Frames
// already queued are dropped first, so a late frame is not taken for the reply, and a
// frame of an identifier proven another controller's is passed over.
int getProperty(int controllerId, int property, int32_t* value);

// Sends one set request with the low 16 bits of value; nothing is awaited.
void setProperty(int controllerId, int property, int32_t value);
