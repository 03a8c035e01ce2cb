#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "can/bus_lock.h"

namespace {

constexpr int NO_SOCKET = -1;
// What `ss -xlp | grep dovelflash` finds the holder by.
constexpr const char* NAME_PREFIX = "dovelflash-";
// Room for every refused run that asks the holder's name: the holder never accepts, so
// each one stays queued until the holder ends.
constexpr int REFUSED_RUNS_QUEUED = SOMAXCONN;
constexpr uint64_t FNV_PRIME = 0x100000001b3ULL;
constexpr uint64_t FNV_OFFSETS[] = {0xcbf29ce484222325ULL, 0x84222325cbf29ce4ULL};
constexpr size_t HASH_HEX_DIGITS = 16;
// Where the kernel shows a user that this namespace cannot name.
constexpr const char* OVERFLOW_UID_FILE = "/proc/sys/kernel/overflowuid";

struct HeldLock {
    int fd;
    std::string name;
};

HeldLock held = {NO_SOCKET, ""};

// An abstract name has at most sizeof sun_path - 1 bytes; a longer lock name (the
// real path of a deep state file) is shortened to its start and a hash of the whole.
std::string abstractName(const std::string& lockName) {
    const std::string name = NAME_PREFIX + lockName;
    constexpr size_t room = sizeof(sockaddr_un{}.sun_path) - 1;
    if (name.size() <= room) {
        return name;
    }
    std::string hash;
    for (uint64_t value : FNV_OFFSETS) {
        for (unsigned char c : name) {
            value = (value ^ c) * FNV_PRIME;
        }
        char hex[HASH_HEX_DIGITS + 1];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(value));
        hash += hex;
    }
    return name.substr(0, room - hash.size() - 1) + "#" + hash;
}

socklen_t abstractAddress(const std::string& name, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    // sun_path[0] stays 0: the name lives in the abstract namespace, not on disk.
    std::memcpy(address->sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

bool isOverflowUid(uid_t uid) {
    std::ifstream file(OVERFLOW_UID_FILE);
    long overflow = -1;
    return file >> overflow && static_cast<long>(uid) == overflow;
}

std::string userName(uid_t uid) {
    if (isOverflowUid(uid)) {
        return "";
    }
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

// The holder listens on the name; a connection tells who made it listen. Never
// blocks: a holder whose queue is full, or a name bound by a program that does not
// listen, is left unnamed.
BusHolder askHolder(const sockaddr_un& address, socklen_t length) {
    BusHolder holder;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return holder;
    }
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) == 0) {
        // A process of another PID namespace reads as 0.
        holder.pid = peer.pid;
        holder.user = userName(peer.uid);
    }
    close(fd);
    return holder;
}

int failLock(const std::string& name, int error, int fd) {
    std::fprintf(stderr, "dovelflash: cannot lock @%s: %s\n", name.c_str(), std::strerror(error));
    if (fd != NO_SOCKET) {
        close(fd);
    }
    return BUS_LOCK_FAILED;
}

}  // namespace

int busLockTake(const BusName& bus, BusHolder* holder) {
    *holder = BusHolder{};
    if (bus.lockName.empty()) {
        return BUS_TAKEN;
    }
    const std::string name = abstractName(bus.lockName);
    if (held.fd != NO_SOCKET && held.name == name) {
        return BUS_TAKEN;
    }
    busLockRelease();
    sockaddr_un address{};
    const socklen_t length = abstractAddress(name, &address);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return failLock(name, errno, NO_SOCKET);
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        if (errno != EADDRINUSE) {
            return failLock(name, errno, fd);
        }
        close(fd);
        *holder = askHolder(address, length);
        return BUS_IN_USE;
    }
    if (listen(fd, REFUSED_RUNS_QUEUED) != 0) {
        return failLock(name, errno, fd);
    }
    held = {fd, name};
    return BUS_TAKEN;
}

void busLockRelease() {
    if (held.fd != NO_SOCKET) {
        close(held.fd);
        held = {NO_SOCKET, ""};
    }
}
