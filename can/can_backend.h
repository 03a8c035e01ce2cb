// How a backend plugs into the adapter operations.
#pragma once

#include <cstdint>

#include "can/can_frame.h"
#include "can/candump_line.h"

struct CanBackend {
    const char* name;
    int32_t (*init)(uint16_t bitTiming, int frameType);
    int32_t (*read)(CanFrame* frame);
    int32_t (*write)(const CanFrame* frame);
    int32_t (*resetClient)();
    int32_t (*msgFilter)(uint32_t lowestId, uint32_t highestId, int frameType);
    void (*waitForFrame)(int64_t deadlineUs);
    // What the link's trace (can/can_trace.h) stamps its lines with: the backend's own
    // time in microseconds (nullptr: the host's wall clock since the epoch) and the name
    // of the interface (nullptr: the backend's name).
    int64_t (*traceNowUs)() = nullptr;
    const char* (*traceInterface)() = nullptr;
    // For a backend whose status records are made from the bus's own error frames: 0
    // with the error frame the last status record read was made from, which the trace
    // writes as it came; nullptr, or 1: the trace writes the record itself.
    int (*traceErrorFrame)(CanErrorFrame* frame) = nullptr;
};

// A backend that can be named in DOVEL_CAN as NAME or NAME:OPTIONS. open() gets the
// options ("" when none) and returns the backend, or nullptr after printing why on
// standard error.
struct CanBackendFactory {
    const char* name;
    const CanBackend* (*open)(const char* options);
};

// The backend the adapter operations use, or nullptr before the first successful
// selection. Tests install their own with canUseBackend; nullptr makes the next
// CAN_Init select from DOVEL_CAN again.
const CanBackend* canCurrentBackend();
void canUseBackend(const CanBackend* backend);

// The DOVEL_CAN setting that an unset or empty DOVEL_CAN stands for on this platform.
const char* canDefaultBackendSetting();

// Picks the backend from a DOVEL_CAN value (nullptr or "" means the platform default).
const CanBackend* canOpenBackend(const char* setting);

// Backends compiled into this build, terminated by an entry with a null name. Defined
// where the program is put together (app/backend_list.cpp), not in the adapter layer.
extern const CanBackendFactory CAN_BACKEND_FACTORIES[];
