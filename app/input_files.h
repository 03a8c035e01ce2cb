// The files a run reads, and the traces it writes: a trace never lands on a file the run
// reads, whatever path names it (a link, "dir/../file", another spelling).
#pragma once

#include <string>
#include <vector>

#include "app/run_settings.h"

// Whether two paths reach one file: the same file where both exist (a hard link too),
// else the same real path (sim/state_path.h), the one the state file's lock is taken by.
bool sameFile(const std::string& a, const std::string& b);

// One line for each file the run writes (the traces, the run's record, the simulated
// hand's state file) that is a file the run reads (the images, their release checksum
// files, the state file and its FILE.new) or another it writes. A record that is refused
// clears settings->reportUsable: such a run keeps no record.
std::vector<std::string> overwriteProblems(RunSettings* settings);
