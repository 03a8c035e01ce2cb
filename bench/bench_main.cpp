// The benchmarks, then the figures that the project sets goals for, with those goals.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench/bench_support.h"
#include "bench/host_cost_bench.h"
#include "bench/update_bench.h"

namespace {

constexpr double HOST_NS_PER_CHARACTER_GOAL = 1000;
constexpr double GET_PROPERTY_NS_GOAL = 1000;
constexpr double UPDATE_RATIO_GOAL = 1.05;
constexpr double DOWNLOAD_CPU_SHARE_GOAL = 0.10;
constexpr double PERCENT = 100;

const char* verdict(bool met) { return met ? "met" : "NOT MET"; }

void printGoal(const char* figure, const std::string& measured, const std::string& goal, bool met) {
    std::printf("  %-44s %-24s %-12s %s\n", figure, measured.c_str(), goal.c_str(), verdict(met));
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

void printGoals() {
    const std::string example = exampleImage().label;
    std::printf("\nGoals (medians of the runs above)\n");
    if (hasFigure(FIGURE_HOST_NS_PER_CHARACTER + example)) {
        const double ns = medianFigure(FIGURE_HOST_NS_PER_CHARACTER + example);
        printGoal("host cost per streamed character", format("%.0f ns", ns), "<= 1000 ns",
                  ns <= HOST_NS_PER_CHARACTER_GOAL);
    }
    if (hasFigure(FIGURE_GET_PROPERTY_NS)) {
        const double ns = medianFigure(FIGURE_GET_PROPERTY_NS);
        printGoal("host cost of a getProperty round trip", format("%.0f ns", ns), "<= 1000 ns",
                  ns <= GET_PROPERTY_NS_GOAL);
    }
    if (hasFigure(FIGURE_RATIO + example)) {
        const double ratio = medianFigure(FIGURE_RATIO + example);
        const std::string runs = "real-time update / lower bound (" +
                                 std::to_string(figureCount(FIGURE_RATIO + example)) + " runs)";
        printGoal(runs.c_str(),
                  format("%.3f (%.2f s / %.2f s)", ratio, medianFigure(FIGURE_WALL_S + example),
                         medianFigure(FIGURE_BOUND_S + example)),
                  "<= 1.05", ratio <= UPDATE_RATIO_GOAL);
        const double share = medianFigure(FIGURE_DOWNLOAD_CPU_SHARE + example);
        printGoal("CPU time / wall time in the download walk", format("%.1f %%", share * PERCENT),
                  "<= 10 %", share <= DOWNLOAD_CPU_SHARE_GOAL);
    }
}

void printScaling() {
    std::printf("\nScaling\n  %-8s %7s %6s %13s %13s %8s %8s %6s %9s %9s\n", "image", "chars",
                "lines", "host ns/char", "bare ns/char", "wall s", "bound s", "ratio", "late us/c",
                "CPU/wall");
    for (int kib : scalingSizesKib()) {
        const BenchImage& image = scalingImage(kib);
        const std::string& label = image.label;
        std::printf(
            "  %-8s %7d %6d %13.0f %13.0f %8.2f %8.2f %6.3f %9.2f %8.1f%%\n", label.c_str(),
            image.characters, image.lines, medianFigure(FIGURE_HOST_NS_PER_CHARACTER + label),
            medianFigure(FIGURE_BARE_NS_PER_CHARACTER + label), medianFigure(FIGURE_WALL_S + label),
            medianFigure(FIGURE_BOUND_S + label), medianFigure(FIGURE_RATIO + label),
            medianFigure(FIGURE_LATE_US_PER_CHARACTER + label),
            medianFigure(FIGURE_DOWNLOAD_CPU_SHARE + label) * PERCENT);
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
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printGoals();
    printScaling();
    return 0;
}
