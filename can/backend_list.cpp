// The backends built into this binary.
#include "can/can_backend.h"
#include "sim/sim_backend.h"

const CanBackendFactory CAN_BACKEND_FACTORIES[] = {
    {"sim", simOpenBackend},
    {nullptr, nullptr},
};
