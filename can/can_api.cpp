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

// A comment with an operation of the link's start-up and its result.
void traceStep(const char* step, int32_t result) {
    if (canTraceActive()) {
        char text[CAN_TRACE_LINE_SIZE];
        std::snprintf(text, sizeof text, "%s returned %ld", step, static_cast<long>(result));
        canTraceNote(traceStampUs(), traceInterface(), text);
    }
}

// The trace asked for with DOVEL_CAN_TRACE, opened at the first link start-up: 0, or 1
// when it is asked for and cannot be opened.
int openTraceAsked() {
    const char* path = std::getenv(CAN_TRACE_VARIABLE);
    return (path && *path) ? canTraceOpen(path) : 0;
}

// A DOVEL_CAN value taken apart: the backend's name and the options after its colon.
struct BackendSetting {
    std::string name;
    std::string options;
    const CanBackendFactory* factory;  // nullptr when no backend of that name is built in
};

BackendSetting readSetting(const char* setting) {
    const std::string value = (setting && *setting) ? setting : DEFAULT_BACKEND;
    const size_t colon = value.find(':');
    BackendSetting read{value.substr(0, colon),
                        colon == std::string::npos ? "" : value.substr(colon + 1), nullptr};
    for (const CanBackendFactory* f = CAN_BACKEND_FACTORIES; f->name; ++f) {
        if (read.name == f->name) {
            read.factory = f;
        }
    }
    return read;
}

}  // namespace

const char* canDefaultBackendSetting() { return DEFAULT_BACKEND; }

const CanBackend* canCurrentBackend() { return currentBackend; }

void canUseBackend(const CanBackend* backend) { currentBackend = backend; }

const CanBackend* canOpenBackend(const char* setting) {
    const BackendSetting read = readSetting(setting);
    if (read.factory) {
        return read.factory->open(read.options.c_str());
    }
    for (const char* known : KNOWN_BACKENDS) {
        if (read.name == known) {
            std::fprintf(stderr, "DOVEL_CAN: backend '%s' is not available in this build\n",
                         read.name.c_str());
            return nullptr;
        }
    }
    std::fprintf(stderr, "DOVEL_CAN: unknown backend '%s'\n", read.name.c_str());
    return nullptr;
}

void canNameBus(BusName* bus) {
    *bus = BusName{};
    if (currentBackend) {
        return;
    }
    const BackendSetting read = readSetting(std::getenv("DOVEL_CAN"));
    if (read.factory && read.factory->nameBus) {
        read.factory->nameBus(read.options.c_str(), bus);
    }
}

void canCloseBackend() {
    if (currentBackend && currentBackend->close) {
        currentBackend->close();
    }
    currentBackend = nullptr;
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
    const int32_t result = currentBackend->init(bitTiming, frameType);
    traceStep("CAN_Init", result);
    return result;
}

int32_t CAN_Read(CanFrame* frame) {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    const int32_t result = currentBackend->read(frame);
    if (canTraceActive()) {
        canTraceRead(traceStampUs(), traceInterface(), *frame, result);
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
    const int32_t result = currentBackend->resetClient();
    traceStep("CAN_ResetClient", result);
    return result;
}

int32_t CAN_MsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    const int32_t result = currentBackend->msgFilter(lowestId, highestId, frameType);
    traceStep("CAN_MsgFilter", result);
    return result;
}

void CAN_WaitForFrame(int64_t deadlineUs) {
    if (currentBackend && currentBackend->waitForFrame) {
        currentBackend->waitForFrame(deadlineUs);
    }
}
