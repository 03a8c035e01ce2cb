// Whole updates of the simulated hand in real time, against their lower bound.
#pragma once

#include <string>

// Figure names for the summary, each followed by the image label.
constexpr const char* FIGURE_WALL_S = "wall s, ";
constexpr const char* FIGURE_BOUND_S = "bound s, ";
constexpr const char* FIGURE_RATIO = "ratio, ";
constexpr const char* FIGURE_DOWNLOAD_CPU_SHARE = "download walk CPU share, ";
constexpr const char* FIGURE_LATE_US_PER_CHARACTER = "late us per character, ";

void registerUpdateBenchmarks();
