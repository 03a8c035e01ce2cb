// Link start-up and reception of one reply frame.
#pragma once

#include <cstdint>

#include "can/can_frame.h"
#include "can/reply_owners.h"

// How long readReply waits without any frame before it gives up.
constexpr int REPLY_TIMEOUT_MS = 1000;

// After a failed read, the next read waits this long: an adapter that fails every read
// (pulled out of its port) is not read in a busy loop.
constexpr int READ_ERROR_PAUSE_MS = 10;

// Frames discarded at most by one discardQueuedFrames call, so that a bus that keeps
// the queue full cannot hold the utility.
constexpr int MAX_FRAMES_DISCARDED = 256;

enum ReplyOutcome {
    REPLY_STANDARD = 0,  // a standard data frame, now in the caller's record
    REPLY_STATUS,        // the adapter's status message (line printed)
    REPLY_OTHER_TYPE,    // a frame of another type (nothing printed)
    REPLY_READ_ERROR,    // CAN_Read failed (line printed)
    REPLY_TIMEOUT,       // nothing arrived within REPLY_TIMEOUT_MS (line printed)
    REPLY_LINK_DOWN,     // the link is gone or down (canLinkDown): waiting cannot help
};

// canStart's result when the bus is not this run's: another process holds it, or its lock
// cannot be made. The line saying so is printed; no adapter operation was called.
constexpr int32_t CAN_ERR_BUS_NOT_TAKEN = 0x200000;

// Opens the link: takes the bus (can/bus_lock.h), then CAN_Init, CAN_ResetClient,
// CAN_MsgFilter, one result line each. 0, or the code of the first step that failed.
// A bus in use is refused with "[FAILED] BUS is in use by process PID of user NAME",
// the process or the user left out when the system does not tell it.
int32_t canStart();

// Why the last canStart failed, as its result line says it ("CAN_Init(): 3",
// "can0 is in use"), or nullptr when it did not.
const char* canStartProblem();

// Ends the link and lets go of the bus, so that the next run may take it at once.
void canFinish();

// Takes the next received frame into *frame: 0 for a standard data frame, 1 otherwise.
int readReply(CanFrame* frame);

// readReply with the kind of failure told apart. A link that is gone or down ends the
// wait at once, with "ERROR - the CAN link is down (%s)". Asked for a controller, a
// standard frame of an identifier proven another controller's (can/reply_owners.h) is
// passed over and the wait goes on within its bound.
ReplyOutcome awaitReply(CanFrame* frame, int askedController = ANY_CONTROLLER);

// Prints the line for an adapter status message.
void printStatusMessage(const CanFrame* frame);

// Whether the timeout's line and the read errors' lines are printed (status messages
// always are).
enum TimeoutReport { PRINT_TIMEOUT, QUIET_TIMEOUT };

// Waits for a standard data frame until the clock reaches deadlineUs: read errors,
// status messages and frames of other types are no answer and do not extend the wait.
// Each is printed as awaitReply prints it, but the same error or status repeated
// within one wait only once; failed reads are spaced READ_ERROR_PAUSE_MS apart. The wait
// ends at once with REPLY_LINK_DOWN when the link is gone or down (canLinkDown; every
// read failing for CAN_LINK_LOST_AFTER_MS counts), with nothing printed: the caller
// names the link. REPLY_STANDARD with the frame, or REPLY_TIMEOUT after printing
// "ERROR - no reply within %d ms" with timeoutMs, the bound the caller gave.
// Asked for a controller, it passes over frames proven another controller's as awaitReply
// does.
ReplyOutcome awaitStandardReply(CanFrame* frame, int64_t deadlineUs, int timeoutMs,
                                TimeoutReport report = PRINT_TIMEOUT,
                                int askedController = ANY_CONTROLLER);

// Reads and drops what the receive queue already holds, so that the next frame read
// is one sent after this call; the adapter's status messages among them are printed,
// so no bus problem goes unreported. Returns the number of frames dropped.
int discardQueuedFrames();
