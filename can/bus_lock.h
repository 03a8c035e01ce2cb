// One run per bus. Two runs on one bus would take each other's replies for their own
// and interleave two images in the controllers' monitors, so the link start-up takes
// the bus first and a second run is refused before it sends anything.
//
// The lock is one the kernel lets go of when the process ends, however it ends (killed,
// power lost), and that every user of the machine meets: on Linux an abstract-namespace
// Unix socket bound under the bus's lock name (nothing on disk; the socket's namespace
// is the network namespace, where the CAN interfaces live too), on Windows a named
// mutex or a lock on a lock file, on other systems flock() on a lock file.
#pragma once

#include <string>

// Which bus a backend's link occupies; every field empty: the backend needs no lock.
struct BusName {
    std::string shown;     // how the console names the bus, e.g. "can0"
    std::string lockName;  // the machine-wide name of its lock, e.g. "socketcan-ifindex-3";
    std::string lockFile;  // or, where the platform locks files instead, this file
    // The lock stays until the process ends, not only until the link's summary (an
    // adapter library that keeps working on its own while the process lives).
    bool heldToExit = false;
};

// Who holds a bus, as far as the system tells: 0 and "" for what it does not.
struct BusHolder {
    long pid = 0;
    std::string user;
};

enum BusLockResult {
    BUS_TAKEN = 0,
    BUS_IN_USE,       // another process holds it
    BUS_LOCK_FAILED,  // the lock cannot be made (line on standard error)
};

// Takes the bus for this process. *holder: who holds it when it is in use. Taking the
// bus this process holds already succeeds; taking another lets go of the one held
// first (unless that one is held to the exit).
int busLockTake(const BusName& bus, BusHolder* holder);

// Lets go of the bus this process holds, if any and if it is not held to the exit.
void busLockRelease();
