#include "can/pcan_usb_backend.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "can/can_api.h"
#include "can/clock.h"

namespace {

// The library's operations as it exports them. CanFrame records pass through
// unchanged: their 16-byte layout is the library's own.
using InitFunction = DWORD(WINAPI*)(WORD bitTiming, int frameType);
using ReadFunction = DWORD(WINAPI*)(CanFrame* frame);
using WriteFunction = DWORD(WINAPI*)(const CanFrame* frame);
using ResetClientFunction = DWORD(WINAPI*)();
using MsgFilterFunction = DWORD(WINAPI*)(DWORD lowestId, DWORD highestId, int frameType);

enum Operation { OP_INIT, OP_READ, OP_WRITE, OP_RESET_CLIENT, OP_MSG_FILTER, OPERATION_COUNT };

struct OperationEntry {
    int ordinal;
    const char* name;
};

// Indexed by Operation.
constexpr OperationEntry OPERATIONS[OPERATION_COUNT] = {
    {PCAN_USB_ORDINAL_INIT, "CAN_Init"},
    {PCAN_USB_ORDINAL_READ, "CAN_Read"},
    {PCAN_USB_ORDINAL_WRITE, "write one frame"},
    {PCAN_USB_ORDINAL_RESET_CLIENT, "CAN_ResetClient"},
    {PCAN_USB_ORDINAL_MSG_FILTER, "CAN_MsgFilter"},
};

struct Binding {
    std::string libraryPath = PCAN_USB_LIBRARY;
    HMODULE module = nullptr;
    FARPROC procs[OPERATION_COUNT] = {};
};

Binding binding;

// GetProcAddress hands out one generic pointer type; the detour through void(*)()
// tells the compiler that the change of type is meant.
template <typename Function>
Function boundAs(Operation operation) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(binding.procs[operation]));
}

void unbind() {
    if (binding.module) {
        FreeLibrary(binding.module);
    }
    binding.module = nullptr;
    for (FARPROC& proc : binding.procs) {
        proc = nullptr;
    }
}

// Loads the library and binds every operation, or leaves nothing loaded and says on
// standard error what is missing.
int32_t bindLibrary() {
    const char* path = binding.libraryPath.c_str();
    HMODULE module = LoadLibraryA(path);
    if (!module) {
        std::fprintf(stderr, "pcan-usb: cannot load %s (Windows error %lu)\n", path,
                     static_cast<unsigned long>(GetLastError()));
        return PCAN_USB_ERR_NO_LIBRARY;
    }
    std::string missing;
    int missingCount = 0;
    for (int op = 0; op < OPERATION_COUNT; ++op) {
        binding.procs[op] = GetProcAddress(module, MAKEINTRESOURCEA(OPERATIONS[op].ordinal));
        if (!binding.procs[op]) {
            ++missingCount;
            missing += missing.empty() ? "" : ", ";
            missing += std::to_string(OPERATIONS[op].ordinal) + " (" + OPERATIONS[op].name + ")";
        }
    }
    binding.module = module;
    if (!missing.empty()) {
        std::fprintf(stderr, "pcan-usb: %s lacks ordinal%s %s\n", path, missingCount > 1 ? "s" : "",
                     missing.c_str());
        unbind();
        return PCAN_USB_ERR_NO_ORDINAL;
    }
    return CAN_OK;
}

int32_t pcanInit(uint16_t bitTiming, int frameType) {
    if (!binding.module) {
        const int32_t bound = bindLibrary();
        if (bound != CAN_OK) {
            return bound;
        }
    }
    return static_cast<int32_t>(boundAs<InitFunction>(OP_INIT)(bitTiming, frameType));
}

int32_t pcanRead(CanFrame* frame) {
    return binding.module ? static_cast<int32_t>(boundAs<ReadFunction>(OP_READ)(frame))
                          : CAN_ERR_NOT_INITIALIZED;
}

int32_t pcanWrite(const CanFrame* frame) {
    return binding.module ? static_cast<int32_t>(boundAs<WriteFunction>(OP_WRITE)(frame))
                          : CAN_ERR_NOT_INITIALIZED;
}

int32_t pcanResetClient() {
    return binding.module ? static_cast<int32_t>(boundAs<ResetClientFunction>(OP_RESET_CLIENT)())
                          : CAN_ERR_NOT_INITIALIZED;
}

int32_t pcanMsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    return binding.module ? static_cast<int32_t>(boundAs<MsgFilterFunction>(OP_MSG_FILTER)(
                                lowestId, highestId, frameType))
                          : CAN_ERR_NOT_INITIALIZED;
}

// The library offers no event to wait on, so the wait gives up the rest of this time
// slice and lets the caller read again: a frame may be there by then. No real sleep,
// which would cost at least a timer tick per reply.
void pcanWaitForFrame(int64_t deadlineUs) {
    if (clockNowUs() < deadlineUs) {
        SwitchToThread();
    }
}

// Nothing closes the link: the library fills its receive queue on its own, and what it
// does when unloaded under a client it still holds is not ours to know. It stays
// loaded, and the adapter held, until the process ends.
const CanBackend PCAN_USB_BACKEND = {
    "pcan-usb", pcanInit, pcanRead, pcanWrite, pcanResetClient, pcanMsgFilter, pcanWaitForFrame,
};

}  // namespace

void pcanUsbNameBus(const char*, BusName* bus) {
    bus->shown = "the PCAN-USB adapter";
    bus->lockName = "pcan-usb";
    // The library stays loaded to the exit, and the adapter with it.
    bus->heldToExit = true;
}

const CanBackend* pcanUsbOpenBackend(const char* options) {
    unbind();
    binding.libraryPath = (options && *options) ? options : PCAN_USB_LIBRARY;
    return &PCAN_USB_BACKEND;
}
