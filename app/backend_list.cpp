// The backends built into this binary. The program is put together here, so the
// adapter layer in can/ knows none of the backends above it.
#include "can/can_backend.h"
#include "can/slcan_backend.h"
#include "sim/sim_backend.h"
#if defined(_WIN32)
#include "can/pcan_usb_backend.h"
#endif
#if defined(__linux__)
#include "can/socketcan_backend.h"
#endif

const CanBackendFactory CAN_BACKEND_FACTORIES[] = {
    {"sim", simOpenBackend, simNameBus, simCheckOptions},
#if defined(__linux__)
    {"socketcan", socketcanOpenBackend, socketcanNameBus, socketcanCheckOptions},
#endif
    {"slcan", slcanOpenBackend, slcanNameBus, slcanCheckOptions},
#if defined(_WIN32)
    {"pcan-usb", pcanUsbOpenBackend, pcanUsbNameBus},
#endif
    {nullptr, nullptr},
};
