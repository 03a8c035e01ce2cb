// What the benchmarks share: the images they stream, a quiet standard output, the
// process's CPU time, and the figures they record for the closing summary.
#pragma once

#include <string>
#include <vector>

// The utility prints its progress lines while it is measured; they go nowhere until
// restoreStdout, so that only the benchmark's own report reaches the terminal.
void silenceStdout();
void restoreStdout();

// User and system time of the process so far, in seconds.
double processCpuSeconds();

struct BenchImage {
    std::string label;  // "example" or "4 KiB", ...
    std::string path;
    int lines;       // as a download reads them
    int characters;  // streamed per download
};

// examples/dovel2.tek.
const BenchImage& exampleImage();

// An image of kib KiB of data from make-tek-image, written once per run.
const BenchImage& scalingImage(int kib);

// The image sizes of the scaling runs.
const std::vector<int>& scalingSizesKib();

// How many times each real-time update of the example image runs (DOVEL_BENCH_REPEATS,
// 3 when unset); the scaling images run once each.
int realTimeRepeats();

// Figures for the summary, by name; the median of all values recorded under a name.
// A benchmark that Google Benchmark calls again and again with more iterations until
// the time is long enough sets its figure, so that the last, longest run counts; one
// that repeats a fixed run records each repetition.
void recordFigure(const std::string& name, double value);
void setFigure(const std::string& name, double value);
bool hasFigure(const std::string& name);
double medianFigure(const std::string& name);
int figureCount(const std::string& name);
