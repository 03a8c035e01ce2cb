#include "can/can_trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "can/access_code_mask.h"
#include "can/can_api.h"

namespace {

enum TraceState {
    TRACE_NONE,    // not asked for yet, or closed
    TRACE_OPEN,    // lines are written
    TRACE_FAILED,  // a write failed: reported, and no more lines are tried
};

struct Trace {
    TraceState state;
    std::FILE* file;
    std::string path;
    bool unmasked;
};

Trace trace{TRACE_NONE, nullptr, "", false};

void writeLine(const CandumpLine& line) {
    if (trace.state != TRACE_OPEN || line.length == 0) {
        return;
    }
    // Binary mode, one fwrite and a flush: the line reaches the system whole, with
    // its LF alone, before the operation returns.
    errno = 0;
    const size_t length = static_cast<size_t>(line.length);
    const bool written =
        std::fwrite(line.text, 1, length, trace.file) == length && std::fflush(trace.file) == 0;
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

void writeFrame(int64_t stampUs, const char* iface, const CanFrame& frame) {
    writeLine(candumpFrameLine(stampUs, iface, trace.unmasked ? frame : accessCodeMasked(frame)));
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
    trace = Trace{TRACE_OPEN, file, path, traceUnmaskedAsked(path)};
    return 0;
}

bool canTraceActive() { return trace.state == TRACE_OPEN; }

void canTraceClose() {
    if (trace.file) {
        std::fclose(trace.file);
    }
    trace = Trace{TRACE_NONE, nullptr, "", false};
}

void canTraceWritten(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result) {
    if (result == CAN_OK && frame.TYPE == FRAME_TYPE_STANDARD) {
        writeFrame(stampUs, iface, frame);
    }
}

void canTraceRead(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result) {
    if (result != CAN_OK) {
        return;
    }
    if (frame.TYPE == FRAME_TYPE_STANDARD) {
        writeFrame(stampUs, iface, frame);
    } else if (frame.TYPE == FRAME_TYPE_STATUS) {
        writeLine(candumpErrorLine(stampUs, iface, canTraceStatusErrorFrame(frame)));
    }
}

void canTraceErrorFrame(int64_t stampUs, const char* iface, const CanErrorFrame& frame) {
    writeLine(candumpErrorLine(stampUs, iface, frame));
}

CanErrorFrame canTraceStatusErrorFrame(const CanFrame& status) {
    CanErrorFrame error{};
    error.ID = CANDUMP_ERROR_FLAG | CAN_TRACE_STATUS_CLASS;
    const int count = status.LEN < CAN_MAX_DATA ? status.LEN : CAN_MAX_DATA;
    std::memcpy(error.DATA, status.DATA, static_cast<size_t>(count));
    return error;
}

int64_t canTraceWallClockUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
