// Benchmarks of the utility's own cost, with no bus time and no waits.
#pragma once

// Names under which they report, each with the image argument where it has one.
constexpr const char* DOWNLOAD_HOST_COST = "download_host_cost";
constexpr const char* DOWNLOAD_WITHOUT_UTILITY = "download_without_utility";
constexpr const char* GET_PROPERTY_HOST_COST = "get_property_host_cost";
constexpr const char* ROUND_TRIP_WITHOUT_UTILITY = "round_trip_without_utility";

constexpr const char* COUNTER_NS_PER_CHARACTER = "ns_per_char";
constexpr const char* COUNTER_NS_PER_ROUND_TRIP = "ns_per_round_trip";

void registerHostCostBenchmarks();
