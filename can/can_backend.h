// How a backend plugs into the adapter operations.
#pragma once

#include <cstdint>
#include <string>

#include "can/bus_lock.h"
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
    // Ends the link for good, so that the bus can pass to the next run (nullptr: nothing
    // to end before the process does).
    void (*close)() = nullptr;
    // Why the link itself is gone or down, as the backend's last operations told it (an
    // interface deleted or set down), or nullptr (also when the backend cannot tell).
    const char* (*linkDown)() = nullptr;
    // Looks at the link now, at a cost (a system call): why it is gone or down, or nullptr.
    // Asked only when a wait has ended with nothing, never on every read.
    const char* (*probeLink)() = nullptr;
    // For a backend whose status records are made from the bus's own error frames: 0
    // with the error frame the last status record read was made from, which the trace
    // writes as it came; nullptr, or 1: the trace writes the record itself.
    int (*traceErrorFrame)(CanErrorFrame* frame) = nullptr;
    // The bus this backend's next CAN_Init would use, named again at each link start-up
    // (nullptr: the bus named when the backend was chosen stays).
    void (*nameBus)(BusName* bus) = nullptr;
};

// A backend that can be named in DOVEL_CAN as NAME or NAME:OPTIONS. open() gets the
// options ("" when none) and returns the backend, or nullptr after printing why on
// standard error.
struct CanBackendFactory {
    const char* name;
    const CanBackend* (*open)(const char* options);
    // Names the bus that open() with these options would use, without opening anything;
    // leaves *bus empty when the options name none (open then says why). nullptr: the
    // backend's link needs no lock.
    void (*nameBus)(const char* options, BusName* bus) = nullptr;
    // Checks the options without opening anything: 0, or 1 with *problem saying what
    // they take (nullptr: any options are taken).
    int (*checkOptions)(const char* options, std::string* problem) = nullptr;
};

// The backend the adapter operations use, or nullptr before the first successful
// selection. Tests install their own with canUseBackend; nullptr makes the next
// CAN_Init select from the configured setting again.
const CanBackend* canCurrentBackend();
void canUseBackend(const CanBackend* backend);

// The DOVEL_CAN setting that an unset or empty DOVEL_CAN stands for on this platform.
const char* canDefaultBackendSetting();

// Picks the backend from a DOVEL_CAN value (nullptr or "" means the platform default).
const CanBackend* canOpenBackend(const char* setting);

// The DOVEL_CAN value the next CAN_Init opens the backend from (nullptr or "": the
// platform default), as the run's settings read it. Set once, before canStart.
void canConfigure(const char* backendSetting);

// Whether a DOVEL_CAN value names a backend built into this binary with options it
// takes, without opening anything: 0, or 1 with *problem saying what is wrong.
int canCheckBackendSetting(const char* setting, std::string* problem);

// The bus that the next CAN_Init opens, named by canConfigure; empty when a backend is in
// use already (its bus was taken when it was chosen, or a test installed it).
void canNameBus(BusName* bus);

// Ends the link of the backend in use, if any; the next CAN_Init chooses again.
void canCloseBackend();

// Backends compiled into this build, terminated by an entry with a null name. Defined
// where the program is put together (app/backend_list.cpp), not in the adapter layer.
extern const CanBackendFactory CAN_BACKEND_FACTORIES[];
