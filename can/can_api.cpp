#include "can/can_api.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "can/can_backend.h"
#include "can/can_trace.h"
#include "can/clock.h"

namespace {

const CanBackend* currentBackend = nullptr;

constexpr int LINK_DOWN_TEXT_SIZE = 128;
constexpr int64_t NOT_FAILING = -1;

// Since when every read and write has failed, and the last code and operation.
struct FailingOperations {
    int64_t sinceUs;
    int32_t lastCode;
    const char* lastOperation;
    char text[LINK_DOWN_TEXT_SIZE];
};

FailingOperations failing{NOT_FAILING, CAN_OK, "", ""};

// The reason the link was first found gone or down; empty while it has not been.
char lostReason[LINK_DOWN_TEXT_SIZE] = "";

bool linkLost() { return lostReason[0] != '\0'; }

// Keeps the first reason for the rest of the run.
const char* noteLinkLost(const char* reason) {
    if (reason != nullptr && !linkLost()) {
        std::snprintf(lostReason, sizeof lostReason, "%s", reason);
    }
    return linkLost() ? lostReason : nullptr;
}

// An empty queue is an answer from a working adapter; anything but that and success is not.
void noteResult(const char* operation, int32_t result) {
    if (result == CAN_OK || result == RX_QUEUE_EMPTY) {
        failing.sinceUs = NOT_FAILING;
        return;
    }
    if (failing.sinceUs == NOT_FAILING) {
        failing.sinceUs = clockNowUs();
    }
    failing.lastCode = result;
    failing.lastOperation = operation;
}

#if defined(_WIN32)
constexpr const char* DEFAULT_BACKEND = "pcan-usb";
#else
constexpr const char* DEFAULT_BACKEND = "socketcan:can0";
#endif

// Every backend name this utility knows, built into this binary or not, so that a
// name from another platform is told apart from a typing mistake.
constexpr const char* KNOWN_BACKENDS[] = {"sim", "socketcan", "pcan-usb", "slcan"};

int64_t traceStampUs() {
    return currentBackend->traceNowUs ? currentBackend->traceNowUs() : canTraceWallClockUs();
}

const char* traceInterface() {
    return currentBackend->traceInterface ? currentBackend->traceInterface() : currentBackend->name;
}

// A DOVEL_CAN value taken apart: the backend's name and the options after its colon.
struct BackendSetting {
    std::string name;
    std::string options;
    bool colon;                        // options follow a colon, even when there are none
    const CanBackendFactory* factory;  // nullptr when no backend of that name is built in
};

// The backend setting the next CAN_Init opens, as the run's settings gave it.
std::string configuredSetting = DEFAULT_BACKEND;

BackendSetting readSetting(const std::string& setting) {
    const std::string value = setting.empty() ? DEFAULT_BACKEND : setting;
    const size_t colon = value.find(':');
    BackendSetting read{value.substr(0, colon),
                        colon == std::string::npos ? "" : value.substr(colon + 1),
                        colon != std::string::npos, nullptr};
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

void canUseBackend(const CanBackend* backend) {
    currentBackend = backend;
    failing.sinceUs = NOT_FAILING;
    lostReason[0] = '\0';
}

void canConfigure(const char* backendSetting) {
    configuredSetting = backendSetting != nullptr ? backendSetting : "";
}

int canCheckBackendSetting(const char* setting, std::string* problem) {
    const BackendSetting read = readSetting(setting != nullptr ? setting : "");
    if (read.factory && read.colon && read.options.empty()) {
        // "socketcan:$IFACE" with IFACE unset: taking the default would reach another bus.
        *problem = "nothing follows the colon: give " + read.name + " alone for its default";
        return 1;
    }
    if (read.factory) {
        return read.factory->checkOptions
                   ? read.factory->checkOptions(read.options.c_str(), problem)
                   : 0;
    }
    std::string known;
    for (const CanBackendFactory* f = CAN_BACKEND_FACTORIES; f->name; ++f) {
        known += std::string(known.empty() ? "" : ", ") + f->name;
    }
    for (const char* other : KNOWN_BACKENDS) {
        if (read.name == other) {
            *problem = "backend " + read.name + " is not built into this binary; it has " + known;
            return 1;
        }
    }
    *problem = "no backend is called " + read.name + "; this binary has " + known;
    return 1;
}

const CanBackend* canOpenBackend(const char* setting) {
    const BackendSetting read = readSetting(setting != nullptr ? setting : "");
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
    const BackendSetting read = readSetting(configuredSetting);
    if (read.factory && read.factory->nameBus) {
        read.factory->nameBus(read.options.c_str(), bus);
    }
}

void canCloseBackend() {
    if (currentBackend && currentBackend->close) {
        currentBackend->close();
    }
    currentBackend = nullptr;
    lostReason[0] = '\0';
}

int32_t CAN_Init(uint16_t bitTiming, int frameType) {
    if (!currentBackend) {
        currentBackend = canOpenBackend(configuredSetting.c_str());
        if (!currentBackend) {
            return CAN_ERR_NO_BACKEND;
        }
    }
    if (linkLost()) {
        return CAN_ERR_LINK_LOST;
    }
    const int32_t result = currentBackend->init(bitTiming, frameType);
    if (result == CAN_OK) {
        failing.sinceUs = NOT_FAILING;
    }
    return result;
}

int32_t CAN_Read(CanFrame* frame) {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    if (linkLost()) {
        return CAN_ERR_LINK_LOST;
    }
    const int32_t result = currentBackend->read(frame);
    noteResult("CAN_Read", result);
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
    if (linkLost()) {
        return CAN_ERR_LINK_LOST;
    }
    const int32_t result = currentBackend->write(frame);
    noteResult("CAN_Write", result);
    if (canTraceActive()) {
        canTraceWritten(traceStampUs(), traceInterface(), *frame, result);
    }
    return result;
}

int32_t CAN_ResetClient() {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    if (linkLost()) {
        return CAN_ERR_LINK_LOST;
    }
    return currentBackend->resetClient();
}

int32_t CAN_MsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    if (!currentBackend) {
        return CAN_ERR_NOT_INITIALIZED;
    }
    if (linkLost()) {
        return CAN_ERR_LINK_LOST;
    }
    return currentBackend->msgFilter(lowestId, highestId, frameType);
}

void CAN_WaitForFrame(int64_t deadlineUs) {
    if (currentBackend && currentBackend->waitForFrame) {
        currentBackend->waitForFrame(deadlineUs);
    }
}

const char* canLinkDown() {
    if (!currentBackend || linkLost()) {
        return noteLinkLost(nullptr);
    }
    const char* reason = currentBackend->linkDown ? currentBackend->linkDown() : nullptr;
    if (reason != nullptr) {
        return noteLinkLost(reason);
    }
    if (failing.sinceUs == NOT_FAILING ||
        clockNowUs() - failing.sinceUs < static_cast<int64_t>(CAN_LINK_LOST_AFTER_MS) * 1000) {
        return nullptr;
    }
    std::snprintf(failing.text, sizeof failing.text,
                  "%s: every read and write failed for %d ms, the last %s(): %ld",
                  currentBackend->name, CAN_LINK_LOST_AFTER_MS, failing.lastOperation,
                  static_cast<long>(failing.lastCode));
    return noteLinkLost(failing.text);
}

const char* canProbeLink() {
    if (currentBackend && currentBackend->probeLink && !linkLost()) {
        if (const char* reason = currentBackend->probeLink()) {
            return noteLinkLost(reason);
        }
    }
    return canLinkDown();
}
