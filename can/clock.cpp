#include "can/clock.h"

#include <chrono>
#include <thread>

namespace {
const ClockSource* installedSource = nullptr;
}

int64_t realClockNowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void realSleepUs(int64_t us) {
    if (us > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
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
