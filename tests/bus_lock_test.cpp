// The bus lock on Linux: an abstract Unix socket, met by every process of the machine.
#if defined(__linux__)
#include "can/bus_lock.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace {

// A socket of another program bound at the lock's name, listening or not.
int bindForeign(const std::string& lockName, bool listening) {
    const std::string name = "dovelflash-" + lockName;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path + 1, name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    if (listening) {
        EXPECT_EQ(listen(fd, 1), 0);
    }
    return fd;
}

std::string uniqueLockName(const std::string& stem) {
    return "test-" + stem + "-" + std::to_string(getpid());
}

TEST(BusLock, TheHolderIsNamedOnlyWhenItListens) {
    for (const bool listening : {false, true}) {
        const std::string lockName = uniqueLockName(listening ? "listening" : "silent");
        const int foreign = bindForeign(lockName, listening);
        BusHolder holder{-1, "x"};
        EXPECT_EQ(busLockTake(BusName{"bus", lockName, ""}, &holder), BUS_IN_USE);
        EXPECT_EQ(holder.pid, listening ? getpid() : 0);
        EXPECT_EQ(holder.user, listening ? getpwuid(getuid())->pw_name : "");
        close(foreign);
        EXPECT_EQ(busLockTake(BusName{"bus", lockName, ""}, &holder), BUS_TAKEN)
            << "the kernel let go of the name with its socket";
        busLockRelease();
    }
}

// Names longer than an abstract address holds are shortened with a hash of the whole:
// two that differ only at their end are two locks.
TEST(BusLock, LongNamesThatDifferAtTheEndAreTwoLocks) {
    const std::string stem = uniqueLockName("long") + std::string(200, 'x');
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        BusHolder holder;
        const int taken = busLockTake(BusName{"bus", stem + "a", ""}, &holder);
        (void)!write(ready[1], &taken, sizeof taken);
        pause();
        _exit(0);
    }
    int taken = -1;
    ASSERT_EQ(read(ready[0], &taken, sizeof taken), static_cast<ssize_t>(sizeof taken));
    EXPECT_EQ(taken, BUS_TAKEN);
    BusHolder holder;
    EXPECT_EQ(busLockTake(BusName{"bus", stem + "a", ""}, &holder), BUS_IN_USE);
    EXPECT_EQ(holder.pid, child);
    EXPECT_EQ(busLockTake(BusName{"bus", stem + "b", ""}, &holder), BUS_TAKEN);
    busLockRelease();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
}

}  // namespace

#endif
