// Whole updates of the simulated hand in real time, against their lower bound.
#pragma once

// The name under which they report, with the image argument.
constexpr const char* REAL_TIME_UPDATE = "real_time_update";

constexpr const char* COUNTER_WALL_S = "wall_s";
constexpr const char* COUNTER_BOUND_S = "bound_s";
constexpr const char* COUNTER_RATIO = "ratio";
constexpr const char* COUNTER_WALK_CPU_SHARE = "walk_cpu_share";
// What the wall time exceeds the bound by, shared out over the characters streamed.
constexpr const char* COUNTER_LATE_US_PER_CHARACTER = "late_us_per_char";

// The example image's real-time update behind an adapter with a 1 ms round trip
// (latency=500), with the download mode as its argument: 0 one by one, 1 together.
constexpr const char* REAL_TIME_UPDATE_LATENCY = "real_time_update_latency500";
constexpr int ADAPTER_LATENCY_US = 500;
// The download walk's time with a never-late host (hand time): from the first start
// request to the last character.
constexpr const char* COUNTER_DOWNLOAD_WALK_S = "download_walk_s";

void registerUpdateBenchmarks();

// Seconds of the example image's download walk, start request to last character, with a
// never-late host behind an adapter of ADAPTER_LATENCY_US, in either mode; -1 when the
// update did not complete.
double latencyDownloadWalkSeconds(bool together);
