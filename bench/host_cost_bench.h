// Benchmarks of the utility's own cost, with no bus time and no waits.
#pragma once

// Figure names for the summary; the per-character ones are followed by the image label.
constexpr const char* FIGURE_HOST_NS_PER_CHARACTER = "host ns per character, ";
constexpr const char* FIGURE_BARE_NS_PER_CHARACTER = "bare ns per character, ";
constexpr const char* FIGURE_GET_PROPERTY_NS = "getProperty ns";
constexpr const char* FIGURE_BARE_ROUND_TRIP_NS = "bare round trip ns";

void registerHostCostBenchmarks();
