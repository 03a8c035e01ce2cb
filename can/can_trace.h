// The link's trace, asked for with DOVEL_CAN_TRACE=FILE: every frame the utility
// writes and every record it reads, whatever the backend, in the candump log format
// that log2asc, canplayer and python-can read:
//
//   (1765234567.123456) can0 00B#03          a frame written or a standard frame read
//   # (1765234567.124000) can0 status 040#00000008
//                                            anything else, as a comment line
//
// Comments tell the link's start-up steps and their results, status records and
// records of other types, records with a LEN above 8, writes and reads that failed.
// Each line reaches the file as it is made (one write per line, nothing held back in
// the process), so the trace of a run that is killed ends with its last frame and no
// signal handler is needed to keep it.
#pragma once

#include <cstdint>

#include "can/can_frame.h"

constexpr const char* CAN_TRACE_VARIABLE = "DOVEL_CAN_TRACE";

// CAN_Init's result when the trace file cannot be opened.
constexpr int32_t CAN_ERR_TRACE_FILE = 0x100000;

// Room for the longest line, comments included.
constexpr int CAN_TRACE_LINE_SIZE = 160;

// Opens path as the trace, emptying it, unless a trace was opened before in this
// process (a retried start-up goes on in the same file). 0, or 1 after one line on
// standard error naming the file and the reason.
int canTraceOpen(const char* path);

// Whether lines are being written: a trace is open and no write has failed.
bool canTraceActive();

// Closes the trace; the next canTraceOpen starts a new one.
void canTraceClose();

// Lines for one adapter operation, stamped stampUs on interface iface; nothing
// unless canTraceActive(). A write that fails is reported once on standard error
// and ends the trace; the run goes on.
void canTraceWritten(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result);
void canTraceRead(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result);
// A comment line "# (STAMP) IFACE text".
void canTraceNote(int64_t stampUs, const char* iface, const char* text);

// The host's wall clock in microseconds since the epoch, as candump stamps its lines.
int64_t canTraceWallClockUs();
