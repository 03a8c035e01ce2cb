#include "can/can_trace.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "can/can_api.h"

namespace {

constexpr int64_t US_PER_SECOND = 1000000;
// Keeps every line within CAN_TRACE_LINE_SIZE, whatever a backend calls itself.
constexpr int MAX_INTERFACE_TEXT = 32;

enum TraceState {
    TRACE_NONE,    // not asked for yet, or closed
    TRACE_OPEN,    // lines are written
    TRACE_FAILED,  // a write failed: reported, and no more lines are tried
};

struct Trace {
    TraceState state;
    std::FILE* file;
    std::string path;
};

Trace trace{TRACE_NONE, nullptr, ""};

// "(SECONDS.MICROSECONDS) IFACE " at the start of line; returns its length.
int putStamp(char (&line)[CAN_TRACE_LINE_SIZE], int at, int64_t stampUs, const char* iface) {
    const int64_t us = stampUs < 0 ? 0 : stampUs;
    return at + std::snprintf(line + at, sizeof line - at, "(%" PRId64 ".%06" PRId64 ") %.*s ",
                              us / US_PER_SECOND, us % US_PER_SECOND, MAX_INTERFACE_TEXT, iface);
}

// "ID#DATA" with the ID in three hex digits (more when it needs them) and at most
// eight data bytes.
int putFrame(char (&line)[CAN_TRACE_LINE_SIZE], int at, const CanFrame& frame) {
    at += std::snprintf(line + at, sizeof line - at, "%03" PRIX32 "#", frame.ID);
    for (int i = 0; i < frame.LEN && i < CAN_MAX_DATA; ++i) {
        at += std::snprintf(line + at, sizeof line - at, "%02X",
                            static_cast<unsigned>(frame.DATA[i]));
    }
    return at;
}

void writeLine(const char* line, int length) {
    if (trace.state != TRACE_OPEN) {
        return;
    }
    // Binary mode, one fwrite and a flush: the line reaches the system whole, with
    // its LF alone, before the operation returns.
    errno = 0;
    const bool written = std::fwrite(line, 1, static_cast<size_t>(length), trace.file) ==
                             static_cast<size_t>(length) &&
                         std::fflush(trace.file) == 0;
    if (written) {
        return;
    }
    const int error = errno;
    std::fprintf(stderr, "%s: writing %s failed: %s; the trace ends here, the update goes on\n",
                 CAN_TRACE_VARIABLE, trace.path.c_str(),
                 error != 0 ? std::strerror(error) : "write error");
    std::fclose(trace.file);
    trace.file = nullptr;
    trace.state = TRACE_FAILED;
}

// A comment: "# (STAMP) IFACE " then what put adds, then the line end.
template <typename Put>
void writeComment(int64_t stampUs, const char* iface, Put put) {
    char line[CAN_TRACE_LINE_SIZE];
    int at = std::snprintf(line, sizeof line, "# ");
    at = putStamp(line, at, stampUs, iface);
    at = put(line, at);
    at += std::snprintf(line + at, sizeof line - at, "\n");
    writeLine(line, at);
}

void writeFrameLine(int64_t stampUs, const char* iface, const CanFrame& frame) {
    char line[CAN_TRACE_LINE_SIZE];
    int at = putStamp(line, 0, stampUs, iface);
    at = putFrame(line, at, frame);
    at += std::snprintf(line + at, sizeof line - at, "\n");
    writeLine(line, at);
}

}  // namespace

int canTraceOpen(const char* path) {
    if (trace.state != TRACE_NONE) {
        return 0;
    }
    // Binary: a candump log ends its lines in LF alone, on Windows too.
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        std::fprintf(stderr, "%s: cannot open the trace file %s: %s\n", CAN_TRACE_VARIABLE, path,
                     std::strerror(errno));
        return 1;
    }
    trace = Trace{TRACE_OPEN, file, path};
    return 0;
}

bool canTraceActive() { return trace.state == TRACE_OPEN; }

void canTraceClose() {
    if (trace.file) {
        std::fclose(trace.file);
    }
    trace = Trace{TRACE_NONE, nullptr, ""};
}

void canTraceWritten(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result) {
    if (trace.state != TRACE_OPEN) {
        return;
    }
    if (result == CAN_OK && frame.TYPE == FRAME_TYPE_STANDARD && frame.LEN <= CAN_MAX_DATA) {
        writeFrameLine(stampUs, iface, frame);
        return;
    }
    writeComment(stampUs, iface, [&](char(&line)[CAN_TRACE_LINE_SIZE], int at) {
        at += std::snprintf(
            line + at, sizeof line - at, "write of TYPE 0x%02X LEN %u returned %" PRId32 ": ",
            static_cast<unsigned>(frame.TYPE), static_cast<unsigned>(frame.LEN), result);
        return putFrame(line, at, frame);
    });
}

void canTraceRead(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result) {
    if (trace.state != TRACE_OPEN || result == RX_QUEUE_EMPTY) {
        return;
    }
    if (result != CAN_OK) {
        writeComment(stampUs, iface, [&](char(&line)[CAN_TRACE_LINE_SIZE], int at) {
            return at +
                   std::snprintf(line + at, sizeof line - at, "read returned %" PRId32, result);
        });
        return;
    }
    if (frame.TYPE == FRAME_TYPE_STANDARD && frame.LEN <= CAN_MAX_DATA) {
        writeFrameLine(stampUs, iface, frame);
        return;
    }
    writeComment(stampUs, iface, [&](char(&line)[CAN_TRACE_LINE_SIZE], int at) {
        if (frame.TYPE == FRAME_TYPE_STATUS) {
            at += std::snprintf(line + at, sizeof line - at, "status ");
        } else {
            at += std::snprintf(line + at, sizeof line - at, "record of TYPE 0x%02X ",
                                static_cast<unsigned>(frame.TYPE));
        }
        if (frame.LEN > CAN_MAX_DATA) {
            at += std::snprintf(line + at, sizeof line - at, "LEN %u ",
                                static_cast<unsigned>(frame.LEN));
        }
        return putFrame(line, at, frame);
    });
}

void canTraceNote(int64_t stampUs, const char* iface, const char* text) {
    writeComment(stampUs, iface, [&](char(&line)[CAN_TRACE_LINE_SIZE], int at) {
        return at + std::snprintf(line + at, sizeof line - at, "%s", text);
    });
}

int64_t canTraceWallClockUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
