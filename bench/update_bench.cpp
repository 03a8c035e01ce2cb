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

// The download walk as the never-late host sees it: from the first start request to the
// last character frame before the second wait for the controllers' resets.
struct DownloadWindow {
    const CanBackend* host;
    int resetWaits;
    int64_t firstStartUs;
    int64_t lastCharacterUs;
};

DownloadWindow window{};
CanBackend windowBackend{};

int32_t windowWrite(const CanFrame* frame) {
    const int64_t now = clockNowUs();
    const bool start = frame->LEN == 4 && frame->DATA[0] == 0x80 && frame->DATA[2] == 0xAA;
    if (start && window.firstStartUs < 0) {
        window.firstStartUs = now;
    }
    if (frame->LEN == CHARACTER_FRAME_LEN && window.firstStartUs >= 0 && window.resetWaits < 2) {
        window.lastCharacterUs = now;
    }
    return window.host->write(frame);
}

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

struct NeverLate {
    double updateS;        // -1 when the update did not complete
    double downloadWalkS;  // first start request to last character
};

SimHand* windowHand = nullptr;

// Counts the waits for the controllers' resets in hand time.
void windowSleepUs(int64_t us) {
    if (us == RESET_WAIT_MS * US_PER_MS) {
        ++window.resetWaits;
    }
    simHandAdvance(windowHand, simHandNowUs(windowHand) + (us > 0 ? us : 0));
}

int64_t windowNowUs() { return simHandNowUs(windowHand); }

const ClockSource WINDOW_CLOCK = {windowNowUs, windowSleepUs};

// The update when the host is never late, in hand time, behind the simulated hand with
// these options.
NeverLate neverLate(const BenchImage& image, const std::string& options, DownloadMode mode) {
    static std::map<std::string, NeverLate> known;
    const std::string key = image.path + "|" + options + "|" + std::to_string(mode);
    auto found = known.find(key);
    if (found != known.end()) {
        return found->second;
    }
    std::string error;
    SimHand* hand = simHandCreate(options.c_str(), &error);
    window = DownloadWindow{exactHostOpen(hand), 0, -1, -1};
    windowHand = hand;
    clockUse(&WINDOW_CLOCK);
    windowBackend = *window.host;
    windowBackend.write = windowWrite;
    canUseBackend(&windowBackend);
    silenceStdout();
    canStart();
    const int64_t start = simHandNowUs(hand);
    UpdateOutcome outcome{};
    const ImageBytes bytes = imageBytes(image);
    runUpdateWalks(&bytes, ExpectedVersion{}, mode, &outcome);
    const int64_t end = simHandNowUs(hand);
    restoreStdout();
    exactHostClose();
    canUseBackend(nullptr);
    const bool complete = updateComplete(hand, image);
    simHandDestroy(hand);
    NeverLate result{-1, -1};
    if (complete) {
        result.updateS = static_cast<double>(end - start) / US_PER_S;
        result.downloadWalkS =
            static_cast<double>(window.lastCharacterUs - window.firstStartUs) / US_PER_S;
    }
    return known[key] = result;
}

double lowerBoundSeconds(const BenchImage& image) {
    return neverLate(image, "", DOWNLOAD_ONE_BY_ONE).updateS;
}

std::string latencyOption() { return "latency=" + std::to_string(ADAPTER_LATENCY_US); }

DownloadMode modeOf(bool together) { return together ? DOWNLOAD_TOGETHER : DOWNLOAD_ONE_BY_ONE; }

// One real-time update behind the simulated hand with these options.
void measureRealTimeUpdate(benchmark::State& state, const BenchImage& image,
                           const std::string& options, DownloadMode mode, double bound);

void realTimeUpdate(benchmark::State& state) {
    const BenchImage& image = imageFor(static_cast<int>(state.range(0)));
    measureRealTimeUpdate(state, image, "", DOWNLOAD_ONE_BY_ONE, lowerBoundSeconds(image));
}

void realTimeUpdateWithLatency(benchmark::State& state) {
    const bool together = state.range(0) != 0;
    const NeverLate bound = neverLate(exampleImage(), latencyOption(), modeOf(together));
    measureRealTimeUpdate(state, exampleImage(), latencyOption(), modeOf(together), bound.updateS);
    state.counters[COUNTER_DOWNLOAD_WALK_S] = bound.downloadWalkS;
    state.SetLabel(together ? "together" : "one by one");
}

void measureRealTimeUpdate(benchmark::State& state, const BenchImage& image,
                           const std::string& options, DownloadMode mode, double bound) {
    if (bound <= 0) {
        state.SkipWithError("the update did not complete with a prompt host");
        return;
    }
    const ImageBytes bytes = imageBytes(image);
    for (auto _ : state) {
        const CanBackend* backend = simOpenBackend(options.c_str());
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
        runUpdateWalks(&bytes, ExpectedVersion{}, mode, &outcome);
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

double latencyDownloadWalkSeconds(bool together) {
    return neverLate(exampleImage(), latencyOption(), modeOf(together)).downloadWalkS;
}

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
    benchmark::RegisterBenchmark(REAL_TIME_UPDATE_LATENCY, realTimeUpdateWithLatency)
        ->Arg(0)
        ->Arg(1)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
}
