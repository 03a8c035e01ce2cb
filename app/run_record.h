// The run's record for programs: with DOVEL_REPORT=FILE, every run that gets past its
// settings appends one JSON object as one line to FILE (JSON Lines); "--check" appends one
// per image. Nothing here prints to standard output. The record's fields are documented in
// docs/run-record.md; a field may be added in a later schema, never renamed or
// removed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/download_mode.h"
#include "app/file_check.h"
#include "app/run_settings.h"
#include "app/update_walks.h"
#include "protocol/dovel_check.h"

constexpr int RUN_RECORD_SCHEMA = 1;
// The exit status under DOVEL_EXIT_STATUS=report of a run that would have ended with 0
// but whose record could not be written.
constexpr int EXIT_RECORD_NOT_WRITTEN = 3;

// Starts the run's record. reportPath nullptr or "" keeps none, and every other call does
// nothing; handLabel nullptr or "" records no label. The words of the command line are
// recorded as given.
void recordBegin(const char* reportPath, const char* handLabel, RunMode command, int argc,
                 char** argv);
// A setting or a word of the command line the run refused, and why; one call per
// refusal. Not for a refused DOVEL_REPORT: such a run keeps no record.
void recordSettingsRefused(const char* why);
// The link is up: its backend and interface are recorded.
void recordLink();
// A link start-up failed: the adapter's words for why (the last failed attempt's are
// kept).
void recordLinkFailed(const char* problem);
void recordDownloadMode(DownloadMode mode);
// The controllers DOVEL_IDS named, when given; without it the record says null (all four).
void recordDovelIds(bool given, DovelIds ids);
// The file check's verdict for the image at path. For "--check", each call is one
// record of its own.
void recordImage(const char* path, const FirmwareFileCheck& check);
// An image refused before it was read (its path too long): the problem alone.
void recordImageRefused(const char* path, const char* problem);
// One controller of "--status" and what its check read.
void recordStatusDovel(int id, DovelCheck check, const DovelCheckAnswer& readings);

// Where the run is, for the record an interruption leaves.
enum RunPhase {
    PHASE_START_UP,      // settings read, the link starting
    PHASE_RETRY_PROMPT,  // the link did not start: the operator is asked
    PHASE_FILE_CHECK,
    PHASE_STATUS_CHECK,
    PHASE_PREPARING,  // the walks, each step for one controller or (0) for all
    PHASE_RESET_WAIT,
    PHASE_DOWNLOADING,
    PHASE_RESTORING,
    PHASE_CHECKING,
    PHASE_SUMMARY,  // the walks are over
};
// The run enters a phase; dovelId names the controller a walk's step is for, 0 for every
// controller (downloads together) or none. Rebuilds the interrupted run's record.
void recordPhase(RunPhase phase, int dovelId);

// The walks begin. live is the outcome the walks fill: an interruption records what it
// holds at that moment, and each controller's download counters as they stand
// (recordDownloadCounters).
void recordWalksBegin(const UpdateOutcome* live);
// The counters a running download keeps current, one per character: the interrupted
// run's record reads started, percent and characters from here when the signal comes,
// without any text made per character. recordWalksBegin points each controller at its
// own report in the live outcome; a download engine keeping its counters elsewhere points
// the controller (index 0 to 3) at them here. nullptr: what the last step recorded.
void recordDownloadCounters(int dovelIndex, const DownloadReport* report);
// What the walks know so far, after a step ended; the record an interruption would leave
// is made anew.
void recordWalksProgress(const UpdateOutcome& outcome);
// The walks' outcome, once the final check is done.
void recordUpdate(const UpdateOutcome& outcome);

// Appends the run's record (for "--check", one per image) with the exit status the run
// ends with, each in one write. Returns the status to end with: exitStatus, but
// EXIT_RECORD_NOT_WRITTEN instead of 0 when statusReported and a record could not be
// written (one line on standard error says why). Without a record begun, exitStatus.
// From here on an interruption leaves no record: the run has its one.
int recordEnd(int exitStatus, bool statusReported);

// For the handlers of Ctrl-C, termination requests and a closed terminal: appends the
// record of an interrupted run, prepared beforehand, with the download counters and the
// time now and the signal's name ("SIGINT", "CTRL_C_EVENT"). Only async-signal-safe
// calls; nothing once recordEnd has run, and at most one record.
void recordInterrupted(const char* signalName);

// For the platform's side: appends bytes to the file at path in one write, on a regular
// file opened for appending without blocking, created with mode 0644 when missing. A file
// that does not end with a line end (a record cut short) gets one first, in the same
// write, and *mended says so. 0, or the system's error code (EINVAL: not a regular file).
// Async-signal-safe on POSIX.
int appendRecordBytes(const char* path, const char* bytes, size_t size, bool* mended);
// The writer appendRecordBytes uses, for a test that makes writes fail half-way;
// nullptr puts appendRecordBytes back.
using RecordWriter = int (*)(const char* path, const char* bytes, size_t size, bool* mended);
void recordUseWriter(RecordWriter writer);
// Keeps the handled signals (Ctrl-C, termination requests) waiting while the run's own
// record is written, so that a run never leaves two records or none.
void holdInterruptions(bool hold);
// The system's text for an error code of appendRecordBytes.
const char* recordErrorText(int error);
// Writes bytes to standard error with one system call, async-signal-safe.
void writeStandardError(const char* bytes, size_t size);
// Milliseconds since 1970-01-01 UTC, async-signal-safe.
int64_t wallClockNowMs();

// "2026-12-09T11:12:27.000Z" and its NUL.
constexpr size_t UTC_TIME_SIZE = 25;
// Formats a wall-clock time as ISO 8601 in UTC with milliseconds; async-signal-safe.
void formatUtcTime(int64_t unixMs, char (&text)[UTC_TIME_SIZE]);
