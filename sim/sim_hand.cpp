// The bus and the host port of the simulated hand, and the loop that runs it in time.
#include "sim/sim_hand.h"

#include <algorithm>
#include <cstdlib>

#include "can/can_api.h"
#include "sim/bus_timing.h"
#include "sim/dovel.h"
#include "sim/hand_state.h"
#include "sim/state_file.h"
#include "sim/state_path.h"

namespace {

constexpr uint8_t GET_FLAG_MASK = 0x80;
constexpr uint8_t PROPERTY_MASK = 0x7F;
constexpr uint8_t FOREIGN_LEN = 3;
constexpr int STATUS_MESSAGE_LEN = 4;
constexpr int STATUS_DATA3_INDEX = 3;

// The frame a sender puts on the bus next: its earliest ready one, so that a sender's
// frames leave in the order it made them ready.
const SimWaitingFrame* senderHead(const SimBus* bus, int sender) {
    const SimWaitingFrame* head = nullptr;
    for (const SimWaitingFrame& w : bus->waiting) {
        if (w.sender == sender && (!head || w.readyUs < head->readyUs ||
                                   (w.readyUs == head->readyUs && w.order < head->order))) {
            head = &w;
        }
    }
    return head;
}

int64_t busNextEventUs(const SimBus* bus) {
    if (bus->busy) {
        return bus->busyUntilUs;
    }
    int64_t earliest = SIM_NO_EVENT;
    for (const SimWaitingFrame& w : bus->waiting) {
        earliest = std::min(earliest, w.readyUs);
    }
    return earliest == SIM_NO_EVENT ? earliest : std::max(earliest, bus->idleSinceUs);
}

int64_t dovelsNextEventUs(const SimHand* hand) {
    int64_t earliest = SIM_NO_EVENT;
    for (const SimDovel& dovel : hand->dovels) {
        if (dovel.event != SIM_EVENT_NONE) {
            earliest = std::min(earliest, dovel.eventUs);
        }
    }
    return earliest;
}

// Arbitration: of the frames ready now, the lowest identifier wins the bus.
void startFrame(SimHand* hand, int64_t atUs) {
    SimBus* bus = &hand->bus;
    const SimWaitingFrame* winner = nullptr;
    for (int sender = 0; sender < SIM_SENDER_COUNT; ++sender) {
        const SimWaitingFrame* head = senderHead(bus, sender);
        if (head && head->readyUs <= atUs && (!winner || head->frame.ID < winner->frame.ID)) {
            winner = head;
        }
    }
    bus->onBus = *winner;
    bus->waiting.erase(bus->waiting.begin() + (winner - bus->waiting.data()));
    bus->busy = true;
    const CanFrame& frame = bus->onBus.frame;
    bus->busyUntilUs =
        atUs + (hand->options.zeroTime ? 0 : simFrameTimeUs(frame.ID, frame.DATA, frame.LEN));
}

void hostReceive(SimHand* hand, const CanFrame* frame, uint8_t hostLen) {
    SimHostPort* host = &hand->host;
    if (frame->ID < host->lowestId || frame->ID > host->highestId) {
        return;
    }
    if (host->queue.size() >= SIM_HOST_QUEUE_CAPACITY) {
        ++host->overruns;
        return;
    }
    CanFrame received = *frame;
    received.LEN = hostLen;
    host->queue.push_back(received);
}

int64_t inboundNextEventUs(const SimHostPort* host) {
    return host->inbound.empty() ? SIM_NO_EVENT : host->inbound.front().dueUs;
}

// A frame the bus has carried to the adapter: in the host's queue at once, or after the
// adapter's latency.
void hostArrive(SimHand* hand, const CanFrame* frame, uint8_t hostLen, int64_t atUs) {
    if (hand->options.latencyUs == 0) {
        hostReceive(hand, frame, hostLen);
        return;
    }
    hand->host.inbound.push_back(SimInboundFrame{*frame, hostLen, atUs + hand->options.latencyUs});
}

// The node that is no Dovel puts a frame of its own on the bus, sooner than any
// controller answers and with a lower identifier.
void sendForeignFrame(SimHand* hand, uint8_t firstByte, int64_t atUs) {
    CanFrame frame{};
    frame.ID = SIM_FOREIGN_NODE_ID;
    frame.TYPE = FRAME_TYPE_STANDARD;
    frame.LEN = FOREIGN_LEN;
    frame.DATA[0] = firstByte;
    frame.DATA[2] = SIM_FOREIGN_VALUE;
    simQueueFrame(hand, SIM_SENDER_FOREIGN, &frame, atUs + SIM_FOREIGN_REPLY_DELAY_US, frame.LEN);
}

// It answers the first get request to a controller with the foreign fault.
void foreignAnswer(SimHand* hand, SimDovel* dovel, const CanFrame* frame, int64_t atUs) {
    if (!dovel->faults.foreignReply || dovel->foreignSent || frame->LEN < 1 ||
        (frame->DATA[0] & GET_FLAG_MASK)) {
        return;
    }
    dovel->foreignSent = true;
    sendForeignFrame(hand, static_cast<uint8_t>(SIM_REPLY_FLAG | (frame->DATA[0] & PROPERTY_MASK)),
                     atUs);
}

// The same node sends once while that controller takes its image.
void foreignInDownload(SimHand* hand, SimDovel* dovel, int64_t atUs) {
    if (!dovel->faults.foreignReply || dovel->foreignInDownloadSent || !dovel->downloading ||
        dovel->charactersTaken < SIM_FOREIGN_DOWNLOAD_CHARACTERS) {
        return;
    }
    dovel->foreignInDownloadSent = true;
    sendForeignFrame(hand, 0, atUs);
}

// The adapter is pulled out: what it held is lost with it.
void unplugAdapter(SimHand* hand) {
    hand->host.gone = true;
    hand->host.queue.clear();
    hand->host.inbound.clear();
    hand->host.readErrorArmed = false;
    simDropWaitingFrames(hand, SIM_SENDER_HOST);
}

// The link goes away as a kernel interface does when it is deleted or set down.
void takeLinkDown(SimHand* hand) {
    hand->host.linkDown = true;
    hand->host.queue.clear();
    hand->host.inbound.clear();
    simDropWaitingFrames(hand, SIM_SENDER_HOST);
}

// halt-after and power-off-after: the process ends here, as if killed. What the
// utility printed so far is flushed, as a terminal would have shown it. On a halt the
// adapter goes with the utility (what it had not sent is lost) while the controllers
// keep power and finish what they were doing; on a power-off nothing but the lasting
// state survives.
[[noreturn]] void endRunAbruptly(SimHand* hand, bool powerOff) {
    std::fflush(stdout);
    if (powerOff) {
        std::fprintf(stderr, "sim: power-off-after=%ld: the hand loses power\n",
                     hand->options.powerOffAfterFrames);
    } else {
        std::fprintf(stderr, "sim: halt-after=%ld: the utility stops, the controllers keep power\n",
                     hand->options.haltAfterFrames);
        hand->host.gone = true;
        hand->host.queue.clear();
        hand->host.inbound.clear();
        simDropWaitingFrames(hand, SIM_SENDER_HOST);
        simHandSettle(hand);
    }
    if (!hand->options.statePath.empty() && simStateWrite(hand, !powerOff) != 0) {
        std::fprintf(stderr, "sim: cannot write the state file '%s'\n",
                     hand->options.statePath.c_str());
    }
    simHandReport(hand, stderr);
    if (hand->trace) {
        std::fflush(hand->trace);
    }
    std::fflush(stderr);
    std::_Exit(SIM_ABRUPT_EXIT_STATUS);
}

void finishFrame(SimHand* hand, int64_t atUs) {
    SimBus* bus = &hand->bus;
    bus->busy = false;
    bus->idleSinceUs = atUs;
    const SimWaitingFrame done = bus->onBus;
    ++bus->framesDone;
    simTraceFrame(hand, &done.frame, atUs);
    if (done.sender != SIM_SENDER_HOST && !hand->host.gone && !hand->host.linkDown) {
        hostArrive(hand, &done.frame, done.hostLen, atUs);
    }
    for (int i = 0; i < SIM_DOVEL_COUNT; ++i) {
        SimDovel* dovel = &hand->dovels[i];
        if (done.frame.ID == static_cast<uint32_t>(dovel->node) &&
            done.sender != SIM_SENDER_FIRST_DOVEL + i) {
            foreignAnswer(hand, dovel, &done.frame, atUs);
            dovelReceive(hand, dovel, &done.frame, atUs);
            foreignInDownload(hand, dovel, atUs);
        } else if (done.sender == SIM_SENDER_HOST) {
            dovelStrayReady(hand, dovel, &done.frame, atUs);
        }
    }
    if (bus->framesDone == hand->options.unplugAfterFrames) {
        unplugAdapter(hand);
    }
    if (bus->framesDone == hand->options.linkDownAfterFrames) {
        takeLinkDown(hand);
    }
    if (bus->framesDone == hand->options.haltAfterFrames) {
        endRunAbruptly(hand, false);
    }
    if (bus->framesDone == hand->options.powerOffAfterFrames) {
        endRunAbruptly(hand, true);
    }
}

// Runs the one next event, which is due no later than atUs. Bus events go first when
// they fall at the same time as a controller's.
void runNextEvent(SimHand* hand, int64_t busUs, int64_t dovelUs) {
    if (dovelUs < busUs) {
        for (SimDovel& dovel : hand->dovels) {
            if (dovel.event != SIM_EVENT_NONE && dovel.eventUs == dovelUs) {
                hand->nowUs = dovelUs;
                dovelRunEvent(hand, &dovel);
                return;
            }
        }
    }
    hand->nowUs = busUs;
    if (hand->bus.busy) {
        finishFrame(hand, busUs);
    } else {
        startFrame(hand, busUs);
    }
}

// The controllers take their state from the state file, which is made for a factory-
// fresh hand when it does not exist yet. 0, or 1 with *error set.
int openStateFile(SimHand* hand, std::string* error) {
    const std::string& path = hand->options.statePath;
    switch (simStateLoad(hand, path, error)) {
        case SIM_STATE_LOADED:
            return 0;
        case SIM_STATE_MISSING:
            if (simStateWrite(hand, true) != 0) {
                *error = "cannot create the state file '" + path + "'";
                return 1;
            }
            return 0;
        case SIM_STATE_REFUSED:
            break;
    }
    return 1;
}

bool hostDue(const SimHand* hand) {
    return hand->host.gone || hand->host.readErrorArmed || !hand->host.queue.empty();
}

}  // namespace

