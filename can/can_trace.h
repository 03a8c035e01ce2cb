// The link's trace, asked for with DOVEL_CAN_TRACE=FILE: every frame the utility
// writes and every frame it reads, whatever the backend, as a candump log and nothing
// else (can/candump_line.h), so that the CAN tools read it as it is:
//
//   (1765234567.100480) can0 00B#03
//   (1765234567.100731) can0 20B#83000B
//   (1765234569.412003) can0 20000080#0000000800000000
//
// An adapter status record is an error frame: CAN_TRACE_STATUS_CLASS in the ID and the
// record's own data bytes, in order, padded with zeros to eight; what each bit means
// is the adapter's business. A backend that reads the kernel's error frames gives them
// to the trace as they came (canTraceErrorFrame). What is not a frame on the bus (the
// start-up calls, a read or write that failed, a record of another type) is not in the
// trace: the console and standard error tell it. What is written of each frame is what
// the trace's filter makes of it (the access code masked: protocol/access_code_mask.h).
// Each line reaches the file as it is made (one write per
// line, nothing held back in the process), so the trace of a run that is killed ends
// with its last frame and no signal handler is needed to keep it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "can/can_frame.h"
#include "can/candump_line.h"

constexpr const char* CAN_TRACE_VARIABLE = "DOVEL_CAN_TRACE";

// CAN_ERR_BUSERROR of linux/can/error.h, the one error class of an adapter's status
// message: python-can's CanutilsLogReader takes a line as an error frame only with
// this class, and the class gives no data byte a meaning of its own, so the adapter's
// bytes can stand there without a decoder reading them as something else.
constexpr uint32_t CAN_TRACE_STATUS_CLASS = 0x00000080;

// What a trace writes of a frame, in place of the frame (nullptr: the frame as it is).
using CanTraceFilter = CanFrame (*)(const CanFrame& frame);

// Creates path as a trace file, emptying it; ownerOnly: readable by its owner alone,
// whatever mode a file already there had. nullptr with errno set when it cannot be made.
std::FILE* canTraceCreateFile(const char* path, bool ownerOnly);

// Opens path as the trace (canTraceCreateFile) unless a trace is open already in this
// process. 0, or the errno value that says why the file cannot be made.
int canTraceOpen(const char* path, CanTraceFilter filter, bool ownerOnly);

// Whether lines are being written: a trace is open and no write has failed.
bool canTraceActive();

// Closes the trace; the next canTraceOpen starts a new one.
void canTraceClose();

// The line for one adapter operation, stamped stampUs on interface iface; nothing
// unless canTraceActive() and the operation put a frame on the bus or took one from
// it. A write to the file that fails is reported once on standard error and ends the
// trace; the run goes on.
void canTraceWritten(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result);
void canTraceRead(int64_t stampUs, const char* iface, const CanFrame& frame, int32_t result);
// A status record read as the backend received it: the kernel's error frame.
void canTraceErrorFrame(int64_t stampUs, const char* iface, const CanErrorFrame& frame);

// The error frame an adapter's status record is written as.
CanErrorFrame canTraceStatusErrorFrame(const CanFrame& status);

// The host's wall clock in microseconds since the epoch, as candump stamps its lines.
int64_t canTraceWallClockUs();
