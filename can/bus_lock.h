// One run per bus. Two runs on one bus would take each other's replies for their own
// and interleave two images in the controllers' monitors, so the link start-up takes
// the bus first and a second run is refused before it sends anything.
//
// The lock is one the kernel lets go of when the process ends, however it ends (killed,
// power lost): on Linux flock() on a lock file, on Windows a named mutex or a lock on a
// lock file. The lock file's existence means nothing; it holds the holder's process ID
// only so that a refused run can name it.
#pragma once

#include <string>

// Which bus a backend's link occupies; every field empty: the backend needs no lock.
struct BusName {
    std::string shown;     // how the console names the bus, e.g. "can0"
    std::string lockName;  // a lock of the whole machine, e.g. "socketcan-can0", or
    std::string lockFile;  // a lock file at this path
};

enum BusLockResult {
    BUS_TAKEN = 0,
    BUS_IN_USE,       // another process holds it
    BUS_LOCK_FAILED,  // the lock cannot be made (line on standard error)
};

// Takes the bus for this process. *holder: the holder's process ID when the bus is in
// use and the holder can be told, else 0. Taking the bus this process holds already
// succeeds; taking another lets go of the one held first.
int busLockTake(const BusName& bus, long* holder);

// Lets go of the bus this process holds, if any.
void busLockRelease();
