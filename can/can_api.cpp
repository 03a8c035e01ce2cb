#include "can/can_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/can_backend.h"
#include "can/can_trace.h"

namespace {

const CanBackend* currentBackend = nullptr;

#if defined(_WIN32)
constexpr const char* DEFAULT_BACKEND = "pcan-usb";
#else
constexpr const char* DEFAULT_BACKEND = "socketcan:can0";
#endif

// Every backend name this utility knows, built into this binary or not, so that a
// name from another platform is told apart from a typing mistake.
constexpr const char* KNOWN_BACKENDS[] = {"sim", "socketcan", "pcan-usb"};

int64_t traceStampUs() {
    return currentBackend->traceNowUs ? currentBackend->traceNowUs() : canTraceWallClockUs();
}

const char* traceInterface() {
    return currentBackend->traceInterface ? currentBackend->traceInterface() : currentBackend->name;
}

// The trace asked for with DOVEL_CAN_TRACE, opened at the first link start-up: 0, or 1
// when it is asked for and cannot be opened.
int openTraceAsked() {
    const char* path = std::getenv(CAN_TRACE_VARIABLE);
    return (path && *path) ? canTraceOpen(path) : 0;
}

}  // namespace

const char* canDefaultBackendSetting() { return DEFAULT_BACKEND; }

const CanBackend* canCurrentBackend() { return currentBackend; }

void canUseBackend(const CanBackend* backend) { currentBackend = backend; }

const CanBackend* canOpenBackend(const char* setting) {
    const std::string value = (setting && *setting) ? setting : DEFAULT_BACKEND;
    const size_t colon = value.find(':');
    const std::string name = value.substr(0, colon);
    const std::string options = colon == std::string::npos ? "" : value.substr(colon + 1);
    for (const CanBackendFactory* f = CAN_BACKEND_FACTORIES; f->name; ++f) {
        if (name == f->name) {
            return f->open(options.c_str());
        }
    }
    for (const char* known : KNOWN_BACKENDS) {
        if (name == known) {
            std::fprintf(stderr, "DOVEL_CAN: backend '%s' is not available in this build\n",
                         name.c_str());
            return nullptr;
        }
    }
    std::fprintf(stderr, "DOVEL_CAN: unknown backend '%s'\n", name.c_str());
    return nullptr;
}

int32_t CAN_Init(uint16_t bitTiming, int frameType) {
    if (!currentBackend) {
        currentBackend = canOpenBackend(std::getenv("DOVEL_CAN"));
        if (!currentBackend) {
            return CAN_ERR_NO_BACKEND;
        }
    }
    // Never a run without the trace that was asked for.
    if (openTraceAsked() != 0) {
        return CAN_ERR_TRACE_FILE;
    }
    return currentBackend->init(bitTiming, frameType);
}

int32_t CAN_Read(CanFrame* frame) {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    const int32_t result = currentBackend->read(frame);
    if (canTraceActive()) {
        CanErrorFrame cameAs{};
        if (result == CAN_OK && frame->TYPE == FRAME_TYPE_STATUS &&
            currentBackend->traceErrorFrame && currentBackend->traceErrorFrame(&cameAs) == 0) {
            canTraceErrorFrame(traceStampUs(), traceInterface(), cameAs);
        } else {
            canTraceRead(traceStampUs(), traceInterface(), *frame, result);
        }
    }
    return result;
}

int32_t CAN_Write(const CanFrame* frame) {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    const int32_t result = currentBackend->write(frame);
    if (canTraceActive()) {
        canTraceWritten(traceStampUs(), traceInterface(), *frame, result);
    }
    return result;
}

int32_t CAN_ResetClient() {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    return currentBackend->resetClient();
}

int32_t CAN_MsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    return currentBackend->msgFilter(lowestId, highestId, frameType);
}

void CAN_WaitForFrame(int64_t deadlineUs) {
    if (currentBackend && currentBackend->waitForFrame) {
        currentBackend->waitForFrame(deadlineUs);
    }
}
