// The benchmarks, then the figures that the project sets goals for, with those goals,
// and the scaling over image sizes. The summary takes what the benchmarks reported: the
// median of the repetitions where a benchmark repeats, its one run otherwise.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/host_cost_bench.h"
#include "bench/update_bench.h"

namespace {

constexpr double HOST_NS_PER_CHARACTER_GOAL = 1000;
constexpr double GET_PROPERTY_NS_GOAL = 1000;
constexpr double UPDATE_RATIO_GOAL = 1.05;
constexpr double DOWNLOAD_CPU_SHARE_GOAL = 0.10;
constexpr double TOGETHER_WALK_SHARE_GOAL = 0.35;
constexpr double PERCENT = 100;
constexpr const char* MEDIAN = "median";

// Counters of each benchmark run, by "NAME/ARGUMENT".
std::map<std::string, std::map<std::string, double>> reported;

std::string runKey(const std::string& name, int arg) { return name + "/" + std::to_string(arg); }

class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    // Colours for a terminal only, as the library's own reporter does.
    SummaryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == MEDIAN;
            if (run.error_occurred || !(single || median)) {
                continue;
            }
            const std::string& args = run.run_name.args;
            std::map<std::string, double>& counters =
                reported[run.run_name.function_name + "/" + (args.empty() ? "0" : args)];
            for (const auto& [name, counter] : run.counters) {
                counters[name] = counter.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// The counter, when that run reported it.
bool counter(const std::string& key, const char* name, double* value) {
    auto run = reported.find(key);
    if (run == reported.end() || run->second.count(name) == 0) {
        return false;
    }
    *value = run->second.at(name);
    return true;
}

double counterOrZero(const std::string& key, const char* name) {
    double value = 0;
    counter(key, name, &value);
    return value;
}

void printGoal(const std::string& figure, const std::string& measured, const char* goal, bool met) {
    std::printf("  %-46s %-26s %-11s %s\n", figure.c_str(), measured.c_str(), goal,
                met ? "met" : "NOT MET");
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string format(const char* pattern, double first, double second, double third) {
    char text[96];
    std::snprintf(text, sizeof text, pattern, first, second, third);
    return text;
}

// Behind an adapter with a 1 ms round trip: the download walk together against one by
// one with a never-late host (hand time, so always measured), and the real-time update
// together against its own bound when it ran.
void printLatencyGoals() {
    const double oneByOne = latencyDownloadWalkSeconds(false);
    const double together = latencyDownloadWalkSeconds(true);
    if (oneByOne > 0 && together > 0) {
        printGoal("latency 500 us: download walk together / one by one",
                  format("%.3f (%.2f s / %.2f s)", together / oneByOne, together, oneByOne),
                  "<= 0.35", together / oneByOne <= TOGETHER_WALK_SHARE_GOAL);
    } else {
        printGoal("latency 500 us: download walk together / one by one", "did not complete",
                  "<= 0.35", false);
    }
    for (int mode = 0; mode <= 1; ++mode) {
        const std::string update = runKey(REAL_TIME_UPDATE_LATENCY, mode);
        double ratio = 0;
        if (counter(update, COUNTER_RATIO, &ratio)) {
            printGoal(std::string("latency 500 us: real-time update ") +
                          (mode != 0 ? "together" : "one by one") + " / bound",
                      format("%.3f (%.2f s / %.2f s)", ratio, counterOrZero(update, COUNTER_WALL_S),
                             counterOrZero(update, COUNTER_BOUND_S)),
                      "<= 1.05", ratio <= UPDATE_RATIO_GOAL);
        }
    }
}

void printGoals() {
    std::printf("\nGoals\n");
    double ns = 0;
    if (counter(runKey(DOWNLOAD_HOST_COST, EXAMPLE_IMAGE_ARG), COUNTER_NS_PER_CHARACTER, &ns)) {
        printGoal("host cost per streamed character", format("%.0f ns", ns), "<= 1000 ns",
                  ns <= HOST_NS_PER_CHARACTER_GOAL);
    }
    if (counter(runKey(GET_PROPERTY_HOST_COST, 0), COUNTER_NS_PER_ROUND_TRIP, &ns)) {
        printGoal("host cost of a getProperty round trip", format("%.0f ns", ns), "<= 1000 ns",
                  ns <= GET_PROPERTY_NS_GOAL);
    }
    const std::string update = runKey(REAL_TIME_UPDATE, EXAMPLE_IMAGE_ARG);
    double ratio = 0;
    if (counter(update, COUNTER_RATIO, &ratio)) {
        const std::string figure =
            "real-time update / lower bound (median of " + std::to_string(realTimeRepeats()) + ")";
        printGoal(figure,
                  format("%.3f (%.2f s / %.2f s)", ratio, counterOrZero(update, COUNTER_WALL_S),
                         counterOrZero(update, COUNTER_BOUND_S)),
                  "<= 1.05", ratio <= UPDATE_RATIO_GOAL);
        const double share = counterOrZero(update, COUNTER_WALK_CPU_SHARE);
        printGoal("CPU time / wall time in the download walk", format("%.1f %%", share * PERCENT),
                  "<= 10 %", share <= DOWNLOAD_CPU_SHARE_GOAL);
    }
    printLatencyGoals();
}

void printScaling() {
    std::printf("\nScaling (one real-time update per image)\n");
    std::printf("  %-8s %7s %6s %13s %13s %8s %8s %6s %10s %9s\n", "image", "chars", "lines",
                "host ns/char", "bare ns/char", "wall s", "bound s", "ratio", "late us/ch",
                "CPU/wall");
    for (int kib : scalingSizesKib()) {
        const BenchImage& image = scalingImage(kib);
        const std::string update = runKey(REAL_TIME_UPDATE, kib);
        std::printf("  %-8s %7d %6d %13.0f %13.0f %8.2f %8.2f %6.3f %10.2f %8.1f%%\n",
                    image.label.c_str(), image.characters, image.lines,
                    counterOrZero(runKey(DOWNLOAD_HOST_COST, kib), COUNTER_NS_PER_CHARACTER),
                    counterOrZero(runKey(DOWNLOAD_WITHOUT_UTILITY, kib), COUNTER_NS_PER_CHARACTER),
                    counterOrZero(update, COUNTER_WALL_S), counterOrZero(update, COUNTER_BOUND_S),
                    counterOrZero(update, COUNTER_RATIO),
                    counterOrZero(update, COUNTER_LATE_US_PER_CHARACTER),
                    counterOrZero(update, COUNTER_WALK_CPU_SHARE) * PERCENT);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerHostCostBenchmarks();
    registerUpdateBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printGoals();
    printScaling();
    return 0;
}
