#include "tests/support/scripted_adapter.h"

#include <algorithm>
#include <cstdio>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"

namespace {

ScriptedAdapter* active = nullptr;

int32_t scriptedInit(uint16_t bitTiming, int frameType) {
    char text[64];
    std::snprintf(text, sizeof text, "CAN_Init(0x%04x, %d)", bitTiming, frameType);
    active->calls.push_back(text);
    return active->initResult;
}

int32_t scriptedRead(CanFrame* frame) {
    active->calls.push_back("CAN_Read");
    if (active->onRead) {
        active->onRead(*active);
    }
    if (active->queue.empty() || active->queue.front().atUs > active->nowUs) {
        return RX_QUEUE_EMPTY;
    }
    const ScriptedRead next = active->queue.front();
    active->queue.pop_front();
    if (next.result == CAN_OK) {
        *frame = next.frame;
    }
    return next.result;
}

int32_t scriptedWrite(const CanFrame* frame) {
    active->calls.push_back("CAN_Write " + frameText(*frame));
    active->written.push_back(*frame);
    active->writtenAtUs.push_back(active->nowUs);
    if (active->onWrite) {
        active->onWrite(*active, *frame);
    }
    return active->writeResult;
}

int32_t scriptedResetClient() {
    active->calls.push_back("CAN_ResetClient");
    return active->resetClientResult;
}

int32_t scriptedMsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    char text[64];
    std::snprintf(text, sizeof text, "CAN_MsgFilter(%u, %u, %d)", lowestId, highestId, frameType);
    active->calls.push_back(text);
    return active->msgFilterResult;
}

void scriptedWaitForFrame(int64_t deadlineUs) {
    int64_t until = deadlineUs;
    if (!active->queue.empty()) {
        until = std::min(until, active->queue.front().atUs);
    }
    active->nowUs = std::max(active->nowUs, until);
}

int64_t scriptedNowUs() { return active->nowUs; }
void scriptedSleepUs(int64_t us) { active->nowUs += us; }

const CanBackend SCRIPTED_BACKEND = {"scripted",           scriptedInit,        scriptedRead,
                                     scriptedWrite,        scriptedResetClient, scriptedMsgFilter,
                                     scriptedWaitForFrame, scriptedNowUs};
const ClockSource SCRIPTED_CLOCK = {scriptedNowUs, scriptedSleepUs};

}  // namespace

void scriptedAdapterInstall(ScriptedAdapter* adapter) {
    active = adapter;
    canUseBackend(&SCRIPTED_BACKEND);
    clockUse(&SCRIPTED_CLOCK);
}

void scriptedAdapterRemove() {
    canUseBackend(nullptr);
    clockUse(nullptr);
    active = nullptr;
}

CanFrame makeFrame(uint32_t id, std::initializer_list<uint8_t> data, uint8_t type) {
    CanFrame frame{};
    frame.ID = id;
    frame.TYPE = type;
    frame.LEN = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.DATA);
    return frame;
}

// Frames leave in order of arrival; those arriving at the same time in order queued.
void queueRead(ScriptedAdapter& adapter, const ScriptedRead& read) {
    auto later =
        std::upper_bound(adapter.queue.begin(), adapter.queue.end(), read.atUs,
                         [](int64_t at, const ScriptedRead& queued) { return at < queued.atUs; });
    adapter.queue.insert(later, read);
}

void queueFrame(ScriptedAdapter& adapter, const CanFrame& frame, int64_t atUs) {
    queueRead(adapter, {CAN_OK, frame, atUs});
}

void queueResult(ScriptedAdapter& adapter, int32_t result, int64_t atUs) {
    queueRead(adapter, {result, CanFrame{}, atUs});
}

std::string frameText(const CanFrame& frame) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "%03X#", frame.ID);
    for (int i = 0; i < frame.LEN && i < CAN_MAX_DATA; ++i) {
        n += std::snprintf(text + n, sizeof text - n, "%02X", frame.DATA[i]);
    }
    return text;
}

std::vector<std::string> writtenTexts(const ScriptedAdapter& adapter) {
    std::vector<std::string> texts;
    for (const CanFrame& frame : adapter.written) {
        texts.push_back(frameText(frame));
    }
    return texts;
}
