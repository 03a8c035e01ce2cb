#include <windows.h>

#include <cctype>
#include <cstdio>

#include "can/clock.h"
#include "can/slcan_port.h"

namespace {

constexpr int64_t US_PER_MS = 1000;
constexpr int WRITE_RETRY_PAUSE_MS = 1;
// How often a wait looks at the port's input queue: a COM port signals nothing that a
// wait with a deadline could take without overlapped reads.
constexpr int WAIT_STEP_MS = 1;
constexpr size_t MESSAGE_SIZE = 256;

struct OpenPort {
    HANDLE handle;
    std::string name;
    std::string goneReason;
};

OpenPort openPort = {INVALID_HANDLE_VALUE, "", ""};

std::string systemMessage(DWORD error) {
    char text[MESSAGE_SIZE] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

// COM1 to COM9 open by their names; COM10 and above only by the device path, which
// every COM port takes.
std::string devicePath(const std::string& port) {
    return port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
}

// The port's name as Windows names its device, upper case: one bus for "com5" and "COM5".
std::string deviceName(const std::string& port) {
    std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

bool portGone(DWORD error) {
    return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_GEN_FAILURE || error == ERROR_OPERATION_ABORTED ||
           error == ERROR_ACCESS_DENIED || error == ERROR_FILE_NOT_FOUND;
}

void noteGone(DWORD error) {
    if (openPort.goneReason.empty()) {
        openPort.goneReason = openPort.name + ": " + systemMessage(error);
    }
}

SlcanPortOpenResult failOpen(HANDLE handle, SlcanPortOpenResult result, const std::string& why,
                             std::string* out) {
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    *out = why;
    return result;
}

}  // namespace

SlcanPortOpenResult slcanPortOpen(const std::string& port, uint32_t baud, std::string* why) {
    slcanPortClose();
    // No sharing: a COM port is this process's alone while it is open.
    const HANDLE handle = CreateFileA(devicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
            return failOpen(handle, SLCAN_PORT_BUSY, port + ": in use by another program", why);
        }
        const SlcanPortOpenResult result =
            error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? SLCAN_PORT_MISSING
                                                                           : SLCAN_PORT_FAILED;
        return failOpen(handle, result, port + ": " + systemMessage(error), why);
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!GetCommState(handle, &settings)) {
        return failOpen(handle, SLCAN_PORT_FAILED,
                        port + ": not a serial port: " + systemMessage(GetLastError()), why);
    }
    settings.BaudRate = baud;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
    // Reads return at once with what has arrived; writes wait at most the write limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutConstant = SLCAN_PORT_WRITE_LIMIT_MS;
    if (!SetCommState(handle, &settings) || !SetCommTimeouts(handle, &timeouts)) {
        return failOpen(handle, SLCAN_PORT_FAILED,
                        port + ": cannot set it up at " + std::to_string(baud) +
                            " baud: " + systemMessage(GetLastError()),
                        why);
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    openPort.handle = handle;
    openPort.name = port;
    openPort.goneReason.clear();
    return SLCAN_PORT_OPEN;
}

bool slcanPortIsOpen() { return openPort.handle != INVALID_HANDLE_VALUE; }

long slcanPortRead(char* buffer, size_t size, std::string* why) {
    if (openPort.handle == INVALID_HANDLE_VALUE) {
        *why = "the port is not open";
        return -1;
    }
    DWORD got = 0;
    if (!ReadFile(openPort.handle, buffer, static_cast<DWORD>(size), &got, nullptr)) {
        noteGone(GetLastError());
        *why = openPort.goneReason;
        return -1;
    }
    return static_cast<long>(got);
}

int slcanPortWrite(const char* bytes, size_t count, std::string* why, bool* gone) {
    *gone = false;
    if (openPort.handle == INVALID_HANDLE_VALUE) {
        *why = "the port is not open";
        return 1;
    }
    const int64_t giveUpUs = realClockNowUs() + SLCAN_PORT_WRITE_LIMIT_MS * US_PER_MS;
    size_t done = 0;
    while (done < count) {
        DWORD wrote = 0;
        if (!WriteFile(openPort.handle, bytes + done, static_cast<DWORD>(count - done), &wrote,
                       nullptr)) {
            const DWORD error = GetLastError();
            if (portGone(error)) {
                noteGone(error);
                *gone = true;
                *why = openPort.goneReason;
            } else {
                *why = openPort.name + ": " + systemMessage(error);
            }
            return 1;
        }
        done += wrote;
        if (wrote == 0) {
            if (realClockNowUs() >= giveUpUs) {
                *why = openPort.name + ": the port takes no more bytes";
                return 1;
            }
            realSleepUs(WRITE_RETRY_PAUSE_MS * US_PER_MS);
        }
    }
    return 0;
}

void slcanPortWait(int64_t deadlineUs) {
    if (openPort.handle == INVALID_HANDLE_VALUE) {
        return;
    }
    while (clockNowUs() < deadlineUs) {
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(openPort.handle, &errors, &status) || status.cbInQue > 0) {
            return;
        }
        sleepMs(WAIT_STEP_MS);
    }
}

const char* slcanPortGone() {
    if (openPort.handle != INVALID_HANDLE_VALUE && openPort.goneReason.empty()) {
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(openPort.handle, &errors, &status)) {
            noteGone(GetLastError());
        }
    }
    return openPort.goneReason.empty() ? nullptr : openPort.goneReason.c_str();
}

void slcanPortClose() {
    if (openPort.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(openPort.handle);
        openPort.handle = INVALID_HANDLE_VALUE;
    }
    openPort.goneReason.clear();
}

void slcanPortNameBus(const std::string& port, BusName* bus) {
    bus->shown = port;
    bus->lockName = "slcan-" + deviceName(port);
}

std::string slcanPortShortName(const std::string& port) { return deviceName(port); }
