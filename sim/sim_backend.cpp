// Placeholder until the simulated controllers exist: the link opens, the bus is
// silent, and written frames are kept.
#include "sim/sim_backend.h"

#include <vector>

namespace {

std::vector<CanFrame> writtenFrames;

int32_t simInit(uint16_t, int) { return 0; }
int32_t simRead(CanFrame*) { return 32; }
int32_t simWrite(const CanFrame* frame) {
    writtenFrames.push_back(*frame);
    return 0;
}
int32_t simResetClient() { return 0; }
int32_t simMsgFilter(uint32_t, uint32_t, int) { return 0; }

const CanBackend SIM_BACKEND = {"sim",          simInit,      simRead, simWrite,
                                simResetClient, simMsgFilter, nullptr};

}  // namespace

const CanBackend* simOpenBackend(const char*) { return &SIM_BACKEND; }
