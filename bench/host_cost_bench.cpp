// The utility's own cost: a download and a property round trip over a hand whose bus and
// controllers take no time, on the virtual clock, so that no wait of any kind is in the
// measurement (the 1 ms line pauses pass on the virtual clock, in no real time). What is
// left is the utility's code, the adapter layer and the simulator; the "without the
// utility" runs measure the last two alone, driven the same way by a bare loop.
#include "bench/host_cost_bench.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "can/link.h"
#include "firmware/download.h"
#include "firmware/image_reader.h"
#include "protocol/property.h"
#include "protocol/role.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"

namespace {

constexpr int BENCH_DOVEL_ID = 11;
constexpr const char* INSTANT_HAND_OPTIONS = "fast,zero-time";
constexpr double NS_PER_S = 1e9;

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool openInstantHand(benchmark::State& state) {
    const CanBackend* backend = simOpenBackend(INSTANT_HAND_OPTIONS);
    if (!backend) {
        state.SkipWithError("the simulated hand did not open");
        return false;
    }
    canUseBackend(backend);
    silenceStdout();
    const int32_t started = canStart();
    restoreStdout();
    if (started != CAN_OK) {
        state.SkipWithError("the link did not start");
        return false;
    }
    return true;
}

void closeHand() {
    canUseBackend(nullptr);
    simCloseBackend();
}

SimDovelState dovelState() {
    SimDovelState dovel{};
    simHandDovelState(simCurrentHand(), BENCH_DOVEL_ID, &dovel);
    return dovel;
}

// The controller in its monitor, as the first walk leaves it; its reset takes no time.
bool prepareForDownload(benchmark::State& state) {
    silenceStdout();
    prepareDovel(BENCH_DOVEL_ID);
    restoreStdout();
    sleepMs(1);
    if (dovelState().mode != SIM_MODE_MONITOR) {
        state.SkipWithError("the controller did not enter its monitor");
        return false;
    }
    return true;
}

// The last download reached the controller whole. Its last character is still in line
// for the bus until the hand's clock moves on.
bool downloadArrived(benchmark::State& state, const BenchImage& image) {
    sleepMs(1);
    const SimDovelState dovel = dovelState();
    if (!dovel.downloadComplete || dovel.charactersTaken != image.characters) {
        state.SkipWithError("the controller did not take the whole image");
        return false;
    }
    return true;
}

void reportPerCharacter(benchmark::State& state, const BenchImage& image, double seconds) {
    const double characters = static_cast<double>(image.characters) * state.iterations();
    state.SetItemsProcessed(static_cast<int64_t>(characters));
    state.counters[COUNTER_NS_PER_CHARACTER] = seconds * NS_PER_S / characters;
    state.SetLabel(image.label + ", " + std::to_string(image.characters) + " characters");
}

void downloadHostCost(benchmark::State& state) {
    const BenchImage& image = imageFor(static_cast<int>(state.range(0)));
    if (!openInstantHand(state) || !prepareForDownload(state)) {
        closeHand();
        return;
    }
    silenceStdout();
    const double start = nowSeconds();
    for (auto _ : state) {
        downloadFirmware(BENCH_DOVEL_ID, image.path.c_str());
    }
    const double seconds = nowSeconds() - start;
    restoreStdout();
    if (downloadArrived(state, image)) {
        reportPerCharacter(state, image, seconds);
    }
    closeHand();
}

std::vector<uint8_t> imageCharacters(const BenchImage& image) {
    std::vector<uint8_t> characters;
    ImageReader reader{};
    if (openImage(&reader, image.path.c_str()) != 0) {
        return characters;
    }
    char line[IMAGE_LINE_BUFFER_SIZE];
    while (readImageLine(&reader, line, IMAGE_LINE_READ_COUNT)) {
        const int count = sendableCharacterCount(line);
        for (int i = 0; i < count; ++i) {
            characters.push_back(static_cast<uint8_t>(line[FIRST_SENT_POSITION + i]));
        }
    }
    closeImage(&reader);
    return characters;
}

// The same frames as a download, from a loop that only reads and writes.
void streamWithoutUtility(benchmark::State& state) {
    const BenchImage& image = imageFor(static_cast<int>(state.range(0)));
    const std::vector<uint8_t> characters = imageCharacters(image);
    if (!openInstantHand(state) || !prepareForDownload(state)) {
        closeHand();
        return;
    }
    const CanFrame start = makeSetRequest(BENCH_DOVEL_ID, VERS, DOWNLOAD_START_VALUE);
    CanFrame character = start;
    character.LEN = CHARACTER_FRAME_LEN;
    CanFrame reply{};
    int missingReplies = 0;
    const double begin = nowSeconds();
    for (auto _ : state) {
        while (CAN_Read(&reply) == CAN_OK) {
        }
        CAN_Write(&start);
        for (uint8_t c : characters) {
            missingReplies += CAN_Read(&reply) != CAN_OK;
            character.DATA[0] = c;
            CAN_Write(&character);
        }
    }
    const double seconds = nowSeconds() - begin;
    if (missingReplies == 0 && downloadArrived(state, image)) {
        reportPerCharacter(state, image, seconds);
    } else if (missingReplies != 0) {
        state.SkipWithError("a reply was not there when the bare loop read");
    }
    closeHand();
}

void getPropertyHostCost(benchmark::State& state) {
    if (!openInstantHand(state)) {
        closeHand();
        return;
    }
    int failures = 0;
    int32_t value = 0;
    const double start = nowSeconds();
    for (auto _ : state) {
        failures += getProperty(BENCH_DOVEL_ID, VERS, &value) != 0 || value != SIM_VERSION_MAIN;
    }
    const double seconds = nowSeconds() - start;
    closeHand();
    if (failures != 0) {
        state.SkipWithError("a getProperty failed or read another value");
        return;
    }
    state.counters[COUNTER_NS_PER_ROUND_TRIP] = seconds * NS_PER_S / state.iterations();
}

void roundTripWithoutUtility(benchmark::State& state) {
    if (!openInstantHand(state)) {
        closeHand();
        return;
    }
    const CanFrame request = makeGetRequest(BENCH_DOVEL_ID, VERS);
    CanFrame reply{};
    int failures = 0;
    const double start = nowSeconds();
    for (auto _ : state) {
        CAN_Write(&request);
        failures += CAN_Read(&reply) != CAN_OK;
    }
    const double seconds = nowSeconds() - start;
    closeHand();
    if (failures != 0) {
        state.SkipWithError("a reply was not there when the bare loop read");
        return;
    }
    state.counters[COUNTER_NS_PER_ROUND_TRIP] = seconds * NS_PER_S / state.iterations();
}

// The machine is shared: the median of several runs says more than one run.
void repeated(benchmark::internal::Benchmark* benchmark) {
    benchmark->Repetitions(HOST_COST_REPEATS)->DisplayAggregatesOnly(true);
}

void withImageArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(EXAMPLE_IMAGE_ARG);
    for (int kib : scalingSizesKib()) {
        benchmark->Arg(kib);
    }
}

}  // namespace

void registerHostCostBenchmarks() {
    benchmark::RegisterBenchmark(DOWNLOAD_HOST_COST, downloadHostCost)
        ->Apply(withImageArguments)
        ->Apply(repeated)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(DOWNLOAD_WITHOUT_UTILITY, streamWithoutUtility)
        ->Apply(withImageArguments)
        ->Apply(repeated)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(GET_PROPERTY_HOST_COST, getPropertyHostCost)->Apply(repeated);
    benchmark::RegisterBenchmark(ROUND_TRIP_WITHOUT_UTILITY, roundTripWithoutUtility)
        ->Apply(repeated);
}
