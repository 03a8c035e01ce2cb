// A whole update, as the utility's walks run it, over the simulated hand in real time
// with its bus timing: the measured wall time against the lower bound that the hand
// itself gives when the host is never late (bench/exact_host.h), and the process's CPU
// time over wall time while the download walk runs. The CPU time includes the
// simulator, which runs in the process; a real adapter does that work in its own
// hardware.
#include "bench/update_bench.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>

#include "app/update_walks.h"
#include "bench/bench_support.h"
#include "bench/exact_host.h"
#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "can/link.h"
#include "protocol/role.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"
#include "sim/sim_hand.h"

namespace {

constexpr double US_PER_S = 1e6;
constexpr int64_t US_PER_MS = 1000;
constexpr int DOVELS = LAST_DOVEL_ID - FIRST_DOVEL_ID + 1;

// The download walk lies between the two waits for the controllers' resets: it begins
// when the first has passed and ends when the second begins. The walks' clock is the
// machine's, watched at those two sleeps.
struct WalkWatch {
    int resetWaits;
    int64_t startUs;
    int64_t endUs;
    double cpuStart;
    double cpuEnd;
};

WalkWatch watch{};

void watchedSleepUs(int64_t us) {
    const bool resetWait = us == RESET_WAIT_MS * US_PER_MS;
    if (resetWait && ++watch.resetWaits == 2) {
        watch.endUs = realClockNowUs();
        watch.cpuEnd = processCpuSeconds();
    }
    realSleepUs(us);
    if (resetWait && watch.resetWaits == 1) {
        watch.startUs = realClockNowUs();
        watch.cpuStart = processCpuSeconds();
    }
}

const ClockSource WATCHED_CLOCK = {realClockNowUs, watchedSleepUs};

// Every controller took the whole image and holds role code 5 again.
bool updateComplete(const SimHand* hand, const BenchImage& image) {
    for (int id = FIRST_DOVEL_ID; id <= LAST_DOVEL_ID; ++id) {
        SimDovelState dovel{};
        if (simHandDovelState(hand, id, &dovel) != 0 || !dovel.downloadComplete ||
            dovel.charactersTaken != image.characters ||
            (dovel.storedRole & SIM_ROLE_CODE_MASK) != ROLE_CODE_HAND) {
            return false;
        }
    }
    return true;
}

// Seconds of hand time that the update takes when the host is never late; -1 when it
// did not complete.
double lowerBoundSeconds(const BenchImage& image) {
    static std::map<std::string, double> known;
    auto found = known.find(image.path);
    if (found != known.end()) {
        return found->second;
    }
    std::string error;
    SimHand* hand = simHandCreate("", &error);
    canUseBackend(exactHostOpen(hand));
    silenceStdout();
    canStart();
    const int64_t start = simHandNowUs(hand);
    UpdateOutcome outcome{};
    const ImageBytes bytes = imageBytes(image);
    runUpdateWalks(&bytes, &outcome);
    const int64_t end = simHandNowUs(hand);
    restoreStdout();
    exactHostClose();
    canUseBackend(nullptr);
    const bool complete = updateComplete(hand, image);
    simHandDestroy(hand);
    return known[image.path] = complete ? static_cast<double>(end - start) / US_PER_S : -1;
}

void realTimeUpdate(benchmark::State& state) {
    const BenchImage& image = imageFor(static_cast<int>(state.range(0)));
    const double bound = lowerBoundSeconds(image);
    if (bound <= 0) {
        state.SkipWithError("the update did not complete with a prompt host");
        return;
    }
    const ImageBytes bytes = imageBytes(image);
    for (auto _ : state) {
        const CanBackend* backend = simOpenBackend("");
        if (!backend) {
            state.SkipWithError("the simulated hand did not open");
            return;
        }
        canUseBackend(backend);
        silenceStdout();
        canStart();
        watch = WalkWatch{};
        clockUse(&WATCHED_CLOCK);
        const int64_t start = realClockNowUs();
        UpdateOutcome outcome{};
        runUpdateWalks(&bytes, &outcome);
        const int64_t end = realClockNowUs();
        clockUse(nullptr);
        restoreStdout();
        const bool complete = updateComplete(simCurrentHand(), image);
        canUseBackend(nullptr);
        simCloseBackend();
        if (!complete) {
            state.SkipWithError("the real-time update did not complete");
            return;
        }

        const double wall = static_cast<double>(end - start) / US_PER_S;
        const double walkWall = static_cast<double>(watch.endUs - watch.startUs) / US_PER_S;
        const double cpuShare = (watch.cpuEnd - watch.cpuStart) / walkWall;
        const double lateUs = (wall - bound) * US_PER_S / (DOVELS * image.characters);
        state.SetIterationTime(wall);
        state.counters[COUNTER_WALL_S] = wall;
        state.counters[COUNTER_BOUND_S] = bound;
        state.counters[COUNTER_RATIO] = wall / bound;
        state.counters[COUNTER_WALK_CPU_SHARE] = cpuShare;
        state.counters[COUNTER_LATE_US_PER_CHARACTER] = lateUs;
        state.SetLabel(image.label);
    }
}

}  // namespace

void registerUpdateBenchmarks() {
    benchmark::RegisterBenchmark(REAL_TIME_UPDATE, realTimeUpdate)
        ->Arg(EXAMPLE_IMAGE_ARG)
        ->Iterations(1)
        ->Repetitions(realTimeRepeats())
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    for (int kib : scalingSizesKib()) {
        benchmark::RegisterBenchmark(REAL_TIME_UPDATE, realTimeUpdate)
            ->Arg(kib)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
    }
}
