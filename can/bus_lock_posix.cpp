// The lock of a system without Linux's abstract sockets: flock() on the lock file a
// backend names (the simulated hand's, beside its state file).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/bus_lock.h"

namespace {

constexpr int NO_FILE = -1;
constexpr mode_t LOCK_FILE_MODE = 0644;
// Never through a link: a link planted at the lock file's name could make this run
// write its process ID into any file the user may write.
constexpr int LOCK_OPEN_FLAGS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// Room for a process ID as text.
constexpr size_t HOLDER_TEXT_SIZE = 32;

struct HeldLock {
    int fd;
    std::string path;
};

HeldLock held = {NO_FILE, ""};

// Opens the lock file, made if missing. Another user's lock file is opened for reading
// only: flock() needs no more, and a folder open to all may refuse to create over it.
int openLockFile(const char* path) {
    for (;;) {
        int fd = open(path, O_RDWR | LOCK_OPEN_FLAGS);
        if (fd < 0 && errno == EACCES) {
            fd = open(path, O_RDONLY | LOCK_OPEN_FLAGS);
        }
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
        fd = open(path, O_RDWR | O_CREAT | O_EXCL | LOCK_OPEN_FLAGS, LOCK_FILE_MODE);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
}

// The process ID kept in the lock file, while that process lives; else 0. A lock file
// that another user's run holds keeps the ID of whoever could write it last.
long storedHolder(int fd) {
    char text[HOLDER_TEXT_SIZE] = {};
    if (pread(fd, text, sizeof text - 1, 0) <= 0) {
        return 0;
    }
    const long pid = std::strtol(text, nullptr, 10);
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) ? pid : 0;
}

void storeHolder(int fd) {
    char text[HOLDER_TEXT_SIZE];
    const int length = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) == 0) {
        (void)!pwrite(fd, text, static_cast<size_t>(length), 0);
    }
}

int failLock(const std::string& path, const char* reason, int fd) {
    std::fprintf(stderr, "dovelflash: cannot lock %s: %s\n", path.c_str(), reason);
    if (fd != NO_FILE) {
        close(fd);
    }
    return BUS_LOCK_FAILED;
}

}  // namespace

int busLockTake(const BusName& bus, BusHolder* holder) {
    *holder = BusHolder{};
    const std::string& path = bus.lockFile;
    if (path.empty() || (held.fd != NO_FILE && held.path == path)) {
        return BUS_TAKEN;
    }
    busLockRelease();
    const int fd = openLockFile(path.c_str());
    if (fd < 0) {
        return failLock(path, std::strerror(errno), NO_FILE);
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return failLock(path, "not a regular file", fd);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            return failLock(path, std::strerror(errno), fd);
        }
        holder->pid = storedHolder(fd);
        close(fd);
        return BUS_IN_USE;
    }
    storeHolder(fd);
    held = {fd, path};
    return BUS_TAKEN;
}

void busLockRelease() {
    if (held.fd != NO_FILE) {
        close(held.fd);
        held = {NO_FILE, ""};
    }
}
