#include "can/can_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/can_backend.h"

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

}  // namespace

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
    return currentBackend->init(bitTiming, frameType);
}

int32_t CAN_Read(CanFrame* frame) {
    return currentBackend ? currentBackend->read(frame) : CAN_ERR_NOT_INITIALIZED;
}

int32_t CAN_Write(const CanFrame* frame) {
    return currentBackend ? currentBackend->write(frame) : CAN_ERR_NOT_INITIALIZED;
}

int32_t CAN_ResetClient() {
    return currentBackend ? currentBackend->resetClient() : CAN_ERR_NOT_INITIALIZED;
}

int32_t CAN_MsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    return currentBackend ? currentBackend->msgFilter(lowestId, highestId, frameType)
                          : CAN_ERR_NOT_INITIALIZED;
}

void CAN_WaitForFrame(int64_t deadlineUs) {
    if (currentBackend && currentBackend->waitForFrame) {
        currentBackend->waitForFrame(deadlineUs);
    }
}
