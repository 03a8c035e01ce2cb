// What a simulated hand shows of itself: the bus trace, the end-of-run report and the
// controllers' state.
#include <cinttypes>

#include "can/can_trace.h"
#include "can/candump_line.h"
#include "protocol/access_code_mask.h"
#include "sim/crc32.h"
#include "sim/dovel.h"
#include "sim/hand_state.h"
#include "sim/sim_hand.h"

namespace {

constexpr const char* TRACE_INTERFACE = "sim";

void writeTraceLine(SimHand* hand, const CandumpLine& line) {
    std::fwrite(line.text, 1, static_cast<size_t>(line.length), hand->trace);
}

// A controller that runs, or at its next reset will boot, a main firmware that was only
// partly written.
bool bootsDamaged(const SimDovel& dovel) {
    return dovel.image == SIM_IMAGE_INCOMPLETE &&
           ((dovel.storedRole & SIM_ROLE_CODE_MASK) != 0 || dovelDamaged(&dovel));
}

}  // namespace

const char* simModeName(SimDovelMode mode) {
    switch (mode) {
        case SIM_MODE_MAIN:
            return "main";
        case SIM_MODE_MONITOR:
            return "monitor";
        case SIM_MODE_RESETTING:
            return "resetting";
    }
    return "?";
}

uint32_t simFlashCrc32(const std::map<uint32_t, uint8_t>& flash) {
    uint32_t crc = 0;
    for (const auto& [address, byte] : flash) {
        crc = simCrc32(crc, &byte, 1);
    }
    return crc;
}

int simHandTraceTo(SimHand* hand, const char* path, const SimTraceSettings& settings) {
    std::FILE* file = canTraceCreateFile(path, settings.unmasked);
    if (!file) {
        return 1;
    }
    if (settings.lineBuffered) {
        std::setvbuf(file, nullptr, _IOLBF, BUFSIZ);
    }
    if (hand->trace) {
        std::fclose(hand->trace);
    }
    hand->trace = file;
    hand->traceSettings = settings;
    return 0;
}

void simTraceFrame(SimHand* hand, const CanFrame* frame, int64_t atUs) {
    if (!hand->trace) {
        return;
    }
    const SimTraceSettings& settings = hand->traceSettings;
    writeTraceLine(hand, candumpFrameLine(settings.epochUs + atUs, TRACE_INTERFACE,
                                          settings.unmasked ? *frame : accessCodeMasked(*frame)));
}

void simTraceStatus(SimHand* hand, const CanFrame* status, int64_t atUs) {
    if (!hand->trace) {
        return;
    }
    writeTraceLine(hand, candumpErrorLine(hand->traceSettings.epochUs + atUs, TRACE_INTERFACE,
                                          canTraceStatusErrorFrame(*status)));
}

int simHandDovelState(const SimHand* hand, int node, SimDovelState* state) {
    const int index = node - SIM_FIRST_DOVEL_ID;
    if (index < 0 || index >= SIM_DOVEL_COUNT) {
        return 1;
    }
    const SimDovel& dovel = hand->dovels[index];
    state->node = dovel.node;
    state->mode = dovel.mode;
    state->ramRole = dovel.ramRole;
    state->storedRole = dovel.storedRole;
    state->unlocked = dovel.unlocked;
    state->downloading = dovel.downloading;
    state->downloadComplete = dovel.downloadComplete;
    state->charactersTaken = dovel.charactersTaken;
    state->charactersLost = dovel.charactersLost;
    state->records = dovel.records;
    state->badRecords = dovel.badRecords;
    state->resets = dovel.resets;
    state->stores = dovel.stores;
    state->framesIgnored = dovel.framesIgnored;
    state->flash = dovel.flash;
    state->flashCrc32 = simFlashCrc32(dovel.flash);
    state->image = dovel.image;
    return 0;
}

void simHandReport(const SimHand* hand, std::FILE* out) {
    for (const SimDovel& dovel : hand->dovels) {
        std::fprintf(out,
                     "sim: dovel %d: %s ROLE(stored)=0x%04X flash=%lu bytes crc32=0x%08" PRIX32
                     " records=%d bad=%d lost=%d%s\n",
                     dovel.node, simModeName(dovel.mode), static_cast<unsigned>(dovel.storedRole),
                     static_cast<unsigned long>(dovel.flash.size()), simFlashCrc32(dovel.flash),
                     dovel.records, dovel.badRecords, dovel.charactersLost,
                     bootsDamaged(dovel)                ? " image=incomplete"
                     : dovel.image == SIM_IMAGE_REFUSED ? " image=refused"
                                                        : "");
    }
    std::fflush(out);
}
