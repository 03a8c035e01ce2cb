#include "can/slcan_protocol.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t MAX_BAUD = 4000000;
constexpr uint32_t STANDARD_ID_LIMIT = 0x800;
constexpr size_t STANDARD_ID_DIGITS = 3;
constexpr size_t EXTENDED_ID_DIGITS = 8;
constexpr size_t STATUS_DIGITS = 2;
constexpr int HEX_BASE = 16;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char LAST_PRINTABLE = 0x7e;
constexpr const char HEX_DIGITS[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The number written in count hex digits at text, or -1 when one is no hex digit.
long hexNumber(const char* text, size_t count) {
    long value = 0;
    for (size_t i = 0; i < count; ++i) {
        const int digit = hexValue(text[i]);
        if (digit < 0) {
            return -1;
        }
        value = value * HEX_BASE + digit;
    }
    return value;
}

SlcanAnswer unknownLine(const char* line, size_t length) {
    SlcanAnswer answer{};
    answer.kind = SLCAN_UNKNOWN;
    answer.text.assign(line, length);
    return answer;
}

// "tIIILDD..": exactly the digits its length calls for; an adapter's time stamp
// (four more digits) may follow.
SlcanAnswer decodeStandardFrame(const char* line, size_t length) {
    const size_t lengthAt = 1 + STANDARD_ID_DIGITS;
    if (length < lengthAt + 1) {
        return unknownLine(line, length);
    }
    const long id = hexNumber(line + 1, STANDARD_ID_DIGITS);
    const int dataLength = hexValue(line[lengthAt]);
    if (id < 0 || static_cast<unsigned long>(id) >= STANDARD_ID_LIMIT || dataLength < 0 ||
        dataLength > CAN_MAX_DATA) {
        return unknownLine(line, length);
    }
    const size_t dataEnd = lengthAt + 1 + 2 * static_cast<size_t>(dataLength);
    constexpr size_t TIME_STAMP_DIGITS = 4;
    if (length != dataEnd && length != dataEnd + TIME_STAMP_DIGITS) {
        return unknownLine(line, length);
    }
    SlcanAnswer answer{};
    answer.kind = SLCAN_STANDARD_FRAME;
    answer.frame.ID = static_cast<uint32_t>(id);
    answer.frame.TYPE = FRAME_TYPE_STANDARD;
    answer.frame.LEN = static_cast<uint8_t>(dataLength);
    for (int i = 0; i < dataLength; ++i) {
        const long byte = hexNumber(line + lengthAt + 1 + 2 * i, 2);
        if (byte < 0) {
            return unknownLine(line, length);
        }
        answer.frame.DATA[i] = static_cast<uint8_t>(byte);
    }
    if (length > dataEnd && hexNumber(line + dataEnd, TIME_STAMP_DIGITS) < 0) {
        return unknownLine(line, length);
    }
    return answer;
}

// "T", "r" and "R" lines: only their identifier and length are read, so that a line
// of another protocol is not taken for a frame.
SlcanAnswer decodeOtherFrame(const char* line, size_t length) {
    const size_t idDigits = line[0] == 'r' ? STANDARD_ID_DIGITS : EXTENDED_ID_DIGITS;
    const long id = length < 1 + idDigits + 1 ? -1 : hexNumber(line + 1, idDigits);
    const int dataLength = id < 0 ? -1 : hexValue(line[1 + idDigits]);
    if (dataLength < 0 || dataLength > CAN_MAX_DATA) {
        return unknownLine(line, length);
    }
    SlcanAnswer answer{};
    answer.kind = SLCAN_OTHER_FRAME;
    answer.frame.ID = static_cast<uint32_t>(id);
    answer.frame.LEN = static_cast<uint8_t>(dataLength);
    answer.frame.TYPE = line[0] == 'T'   ? SLCAN_TYPE_EXTENDED
                        : line[0] == 'r' ? SLCAN_TYPE_REMOTE
                                         : SLCAN_TYPE_EXTENDED_REMOTE;
    return answer;
}

}  // namespace

int slcanParseOptions(const char* options, SlcanOptions* out, std::string* problem) {
    const std::string text = options != nullptr ? options : "";
    const size_t at = text.rfind('@');
    out->port = text.substr(0, at);
    out->baud = SLCAN_DEFAULT_BAUD;
    const char* const takes =
        "slcan takes a serial port and an optional baud rate (slcan:/dev/ttyACM0, "
        "slcan:COM5@115200)";
    if (out->port.empty() || out->port.size() > SLCAN_MAX_PORT_LENGTH) {
        *problem = takes;
        return 1;
    }
    if (at == std::string::npos) {
        return 0;
    }
    const std::string baud = text.substr(at + 1);
    unsigned long value = 0;
    bool digits = !baud.empty() && baud.size() <= 7;
    for (char c : baud) {
        digits = digits && c >= '0' && c <= '9';
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!digits || value == 0 || value > MAX_BAUD) {
        *problem = std::string(takes) + "; the baud rate is a number from 1 to " +
                   std::to_string(MAX_BAUD);
        return 1;
    }
    out->baud = static_cast<uint32_t>(value);
    return 0;
}

