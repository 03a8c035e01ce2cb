// The files a run writes (the traces and the run's record), checked with the other
// settings before the link starts: a run never learns after the update that its record
// or its trace could not be made, and never waits on a FIFO or a device.
#pragma once

#include <string>
#include <vector>

#include "app/run_settings.h"

// One line for each file the run would write that cannot be: a folder, a FIFO, a socket
// or a device where a file is named, a file that cannot be written, a folder that is
// missing or cannot be written. A DOVEL_REPORT refused clears settings->reportUsable: such
// a run keeps no record.
std::vector<std::string> outputFileProblems(RunSettings* settings);
