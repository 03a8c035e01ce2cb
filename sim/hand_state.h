// The records inside a simulated hand, shared by the bus, the controllers and the
// host port. Only the sim/ files see them; everyone else goes through sim_hand.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "can/can_frame.h"
#include "firmware/tek_format.h"
#include "sim/sim_hand.h"
#include "sim/sim_options.h"

// Who puts a frame on the bus: the host, a controller (SIM_SENDER_FIRST_DOVEL + index),
// or the node that is no Dovel.
constexpr int SIM_SENDER_HOST = 0;
constexpr int SIM_SENDER_FIRST_DOVEL = 1;
constexpr int SIM_SENDER_FOREIGN = SIM_SENDER_FIRST_DOVEL + SIM_DOVEL_COUNT;
constexpr int SIM_SENDER_COUNT = SIM_SENDER_FOREIGN + 1;

// Characters a monitor holds while it is not ready for them (rx-buffer=N), by default
// and at most.
constexpr int SIM_RX_FIFO_CAPACITY = SIM_RX_DEFAULT_BUFFER;
constexpr int SIM_RX_BUFFER_MAX = SIM_RX_BUFFER_OPTION_MAX;
// Frames the adapter's receive queue holds; more are lost.
constexpr size_t SIM_HOST_QUEUE_CAPACITY = 1024;

struct SimWaitingFrame {
    CanFrame frame;
    int sender;
    int64_t readyUs;  // when the sender has it ready for the bus
    uint64_t order;   // ties between equal ready times go to the earlier one
    uint8_t hostLen;  // LEN as the host's adapter reports it (a faulty adapter may differ)
};

struct SimBus {
    std::vector<SimWaitingFrame> waiting;
    bool busy;
    SimWaitingFrame onBus;
    int64_t busyUntilUs;
    int64_t idleSinceUs;
    uint64_t nextOrder;
    long framesDone;  // frames that have ended on the bus, either direction
};

// A frame on its way from the bus to the host's receive queue (the latency option).
struct SimInboundFrame {
    CanFrame frame;
    uint8_t hostLen;
    int64_t dueUs;
};

struct SimHostPort {
    std::deque<CanFrame> queue;
    std::deque<SimInboundFrame> inbound;  // in order of arrival, which is that of dueUs
    uint32_t lowestId;
    uint32_t highestId;
    bool readErrorArmed;
    bool gone;      // pulled out: every operation fails
    bool linkDown;  // the interface went away: writes and start-up calls fail, reads find nothing
    int overruns;
};

enum SimDovelEvent {
    SIM_EVENT_NONE,
    SIM_EVENT_BOOT,            // the reset time is over
    SIM_EVENT_DOWNLOAD_READY,  // ready for the first character
    SIM_EVENT_CHARACTER_DONE,  // a character has been taken
    SIM_EVENT_STALL_OVER,      // a recovering stall ends
};

// The record a monitor assembles from the character stream; its length field says
// when it is whole.
struct SimRecordBuffer {
    char chars[TEK_MAX_RECORD_CHARS];
    int count;
    int length;  // from the length field; 0 until both its characters are in
};

struct SimRxFifo {
    uint8_t chars[SIM_RX_BUFFER_MAX];
    int count;
};

struct SimDovel {
    int node;
    SimDovelFaults faults;
    SimDovelMode mode;
    uint16_t ramRole;
    uint16_t storedRole;
    int unlockWordsMatched;
    bool unlocked;
    int64_t busyUntilUs;  // storing: frames until then are lost
    SimDovelEvent event;
    int64_t eventUs;

    bool downloading;
    bool downloadComplete;
    bool takingCharacter;  // preparing or taking: the next character goes to the FIFO
    SimRxFifo fifo;
    SimRecordBuffer record;
    std::map<uint32_t, uint8_t> flash;
    SimFlashImage image;
    uint32_t imageCrc32;  // of the flash, once the image is complete
    bool hung;            // in a recovering stall: deaf and dumb until its event
    int charactersTaken;
    int charactersLost;
    int records;
    int badRecords;

    int resets;
    int stores;  // STORE requests taken, since power came on in this process
    int framesIgnored;
    // One-shot faults already spent.
    bool statusSent;
    bool crazyIdSent;
    bool longLenSent;
    bool foreignSent;
    bool foreignInDownloadSent;
    bool readErrorSent;
    bool stallSpent;
    bool straySent;
};

struct SimHand {
    SimOptions options;
    int64_t nowUs;
    SimBus bus;
    SimHostPort host;
    SimDovel dovels[SIM_DOVEL_COUNT];
    std::FILE* trace;
    SimTraceSettings traceSettings;
    bool stateWriteFailed;  // said once on standard error
    // Where the state file really is: every write lands there, so a link to it stays the
    // link it was and the file stays one.
    std::string stateFile;
};

// For the controllers: puts a frame in line for the bus. hostLen is the LEN the host's
// adapter will report for it.
void simQueueFrame(SimHand* hand, int sender, const CanFrame* frame, int64_t readyUs,
                   uint8_t hostLen);
// Drops a sender's frames that have not reached the bus yet.
void simDropWaitingFrames(SimHand* hand, int sender);
// How long a controller takes for a step of usualUs: that, or nothing under zero-time.
int64_t simStepUs(const SimHand* hand, int64_t usualUs);
// The adapter reports a status message to the host at atUs.
void simPostStatusMessage(SimHand* hand, uint8_t data3, int64_t atUs);
// The adapter's next read fails once.
void simArmReadError(SimHand* hand);

// Something lasting has changed: writes the state file, when the hand has one.
void simStateChanged(SimHand* hand);

// CRC-32 (IEEE 802.3) of the flash bytes in address order.
uint32_t simFlashCrc32(const std::map<uint32_t, uint8_t>& flash);

// The mode as the report and the state file write it: "main", "monitor", "resetting".
const char* simModeName(SimDovelMode mode);

// Trace lines (nothing when no trace is open): a frame that has crossed the bus, and a
// status message the adapter reports.
void simTraceFrame(SimHand* hand, const CanFrame* frame, int64_t atUs);
void simTraceStatus(SimHand* hand, const CanFrame* status, int64_t atUs);
