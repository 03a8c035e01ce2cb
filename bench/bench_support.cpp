#include "bench/bench_support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "firmware/image_reader.h"
#include "firmware/image_scan.h"

namespace {

constexpr double US_PER_S = 1e6;
constexpr int DEFAULT_REPEATS = 3;
constexpr int BYTES_PER_KIB = 1024;
// The scaling images are drawn from this seed, so every run streams the same bytes.
constexpr int SCALING_IMAGE_SEED = 8;
constexpr int DECIMAL_RADIX = 10;

int savedStdout = -1;
std::map<int, BenchImage> scalingImages;

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / US_PER_S;
}

// Lines and streamed characters, counted the way a download counts them.
BenchImage describeImage(const std::string& label, const std::string& path) {
    BenchImage image{label, path, 0, 0};
    ImageReader reader{};
    if (openImage(&reader, path.c_str()) != 0) {
        std::fprintf(stderr, "bench: cannot read %s\n", path.c_str());
        std::exit(1);
    }
    char line[IMAGE_LINE_BUFFER_SIZE];
    while (readImageLine(&reader, line, IMAGE_LINE_READ_COUNT)) {
        ++image.lines;
        image.characters += sendableCharacterCount(line);
    }
    closeImage(&reader);
    return image;
}

}  // namespace

void silenceStdout() {
    std::fflush(stdout);
    savedStdout = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
}

void restoreStdout() {
    std::fflush(stdout);
    if (savedStdout >= 0) {
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
        savedStdout = -1;
    }
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

const BenchImage& exampleImage() {
    static const BenchImage image =
        describeImage("example", std::string(DOVEL_SOURCE_DIR) + "/examples/dovel2.tek");
    return image;
}

const BenchImage& imageFor(int arg) {
    return arg == EXAMPLE_IMAGE_ARG ? exampleImage() : scalingImage(arg);
}

const BenchImage& scalingImage(int kib) {
    auto found = scalingImages.find(kib);
    if (found != scalingImages.end()) {
        return found->second;
    }
    const std::string path =
        std::string(DOVEL_BENCH_IMAGE_DIR) + "/image-" + std::to_string(kib) + "k.tek";
    const std::string command = std::string("'") + DOVEL_MAKE_TEK_IMAGE + "' " +
                                std::to_string(kib * BYTES_PER_KIB) + " " +
                                std::to_string(SCALING_IMAGE_SEED) + " '" + path + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "bench: %s failed\n", command.c_str());
        std::exit(1);
    }
    return scalingImages[kib] = describeImage(std::to_string(kib) + " KiB", path);
}

const std::vector<int>& scalingSizesKib() {
    static const std::vector<int> sizes = {4, 16, 64};
    return sizes;
}

int realTimeRepeats() {
    const char* text = std::getenv("DOVEL_BENCH_REPEATS");
    if (!text || !*text) {
        return DEFAULT_REPEATS;
    }
    const long repeats = std::strtol(text, nullptr, DECIMAL_RADIX);
    return repeats > 0 ? static_cast<int>(repeats) : DEFAULT_REPEATS;
}

ImageBytes imageBytes(const BenchImage& image) {
    ImageScan scan{};
    ImageBytes bytes{};
    readAndScanImage(image.path.c_str(), &scan, &bytes);
    return bytes;
}