void simQueueFrame(SimHand* hand, int sender, const CanFrame* frame, int64_t readyUs,
                   uint8_t hostLen) {
    SimWaitingFrame w{};
    w.frame = *frame;
    w.sender = sender;
    w.readyUs = std::max(readyUs, hand->nowUs);
    w.order = hand->bus.nextOrder++;
    w.hostLen = hostLen;
    hand->bus.waiting.push_back(w);
}

void simDropWaitingFrames(SimHand* hand, int sender) {
    std::vector<SimWaitingFrame>* waiting = &hand->bus.waiting;
    waiting->erase(
        std::remove_if(waiting->begin(), waiting->end(),
                       [sender](const SimWaitingFrame& w) { return w.sender == sender; }),
        waiting->end());
}

void simPostStatusMessage(SimHand* hand, uint8_t data3, int64_t atUs) {
    CanFrame status{};
    status.TYPE = FRAME_TYPE_STATUS;
    status.LEN = STATUS_MESSAGE_LEN;
    status.DATA[STATUS_DATA3_INDEX] = data3;
    hand->host.queue.push_back(status);
    simTraceStatus(hand, &status, atUs);
}

void simArmReadError(SimHand* hand) { hand->host.readErrorArmed = true; }

int64_t simStepUs(const SimHand* hand, int64_t usualUs) {
    return hand->options.zeroTime ? 0 : usualUs;
}

