// The simulated hand's lasting state on disk (option state=FILE), so that a hand
// outlives the process: what the next run finds is what this one left.
//
// The file is text, version SIM_STATE_VERSION, one item a line:
//
//   dovelflash simulated hand state 1
//   powered 1                      0: only the lasting state below is valid
//   dovel 11 role 1225 image complete
//                                  stored ROLE (hex) and what the flash holds:
//                                  factory, incomplete or complete
//   running 11 mode monitor role 1220 unlocked 0 downloading 1 complete 0 taken 120
//     lost 0 records 3 bad 0 buffer 4 0 0A61
//                                  only when powered: the controllers went on running,
//                                  so their RAM is kept too. mode is main, monitor or
//                                  resetting (a reset in progress completes at the
//                                  next start); buffer is the record being assembled:
//                                  characters held, length announced, the characters
//                                  in hex ("-" for none). All on one line.
//   flash 11 00001000 0A0B0C...    up to SIM_STATE_FLASH_LINE_BYTES bytes from the
//                                  address on, in hex
//   end 1A2B3C4D                   CRC-32 of every byte before this line
//
// A dovel line comes for each controller, before its running and flash lines. A file
// without its end line is truncated; one whose checksum or lines are wrong is corrupt.
//
// A write goes to FILE.new first and is then renamed over FILE, so the file is whole at
// any moment the process may be killed: it holds the hand as it was at the last write.
// The hand writes when something lasting changes: a ROLE stored, a reset, a download
// started (the flash erased), every SIM_STATE_RECORDS_PER_WRITE records written and the
// termination record; and when the run ends, however the hand ends it.
#pragma once

#include <string>

#include "sim/hand_state.h"

// Where a write goes before it is renamed over FILE.
constexpr const char* SIM_STATE_NEW_SUFFIX = ".new";
constexpr int SIM_STATE_VERSION = 1;
constexpr int SIM_STATE_RECORDS_PER_WRITE = 256;
constexpr int SIM_STATE_FLASH_LINE_BYTES = 64;

enum SimStateLoad { SIM_STATE_LOADED, SIM_STATE_MISSING, SIM_STATE_REFUSED };

// Gives the hand's controllers the state in path. SIM_STATE_REFUSED with *error saying
// why when the file exists but cannot be read, is empty, truncated, corrupt or of another
// version; it is then left as it is.
SimStateLoad simStateLoad(SimHand* hand, const std::string& path, std::string* error);

// Writes the hand's state to its state file; powered says whether the controllers keep
// their running state. 0, or 1 when the file cannot be written.
int simStateWrite(const SimHand* hand, bool powered);
