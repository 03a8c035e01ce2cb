// The one clock that every wait and time bound of the utility reads. It is the
// machine's monotonic clock unless a source is installed: the simulated hand
// installs its virtual clock, so sleeps and bounds pass in simulated time.
#pragma once

#include <cstdint>

struct ClockSource {
    int64_t (*nowUs)();
    void (*sleepUs)(int64_t us);
};

int64_t clockNowUs();
void sleepMs(int ms);

// nullptr restores the machine's clock.
void clockUse(const ClockSource* source);

// The machine's own clock, whatever source is installed.
int64_t realClockNowUs();
void realSleepUs(int64_t us);
// Until realClockNowUs() reads atUs; at once when it already does.
void realSleepUntilUs(int64_t atUs);