SimHand* simHandCreate(const char* options, std::string* error) {
    SimOptions parsed{};
    if (simParseOptions(options, &parsed, error) != 0) {
        return nullptr;
    }
    SimHand* hand = new SimHand{};
    hand->options = parsed;
    if (!parsed.statePath.empty()) {
        hand->stateFile = simRealPath(parsed.statePath);
    }
    hand->host.lowestId = 0;
    hand->host.highestId = SIM_HIGHEST_STANDARD_ID;
    for (int i = 0; i < SIM_DOVEL_COUNT; ++i) {
        dovelInit(&hand->dovels[i], SIM_FIRST_DOVEL_ID + i, &parsed.dovel[i], SIM_INITIAL_ROLES[i]);
    }
    if (parsed.unplugAfterFrames == 0) {
        unplugAdapter(hand);
    }
    if (parsed.linkDownAfterFrames == 0) {
        takeLinkDown(hand);
    }
    if (!parsed.statePath.empty() && openStateFile(hand, error) != 0) {
        delete hand;
        return nullptr;
    }
    return hand;
}

void simHandDestroy(SimHand* hand) {
    if (!hand) {
        return;
    }
    if (!hand->options.statePath.empty()) {
        // The process ends, the controllers keep power and finish what they were doing.
        simHandSettle(hand);
        simStateChanged(hand);
    }
    if (hand->trace) {
        std::fclose(hand->trace);
    }
    delete hand;
}

bool simHandUsesFastClock(const SimHand* hand) { return hand->options.fast; }

int64_t simHandNowUs(const SimHand* hand) { return hand->nowUs; }

long simHandFramesDone(const SimHand* hand) { return hand->bus.framesDone; }

