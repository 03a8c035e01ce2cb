// The serial port an slcan adapter sits behind: opened for this run alone, in raw mode,
// read and written without blocking. POSIX terminals in slcan_port_posix.cpp, Windows
// COM ports in slcan_port_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "can/bus_lock.h"

enum SlcanPortOpenResult {
    SLCAN_PORT_OPEN = 0,
    SLCAN_PORT_MISSING,   // no such port (the adapter unplugged, a mistyped name)
    SLCAN_PORT_BUSY,      // another program holds it
    SLCAN_PORT_ATTACHED,  // attached to SocketCAN (slcand): the kernel speaks to it
    SLCAN_PORT_FAILED,    // it cannot be opened or set up for another reason
};

// Opens the port at baud for this process alone. SLCAN_PORT_OPEN, or another result
// with *why saying what is wrong, in words for the console.
SlcanPortOpenResult slcanPortOpen(const std::string& port, uint32_t baud, std::string* why);

// Whether a port is open.
bool slcanPortIsOpen();

// Reads what has arrived, without waiting: the number of bytes (0: none yet), or -1
// when the port is gone, with *why saying so.
long slcanPortRead(char* buffer, size_t size, std::string* why);

// Writes every byte, waiting at most SLCAN_PORT_WRITE_LIMIT_MS for room: 0, or 1 with
// *why saying why they did not all go; gone: the port itself is gone.
int slcanPortWrite(const char* bytes, size_t count, std::string* why, bool* gone);

// How long a write waits for room in the port's output buffer.
constexpr int SLCAN_PORT_WRITE_LIMIT_MS = 100;

// Waits until bytes may be there to read or the clock (can/clock.h) reaches deadlineUs.
void slcanPortWait(int64_t deadlineUs);

// Whether the port is gone now (an adapter pulled out, a pseudo-terminal closed):
// nullptr, or why.
const char* slcanPortGone();

void slcanPortClose();

// The bus of a port: shown by its name, locked by the device it stands for, so that
// two names of one adapter (a /dev/serial/by-id/ link and its /dev/ttyACM0) meet one
// lock. A port that does not exist names no lock (its opening fails).
void slcanPortNameBus(const std::string& port, BusName* bus);

// The port's name as a trace line's interface: its last path part ("ttyACM0", "COM5").
std::string slcanPortShortName(const std::string& port);
