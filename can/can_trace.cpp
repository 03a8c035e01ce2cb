#include "can/can_trace.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "can/can_api.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
    CanTraceFilter filter;
};

Trace trace{TRACE_NONE, nullptr, "", nullptr};

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
    writeLine(candumpFrameLine(stampUs, iface, trace.filter ? trace.filter(frame) : frame));
}

}  // namespace

std::FILE* canTraceCreateFile(const char* path, bool ownerOnly) {
#if defined(_WIN32)
    (void)ownerOnly;
    // Binary: a candump log ends its lines in LF alone, on Windows too.
    return std::fopen(path, "wb");
#else
    constexpr mode_t OWNER_ONLY = S_IRUSR | S_IWUSR;
    constexpr mode_t READABLE = OWNER_ONLY | S_IRGRP | S_IROTH;
    // Without blocking: a FIFO with no reader must not hold the run. The run's settings
    // refuse anything but a regular file; one that became a FIFO since is refused here.
    const int fd =
        open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, ownerOnly ? OWNER_ONLY : READABLE);
    if (fd < 0) {
        return nullptr;
    }
    struct stat made {};
    const bool opened = fstat(fd, &made) == 0;
    if (!opened || S_ISFIFO(made.st_mode) || S_ISSOCK(made.st_mode) ||
        (S_ISREG(made.st_mode) && ftruncate(fd, 0) != 0) || fcntl(fd, F_SETFL, 0) != 0) {
        const int error =
            opened && !S_ISFIFO(made.st_mode) && !S_ISSOCK(made.st_mode) ? errno : EINVAL;
        close(fd);
        errno = error;
        return nullptr;
    }
    // A file that was there before keeps its mode through O_CREAT: one that will hold
    // the access code is made private all the same.
    if (ownerOnly && fchmod(fd, OWNER_ONLY) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
#endif
}

int canTraceOpen(const char* path, CanTraceFilter filter, bool ownerOnly) {
    if (trace.state != TRACE_NONE) {
        return 0;
    }
    errno = 0;
    std::FILE* file = canTraceCreateFile(path, ownerOnly);
    if (!file) {
        return errno != 0 ? errno : EIO;
    }
    trace = Trace{TRACE_OPEN, file, path, filter};
    return 0;
}

bool canTraceActive() { return trace.state == TRACE_OPEN; }

void canTraceClose() {
    if (trace.file) {
        std::fclose(trace.file);
    }
    trace = Trace{TRACE_NONE, nullptr, "", nullptr};
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