int64_t simHandNextEventUs(const SimHand* hand) {
    return std::min(
        {busNextEventUs(&hand->bus), dovelsNextEventUs(hand), inboundNextEventUs(&hand->host)});
}

void simHandAdvance(SimHand* hand, int64_t atUs) {
    for (;;) {
        const int64_t busUs = busNextEventUs(&hand->bus);
        const int64_t dovelUs = dovelsNextEventUs(hand);
        const int64_t inboundUs = inboundNextEventUs(&hand->host);
        if (std::min({busUs, dovelUs, inboundUs}) > atUs) {
            break;
        }
        // A frame that has crossed the adapter is the host's before what happens on the
        // bus at the same moment.
        if (inboundUs <= std::min(busUs, dovelUs)) {
            hand->nowUs = inboundUs;
            const SimInboundFrame arrived = hand->host.inbound.front();
            hand->host.inbound.pop_front();
            hostReceive(hand, &arrived.frame, arrived.hostLen);
            continue;
        }
        runNextEvent(hand, busUs, dovelUs);
    }
    hand->nowUs = std::max(hand->nowUs, atUs);
}

int64_t simHandRunToDelivery(SimHand* hand, int64_t limitUs) {
    while (!hostDue(hand)) {
        const int64_t next = simHandNextEventUs(hand);
        if (next > limitUs) {
            simHandAdvance(hand, limitUs);
            break;
        }
        simHandAdvance(hand, next);
    }
    return hand->nowUs;
}

int64_t simHandSettle(SimHand* hand) {
    for (int64_t next = simHandNextEventUs(hand); next != SIM_NO_EVENT;
         next = simHandNextEventUs(hand)) {
        simHandAdvance(hand, next);
    }
    return hand->nowUs;
}

int32_t simHandHostWrite(SimHand* hand, int64_t atUs, const CanFrame* frame) {
    if (frame->TYPE != FRAME_TYPE_STANDARD || frame->ID > SIM_HIGHEST_STANDARD_ID ||
        frame->LEN > CAN_MAX_DATA) {
        return SIM_ILLEGAL_PARAMETER;
    }
    simHandAdvance(hand, atUs);
    if (hand->host.gone) {
        return SIM_ADAPTER_GONE;
    }
    if (hand->host.linkDown) {
        return SIM_LINK_DOWN;
    }
    const auto waiting =
        std::count_if(hand->bus.waiting.begin(), hand->bus.waiting.end(),
                      [](const SimWaitingFrame& w) { return w.sender == SIM_SENDER_HOST; });
    if (waiting >= SIM_HOST_TRANSMIT_CAPACITY) {
        return SIM_TRANSMIT_QUEUE_FULL;
    }
    simQueueFrame(hand, SIM_SENDER_HOST, frame, hand->nowUs + hand->options.latencyUs, frame->LEN);
    return CAN_OK;
}

int32_t simHandHostRead(SimHand* hand, int64_t atUs, CanFrame* frame) {
    simHandAdvance(hand, atUs);
    SimHostPort* host = &hand->host;
    if (host->gone) {
        return SIM_ADAPTER_GONE;
    }
    if (host->linkDown) {
        return RX_QUEUE_EMPTY;
    }
    if (host->readErrorArmed) {
        host->readErrorArmed = false;
        return SIM_READ_ERROR;
    }
    if (host->queue.empty()) {
        return RX_QUEUE_EMPTY;
    }
    *frame = host->queue.front();
    host->queue.pop_front();
    return CAN_OK;
}

bool simHandLinkDown(const SimHand* hand) { return hand->host.linkDown; }

bool simHandHostFrameDue(SimHand* hand, int64_t atUs) {
    simHandAdvance(hand, atUs);
    return hostDue(hand);
}

int32_t simHandHostClear(SimHand* hand, int64_t atUs) {
    simHandAdvance(hand, atUs);
    if (hand->host.gone) {
        return SIM_ADAPTER_GONE;
    }
    if (hand->host.linkDown) {
        return SIM_LINK_DOWN;
    }
    hand->host.queue.clear();
    hand->host.inbound.clear();
    return CAN_OK;
}

int32_t simHandHostFilter(SimHand* hand, int64_t atUs, uint32_t lowestId, uint32_t highestId) {
    simHandAdvance(hand, atUs);
    if (hand->host.gone) {
        return SIM_ADAPTER_GONE;
    }
    if (hand->host.linkDown) {
        return SIM_LINK_DOWN;
    }
    hand->host.lowestId = lowestId;
    hand->host.highestId = highestId;
    return CAN_OK;
}