size_t slcanFrameCommand(const CanFrame& frame, char (&out)[SLCAN_MAX_FRAME_COMMAND + 1]) {
    if (frame.TYPE != FRAME_TYPE_STANDARD || frame.ID >= STANDARD_ID_LIMIT ||
        frame.LEN > CAN_MAX_DATA) {
        return 0;
    }
    size_t at = 0;
    out[at++] = 't';
    out[at++] = HEX_DIGITS[(frame.ID >> 8) & 0xF];
    out[at++] = HEX_DIGITS[(frame.ID >> 4) & 0xF];
    out[at++] = HEX_DIGITS[frame.ID & 0xF];
    out[at++] = HEX_DIGITS[frame.LEN];
    for (int i = 0; i < frame.LEN; ++i) {
        out[at++] = HEX_DIGITS[frame.DATA[i] >> 4];
        out[at++] = HEX_DIGITS[frame.DATA[i] & 0xF];
    }
    out[at++] = SLCAN_CR;
    out[at] = '\0';
    return at;
}

void slcanReaderReset(SlcanReader* reader) {
    reader->length = 0;
    reader->overlong = false;
    reader->pending.clear();
}

void slcanReaderFeed(SlcanReader* reader, const char* bytes, size_t count) {
    reader->pending.append(bytes, count);
}

SlcanAnswer slcanNextAnswer(SlcanReader* reader) {
    size_t used = 0;
    SlcanAnswer answer{};
    answer.kind = SLCAN_NOTHING;
    while (used < reader->pending.size() && answer.kind == SLCAN_NOTHING) {
        const char c = reader->pending[used++];
        if (c == SLCAN_BEL) {
            // A refusal stands alone; a line begun before it is cut off by it.
            answer.kind = SLCAN_REFUSED;
            reader->length = 0;
            reader->overlong = false;
        } else if (c == SLCAN_CR) {
            answer = reader->overlong ? SlcanAnswer{SLCAN_TOO_LONG, {}, 0, {}}
                                      : slcanDecodeLine(reader->line, reader->length);
            reader->length = 0;
            reader->overlong = false;
        } else if (c == '\n' && reader->length == 0) {
            // Some adapters end their lines with CR LF.
        } else if (reader->length < SLCAN_MAX_LINE) {
            reader->line[reader->length++] = c;
        } else {
            reader->overlong = true;
        }
    }
    reader->pending.erase(0, used);
    return answer;
}

SlcanAnswer slcanDecodeLine(const char* line, size_t length) {
    SlcanAnswer answer{};
    if (length == 0) {
        answer.kind = SLCAN_OK;
        return answer;
    }
    switch (line[0]) {
        case 'z':
        case 'Z':
            if (length == 1) {
                answer.kind = SLCAN_SENT;
                return answer;
            }
            break;
        case 't':
            return decodeStandardFrame(line, length);
        case 'T':
        case 'r':
        case 'R':
            return decodeOtherFrame(line, length);
        case 'F':
            if (length == 1 + STATUS_DIGITS) {
                const long flags = hexNumber(line + 1, STATUS_DIGITS);
                if (flags >= 0) {
                    answer.kind = SLCAN_STATUS;
                    answer.flags = static_cast<uint8_t>(flags);
                    return answer;
                }
            }
            break;
        default:
            break;
    }
    return unknownLine(line, length);
}

CanFrame slcanStatusFrame(uint8_t flags) {
    CanFrame frame{};
    frame.TYPE = FRAME_TYPE_STATUS;
    frame.LEN = SLCAN_STATUS_LEN;
    uint8_t bits = 0;
    if (flags & SLCAN_FLAG_ERROR_PASSIVE) {
        bits |= SLCAN_STATUS_ERROR_PASSIVE;
    }
    if (flags & SLCAN_FLAG_ERROR_WARNING) {
        bits |= SLCAN_STATUS_ERROR_WARNING;
    }
    if (flags & (SLCAN_FLAG_RX_FULL | SLCAN_FLAG_DATA_OVERRUN)) {
        bits |= SLCAN_STATUS_RX_OVERFLOW;
    }
    if (flags & SLCAN_FLAG_TX_FULL) {
        bits |= SLCAN_STATUS_TX_OVERFLOW;
    }
    if (flags & SLCAN_FLAG_ARBITRATION_LOST) {
        bits |= SLCAN_STATUS_LOST_ARBITRATION;
    }
    if (flags & SLCAN_FLAG_BUS_ERROR) {
        bits |= SLCAN_STATUS_BUS_ERROR;
    }
    frame.DATA[SLCAN_STATUS_BYTE] = bits;
    return frame;
}

std::string slcanShowText(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c == static_cast<unsigned char>(SLCAN_CR)) {
            shown += "\\r";
        } else if (c >= FIRST_PRINTABLE && c <= LAST_PRINTABLE && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            shown += hex;
        }
    }
    return shown;
}
