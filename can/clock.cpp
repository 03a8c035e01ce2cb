#include "can/clock.h"

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#else
#include <chrono>
#include <thread>
#endif

namespace {

const ClockSource* installedSource = nullptr;

#if defined(__linux__)
constexpr int64_t US_PER_S = 1000000;
constexpr int64_t NS_PER_US = 1000;
constexpr int64_t NS_PER_S = US_PER_S * NS_PER_US;
// Linux lets a timed sleep end up to 50 us late by default, so that it can wake
// several sleepers at once. A reply on the bus comes every 100 to 200 us, so that
// slack would be a third of the time per character; 1 ns asks for the timer's own
// precision.
constexpr unsigned long TIMER_SLACK_NS = 1;

// When another program keeps the processor busy, a thread whose timer has fired waits
// for that program's time slice to end, a few milliseconds at worst. A thread that asks
// for short slices gets the processor back sooner after it wakes (Linux 6.12 on; older
// kernels ignore the request). The thread runs for microseconds at a time, so the
// shortest slice the kernel grants, 100 us, costs it nothing.
constexpr uint64_t SHORT_SLICE_NS = 100000;
constexpr uint32_t SCHED_POLICY_NORMAL = 0;

// The kernel's record for sched_getattr and sched_setattr, which the C library does
// not wrap.
struct SchedAttributes {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;  // for a normal thread: the slice it asks for
    uint64_t deadline;
    uint64_t period;
    uint32_t utilMin;
    uint32_t utilMax;
};

// Even so a wake-up comes some microseconds after the timer, more in a virtual machine,
// and a host that answers every reply that late loses a tenth of the bus. So a sleep
// ends early by the wake-up's usual lateness and reads the clock for what is left. The
// lead follows the lateness seen: up a little after a late wake-up, down three times as
// much after an early one, which settles where a quarter of wake-ups come early, so
// the clock is read for a few microseconds on a quarter of the sleeps.
constexpr int64_t INITIAL_WAKE_LEAD_NS = 10000;
constexpr int64_t WAKE_LEAD_STEP_UP_NS = 250;
constexpr int64_t WAKE_LEAD_STEP_DOWN_NS = 3 * WAKE_LEAD_STEP_UP_NS;
// However late wake-ups are, a sleep never turns into more than this much reading.
constexpr int64_t MAX_WAKE_LEAD_NS = 100000;

thread_local int64_t wakeLeadNs = INITIAL_WAKE_LEAD_NS;

// Keeps the thread's nice value and everything else it was started with.
void askForShortSlices() {
    SchedAttributes attributes{};
    if (syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) != 0 ||
        attributes.policy != SCHED_POLICY_NORMAL) {
        return;
    }
    attributes.runtime = SHORT_SLICE_NS;
    syscall(SYS_sched_setattr, 0, &attributes, 0);
}

// Both settings belong to the thread, so each thread that sleeps makes them, once.
void prepareThreadForPreciseWakeUps() {
    thread_local const bool prepared = [] {
        prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS, 0, 0, 0);
        askForShortSlices();
        return true;
    }();
    (void)prepared;
}

int64_t monotonicNowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

// An absolute deadline: a sleep interrupted by a signal resumes to the same moment.
void sleepUntilNs(int64_t atNs) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(atNs / NS_PER_S);
    until.tv_nsec = static_cast<long>(atNs % NS_PER_S);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void learnWakeLateness(int64_t latenessNs) {
    wakeLeadNs += latenessNs > wakeLeadNs ? WAKE_LEAD_STEP_UP_NS : -WAKE_LEAD_STEP_DOWN_NS;
    wakeLeadNs = std::clamp<int64_t>(wakeLeadNs, 0, MAX_WAKE_LEAD_NS);
}
#endif

}  // namespace

#if defined(__linux__)
// The same clock that clock_nanosleep waits on, so that a deadline read from it is
// reached exactly.
int64_t realClockNowUs() { return monotonicNowNs() / NS_PER_US; }

// A caller that sleeps from one deadline to the next gathers no lateness from the time
// it spends between its sleeps.
void realSleepUntilUs(int64_t atUs) {
    prepareThreadForPreciseWakeUps();
    const int64_t dueNs = atUs * NS_PER_US;
    const int64_t wakeNs = dueNs - wakeLeadNs;
    if (wakeNs > monotonicNowNs()) {
        sleepUntilNs(wakeNs);
        learnWakeLateness(monotonicNowNs() - wakeNs);
    }
    while (monotonicNowNs() < dueNs) {
    }
}
#else
int64_t realClockNowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// A sleep can end before its moment where the system's timer is coarser than the
// request (Windows rounds it down to whole milliseconds, so a shorter one does not
// sleep at all); the clock is read again until the moment has come.
void realSleepUntilUs(int64_t atUs) {
    using namespace std::chrono;
    while (realClockNowUs() < atUs) {
        std::this_thread::sleep_until(steady_clock::time_point(microseconds(atUs)));
    }
}
#endif

void realSleepUs(int64_t us) {
    if (us > 0) {
        realSleepUntilUs(realClockNowUs() + us);
    }
}

int64_t clockNowUs() { return installedSource ? installedSource->nowUs() : realClockNowUs(); }

void sleepMs(int ms) {
    const int64_t us = static_cast<int64_t>(ms) * 1000;
    if (installedSource) {
        installedSource->sleepUs(us);
    } else {
        realSleepUs(us);
    }
}

void clockUse(const ClockSource* source) { installedSource = source; }
