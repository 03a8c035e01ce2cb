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

void registerUpdateBenchmarks();
