#include "can/clock.h"

#if defined(__linux__)
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
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
// precision. The setting belongs to the thread, so each sleeping thread makes it.
constexpr unsigned long TIMER_SLACK_NS = 1;

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

void tightenTimerSlack() {
    thread_local const bool tightened = prctl(PR_SET_TIMERSLACK, TIMER_SLACK_NS, 0, 0, 0) == 0;
    (void)tightened;
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
    tightenTimerSlack();
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

void realSleepUntilUs(int64_t atUs) {
    using namespace std::chrono;
    std::this_thread::sleep_until(steady_clock::time_point(microseconds(atUs)));
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
