// What the benchmarks share: the images they stream, a quiet standard output and the
// process's CPU time.
#pragma once

#include <string>
#include <vector>

#include "firmware/image_reader.h"

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

// The image's bytes as the file check reads them.
ImageBytes imageBytes(const BenchImage& image);

// The argument of a benchmark over the example image; others are image sizes in KiB.
constexpr int EXAMPLE_IMAGE_ARG = 0;

// examples/dovel2.tek.
const BenchImage& exampleImage();

// exampleImage() or scalingImage(arg).
const BenchImage& imageFor(int arg);

// An image of kib KiB of data from make-tek-image, written once per run.
const BenchImage& scalingImage(int kib);

// The image sizes of the scaling runs.
const std::vector<int>& scalingSizesKib();

// How many times each real-time update of the example image runs (DOVEL_BENCH_REPEATS,
// 3 when unset); the scaling images run once each.
int realTimeRepeats();

// How many times each measurement of the host's cost is repeated; the median counts.
constexpr int HOST_COST_REPEATS = 5;
