// The simulated hand: the four Dovels (controller IDs 11 to 14) and the host's adapter
// port on one virtual 1 Mbit/s CAN bus, driven from outside by time.
//
// Every operation takes the time at which it happens, in microseconds of the hand's own
// time line (0 when the hand is made). The hand never reads a clock: the caller decides
// whether that time is virtual (it jumps) or real (it follows a wall clock), and may
// call from any process or library; all state is in the SimHand record. Times must not
// go backwards; an earlier time is taken as the hand's present.
//
// The host port is the adapter as the host sees it: frames the host writes go onto the
// bus in the order written; frames from other nodes that pass its acceptance filter
// queue up in order of arrival until the host reads them; the adapter's own status
// messages and read failures come through it as well. The filter is applied by the hand.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "can/can_frame.h"

struct SimHand;

// What a read gives once under the read-error fault.
constexpr int32_t SIM_READ_ERROR = 0x0100;
// What every adapter operation gives once the adapter has been pulled out (the
// unplug-after fault): the adapter is no longer there.
constexpr int32_t SIM_ADAPTER_GONE = 0x1000;
// What a write and the link's start-up calls give once the link-down-after fault has
// taken the link away.
constexpr int32_t SIM_LINK_DOWN = 0x2000;
// What a write of a frame the bus cannot carry gives (TYPE not standard, an identifier
// beyond 11 bits, LEN above 8), and an initialisation with another bit rate than 1 Mbit/s.
constexpr int32_t SIM_ILLEGAL_PARAMETER = 0x4000;
// What a write gives while the adapter already holds SIM_HOST_TRANSMIT_CAPACITY frames
// that have not reached the bus.
constexpr int32_t SIM_TRANSMIT_QUEUE_FULL = 0x0080;
constexpr int SIM_HOST_TRANSMIT_CAPACITY = 1024;
// The exit status of a process that halt-after or power-off-after ends: the status a
// shell shows for a process killed outright, on every platform.
constexpr int SIM_ABRUPT_EXIT_STATUS = 137;
// No event is pending.
constexpr int64_t SIM_NO_EVENT = INT64_MAX;
// The widest acceptance filter: every standard identifier.
constexpr uint32_t SIM_HIGHEST_STANDARD_ID = 0x7FF;

// Makes a hand from an option list (see sim/sim_options.h); nullptr with *error naming
// the first unknown or malformed option, or saying why the state file is refused.
// Destroying a hand with a state file settles it and writes the file.
SimHand* simHandCreate(const char* options, std::string* error);
void simHandDestroy(SimHand* hand);

// Whether the options asked for a virtual clock ("fast").
bool simHandUsesFastClock(const SimHand* hand);

// How the hand writes its trace. Line buffering makes the file follow a real-time run
// as it happens. epochUs is the wall clock (microseconds since the epoch) at the hand's
// time 0, so that the trace is stamped like any candump log. unmasked: the access code
// is written as it is (protocol/access_code_mask.h).
struct SimTraceSettings {
    bool lineBuffered;
    int64_t epochUs;
    bool unmasked;
};

// Writes every frame on the bus, both directions, to a candump log file from now on
// (can/candump_line.h), and the adapter's status messages as the link's trace writes
// them, error frames. 0, or 1 when the file cannot be made.
int simHandTraceTo(SimHand* hand, const char* path, const SimTraceSettings& settings);

// Whether the link-down-after fault has taken the host's link away.
bool simHandLinkDown(const SimHand* hand);

// The hand's present time.
int64_t simHandNowUs(const SimHand* hand);

// Frames that have ended on the bus so far, both directions: what unplug-after,
// halt-after and power-off-after count, and the frame lines of the bus trace.
long simHandFramesDone(const SimHand* hand);

// Runs the bus and the controllers up to and including atUs.
void simHandAdvance(SimHand* hand, int64_t atUs);

// Time of the next thing that happens inside the hand by itself (a frame starting or
// ending on the bus, a controller finishing a step), or SIM_NO_EVENT. No frame reaches
// the host before it, so a real-time driver may sleep until then.
int64_t simHandNextEventUs(const SimHand* hand);

// Runs the hand until a frame (or a read failure) is due for the host, or up to limitUs
// if none comes by then. Returns the time reached, which is the hand's present after.
int64_t simHandRunToDelivery(SimHand* hand, int64_t limitUs);

// Runs the hand until nothing is pending any more (frames in line for the bus, resets,
// downloads): the state it comes to rest in once the host has stopped. Returns the time.
int64_t simHandSettle(SimHand* hand);

// The adapter's five operations as the hand offers them, each at time atUs.
// Write: 0, SIM_ILLEGAL_PARAMETER for a frame the bus cannot carry, or
// SIM_TRANSMIT_QUEUE_FULL.
int32_t simHandHostWrite(SimHand* hand, int64_t atUs, const CanFrame* frame);
// Read: 0 with the oldest queued frame, RX_QUEUE_EMPTY, or SIM_READ_ERROR.
int32_t simHandHostRead(SimHand* hand, int64_t atUs, CanFrame* frame);
// Whether a read at atUs would give a frame or a failure.
bool simHandHostFrameDue(SimHand* hand, int64_t atUs);
// Empties the receive queue, as an adapter reset does; the controllers keep their state.
// 0, or SIM_ADAPTER_GONE.
int32_t simHandHostClear(SimHand* hand, int64_t atUs);
// Only standard frames with identifiers from lowestId to highestId reach the queue from
// now on (status messages always do). A new hand accepts every identifier. 0, or
// SIM_ADAPTER_GONE.
int32_t simHandHostFilter(SimHand* hand, int64_t atUs, uint32_t lowestId, uint32_t highestId);

// One line per controller, e.g.
// "sim: dovel 11: main ROLE(stored)=0x1225 flash=16384 bytes crc32=0x… records=512
// bad=0 lost=0"; " image=incomplete" is added for a controller that runs, or at its
// next reset will boot, a main firmware that was only partly written (a damaged
// controller: that firmware neither answers nor listens).
void simHandReport(const SimHand* hand, std::FILE* out);

enum SimDovelMode { SIM_MODE_MAIN, SIM_MODE_MONITOR, SIM_MODE_RESETTING };

// What a controller's flash holds: the firmware it left the factory with, an image that a
// download erased and has not finished (the termination record never came), the image of
// a download that finished, or one whose termination record came but which placed no
// byte or had a record refused: the monitor will not start it, and stays in the monitor
// after a reset whatever the role code.
enum SimFlashImage {
    SIM_IMAGE_FACTORY,
    SIM_IMAGE_INCOMPLETE,
    SIM_IMAGE_COMPLETE,
    SIM_IMAGE_REFUSED
};

// A controller's state, for checks from outside.
struct SimDovelState {
    int node;
    SimDovelMode mode;
    uint16_t ramRole;
    uint16_t storedRole;
    bool unlocked;
    bool downloading;       // between a start request and the termination record
    bool downloadComplete;  // the termination record of the last download was taken
    int charactersTaken;    // of the last download
    int charactersLost;     // arrived with the receive FIFO full
    int records;            // data records written into flash by the last download
    int badRecords;
    int resets;
    int stores;         // STORE requests taken
    int framesIgnored;  // addressed to it while resetting or busy storing
    std::map<uint32_t, uint8_t> flash;
    uint32_t flashCrc32;  // CRC-32 of the flash bytes in address order
    SimFlashImage image;
};

// 0 with the state of controller node, or 1 when the hand has no such controller.
int simHandDovelState(const SimHand* hand, int node, SimDovelState* state);
