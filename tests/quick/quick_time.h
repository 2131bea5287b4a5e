// The quick builds of the two programs (Kelvane_quick and Dorvish_quick in the build
// folder's tests/ folder): the same programs, linked with quick_time.cpp, which makes
// every pause of theirs kQuickTimeFactor times as short. The end-to-end tests run them
// wherever the length of a pause is not what they check; one test per pause runs the real
// program and measures it.
#pragma once
#include <cstdint>

constexpr uint32_t kQuickTimeFactor = 20;
