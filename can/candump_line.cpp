#include "can/candump_line.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr int64_t US_PER_SECOND = 1000000;
constexpr uint32_t STANDARD_ID_MASK = 0x7FF;
constexpr uint32_t EXTENDED_ID_MASK = 0x1FFFFFFF;
constexpr uint32_t ERROR_ID_MASK = CANDUMP_ERROR_FLAG | EXTENDED_ID_MASK;
constexpr char FIRST_VISIBLE = '!';
constexpr char LAST_VISIBLE = '~';
constexpr char IN_PLACE_OF_INVISIBLE = '_';

// Appends to the line; a piece that does not fit spoils the whole line (length 0 at
// the end) rather than leaving it cut short or writing past it.
struct LineBuilder {
    CandumpLine line{};
    bool spoiled = false;
};

void append(LineBuilder* b, const char* format, ...) {
    if (b->spoiled) {
        return;
    }
    const int room = CANDUMP_LINE_SIZE - b->line.length;
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(b->line.text + b->line.length, room, format, args);
    va_end(args);
    if (written < 0 || written >= room) {
        b->spoiled = true;
        return;
    }
    b->line.length += written;
}

void appendHead(LineBuilder* b, int64_t stampUs, const char* iface) {
    const int64_t us = stampUs < 0 ? 0 : stampUs;
    append(b, "(%010" PRId64 ".%06" PRId64 ") ", us / US_PER_SECOND, us % US_PER_SECOND);
    char name[CANDUMP_MAX_INTERFACE + 1] = {};
    int length = 0;
    for (; iface && iface[length] && length < CANDUMP_MAX_INTERFACE; ++length) {
        const char c = iface[length];
        name[length] = c >= FIRST_VISIBLE && c <= LAST_VISIBLE ? c : IN_PLACE_OF_INVISIBLE;
    }
    append(b, "%s ", length > 0 ? name : "-");
}

void appendData(LineBuilder* b, const uint8_t* data, int count) {
    for (int i = 0; i < count; ++i) {
        append(b, "%02X", static_cast<unsigned>(data[i]));
    }
}

CandumpLine finish(LineBuilder* b) {
    append(b, "\n");
    return b->spoiled ? CandumpLine{} : b->line;
}

}  // namespace

CandumpLine candumpFrameLine(int64_t stampUs, const char* iface, const CanFrame& frame) {
    LineBuilder b;
    appendHead(&b, stampUs, iface);
    if (frame.ID <= STANDARD_ID_MASK) {
        append(&b, "%03" PRIX32 "#", frame.ID);
    } else {
        append(&b, "%08" PRIX32 "#", frame.ID & EXTENDED_ID_MASK);
    }
    appendData(&b, frame.DATA, frame.LEN < CAN_MAX_DATA ? frame.LEN : CAN_MAX_DATA);
    return finish(&b);
}

CandumpLine candumpErrorLine(int64_t stampUs, const char* iface, const CanErrorFrame& frame) {
    LineBuilder b;
    appendHead(&b, stampUs, iface);
    append(&b, "%08" PRIX32 "#", (frame.ID & ERROR_ID_MASK) | CANDUMP_ERROR_FLAG);
    appendData(&b, frame.DATA, CANDUMP_ERROR_LEN);
    return finish(&b);
}
