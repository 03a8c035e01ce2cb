#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "can/bus_lock.h"

namespace {

// Global: the adapter is one for the whole machine, whoever is logged on.
constexpr const char* MUTEX_PREFIX = "Global\\dovelflash-";
// The byte of a lock file that is locked lies far past the holder's ID at its start,
// so that a refused run can still read the ID.
constexpr DWORD LOCKED_BYTE_OFFSET = 0x40000000;
// The holder's ID is written right-aligned in a field of fixed width, so that a shorter
// ID never leaves digits of a longer one behind.
constexpr int HOLDER_FIELD_WIDTH = 20;
constexpr size_t HOLDER_TEXT_SIZE = 32;

struct HeldLock {
    HANDLE mutex;
    HANDLE file;
    std::string key;
    bool toExit;
};

HeldLock held = {nullptr, INVALID_HANDLE_VALUE, "", false};

int takeMutex(const std::string& name) {
    const std::string fullName = MUTEX_PREFIX + name;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, fullName.c_str());
    if (mutex == nullptr) {
        // The mutex exists and belongs to another user's run.
        if (GetLastError() == ERROR_ACCESS_DENIED) {
            return BUS_IN_USE;
        }
        std::fprintf(stderr, "dovelflash: cannot make the lock %s (Windows error %lu)\n",
                     fullName.c_str(), static_cast<unsigned long>(GetLastError()));
        return BUS_LOCK_FAILED;
    }
    const DWORD waited = WaitForSingleObject(mutex, 0);
    // Abandoned: its holder ended without letting go, and the mutex is this run's now.
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        held.mutex = mutex;
        return BUS_TAKEN;
    }
    CloseHandle(mutex);
    return BUS_IN_USE;
}

long storedHolder(HANDLE file) {
    char text[HOLDER_TEXT_SIZE] = {};
    DWORD length = 0;
    OVERLAPPED start{};
    if (!ReadFile(file, text, sizeof text - 1, &length, &start)) {
        return 0;
    }
    return std::strtol(text, nullptr, 10);
}

void storeHolder(HANDLE file) {
    char text[HOLDER_TEXT_SIZE];
    const int length = std::snprintf(text, sizeof text, "%*lu\n", HOLDER_FIELD_WIDTH,
                                     static_cast<unsigned long>(GetCurrentProcessId()));
    DWORD written = 0;
    OVERLAPPED start{};
    WriteFile(file, text, static_cast<DWORD>(length), &written, &start);
}

int takeFile(const std::string& path, BusHolder* holder) {
    // The reparse-point flag opens a link itself instead of what it points to.
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "dovelflash: cannot lock %s (Windows error %lu)\n", path.c_str(),
                     static_cast<unsigned long>(GetLastError()));
        return BUS_LOCK_FAILED;
    }
    OVERLAPPED lockedByte{};
    lockedByte.Offset = LOCKED_BYTE_OFFSET;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &lockedByte)) {
        const DWORD error = GetLastError();
        if (error == ERROR_LOCK_VIOLATION) {
            holder->pid = storedHolder(file);
        } else {
            std::fprintf(stderr, "dovelflash: cannot lock %s (Windows error %lu)\n", path.c_str(),
                         static_cast<unsigned long>(error));
        }
        CloseHandle(file);
        return error == ERROR_LOCK_VIOLATION ? BUS_IN_USE : BUS_LOCK_FAILED;
    }
    storeHolder(file);
    held.file = file;
    return BUS_TAKEN;
}

}  // namespace

int busLockTake(const BusName& bus, BusHolder* holder) {
    *holder = BusHolder{};
    const std::string key = !bus.lockFile.empty()   ? "file:" + bus.lockFile
                            : !bus.lockName.empty() ? "mutex:" + bus.lockName
                                                    : "";
    if (key.empty() || (!held.key.empty() && held.key == key)) {
        return BUS_TAKEN;
    }
    busLockRelease();
    // A lock held to the exit stays held (one bus per run: it is never another).
    if (!held.key.empty()) {
        return BUS_LOCK_FAILED;
    }
    const int taken =
        !bus.lockFile.empty() ? takeFile(bus.lockFile, holder) : takeMutex(bus.lockName);
    if (taken == BUS_TAKEN) {
        held.key = key;
        held.toExit = bus.heldToExit;
    }
    return taken;
}

// A lock held to the exit is let go by the system when the process ends.
void busLockRelease() {
    if (held.toExit) {
        return;
    }
    if (held.mutex != nullptr) {
        ReleaseMutex(held.mutex);
        CloseHandle(held.mutex);
    }
    if (held.file != INVALID_HANDLE_VALUE) {
        CloseHandle(held.file);
    }
    held = {nullptr, INVALID_HANDLE_VALUE, "", false};
}
