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
// The walks begin: from here until recordUpdate, Ctrl-C or a termination request leaves
// a record of the interrupted run (recordInterrupted).
void recordWalksBegin();
// What the walks know so far; the record an interruption would leave is made anew.
void recordWalksProgress(const UpdateOutcome& outcome);
// The walks' outcome, once the final check is done.
void recordUpdate(const UpdateOutcome& outcome);

// Appends the run's record (for "--check", one per image) with the exit status the run
// ends with, each in one write. Returns the status to end with: exitStatus, but
// EXIT_RECORD_NOT_WRITTEN instead of 0 when statusReported and a record could not be
// written (one line on standard error says why). Without a record begun, exitStatus.
int recordEnd(int exitStatus, bool statusReported);

// For the handlers of Ctrl-C and termination requests: appends the record of an
// interrupted run, prepared beforehand, with the time now and the signal's name ("SIGINT",
// "CTRL_C_EVENT"). Only async-signal-safe calls; nothing outside the walks.
void recordInterrupted(const char* signalName);

// For the platform's side: appends bytes to the file at path in one write, on a file
// opened for appending, created with mode 0644 when missing. 0, or the system's error
// code. Async-signal-safe on POSIX.
int appendRecordBytes(const char* path, const char* bytes, size_t size);
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
