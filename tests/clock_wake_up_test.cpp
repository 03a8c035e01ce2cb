// The settings a thread makes before its first real sleep, so that it wakes on time.
#if defined(__linux__)
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <thread>

#include "can/clock.h"

namespace {

constexpr int64_t US_PER_S = 1000000;
constexpr uint64_t EXPECTED_SLICE_NS = 100000;
// The first kernel that honours a normal thread's slice request.
constexpr int SLICE_KERNEL_MAJOR = 6;
constexpr int SLICE_KERNEL_MINOR = 12;

struct SchedAttributes {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
    uint32_t utilMin;
    uint32_t utilMax;
};

bool kernelHonoursSlices() {
    utsname name{};
    int major = 0;
    int minor = 0;
    return uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
           (major > SLICE_KERNEL_MAJOR ||
            (major == SLICE_KERNEL_MAJOR && minor >= SLICE_KERNEL_MINOR));
}

struct ThreadSettings {
    long timerSlackNs;
    uint64_t sliceNs;
    int nice;
};

// What a thread starts with when no sleeping thread made it: threads inherit both
// settings from the thread that creates them.
void restoreDefaults() {
    prctl(PR_SET_TIMERSLACK, 0, 0, 0, 0);
    SchedAttributes attributes{};
    syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0);
    attributes.runtime = 0;
    syscall(SYS_sched_setattr, 0, &attributes, 0);
}

ThreadSettings readSettings() {
    SchedAttributes attributes{};
    syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0);
    return {prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), attributes.runtime, attributes.nice};
}

// A fresh thread each time: the settings belong to the thread that sleeps.
TEST(RealSleepWakeUps, FirstSleepMakesTheTimerPreciseAndTheSlicesShort) {
    ThreadSettings before{};
    ThreadSettings after{};
    std::thread sleeper([&] {
        restoreDefaults();
        before = readSettings();
        realSleepUntilUs(realClockNowUs() - US_PER_S);  // a moment passed: no real sleep
        after = readSettings();
    });
    sleeper.join();
    EXPECT_GT(before.timerSlackNs, 1);
    EXPECT_EQ(after.timerSlackNs, 1);
    EXPECT_EQ(after.nice, before.nice);
    if (kernelHonoursSlices()) {
        EXPECT_NE(before.sliceNs, EXPECTED_SLICE_NS);
        EXPECT_EQ(after.sliceNs, EXPECTED_SLICE_NS);
    }
}

TEST(RealSleepWakeUps, KeepsTheNiceValueTheThreadRunsWith) {
    ThreadSettings after{};
    int niceSet = -1;
    std::thread sleeper([&] {
        restoreDefaults();
        niceSet = setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 5);
        realSleepUntilUs(realClockNowUs() - US_PER_S);
        after = readSettings();
    });
    sleeper.join();
    ASSERT_EQ(niceSet, 0);
    EXPECT_EQ(after.nice, 5);
    EXPECT_EQ(after.timerSlackNs, 1);
}

}  // namespace
#endif
