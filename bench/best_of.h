// Timing of the benchmarks: the best of repeated runs.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace bench {

// Seconds of the fastest of `runs` runs of `body`, after one run that warms
// the caches (and an OpenMP team) and faults the pages in. The box is shared
// with whatever else runs: the fastest run is the one least disturbed, for
// the work measured and for its baseline alike.
inline double best_seconds(int runs, const std::function<void()>& body) {
    body();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return *std::min_element(times.begin(), times.end());
}

// Keeps the compiler from dropping work whose result nobody reads.
inline volatile uint32_t sink;

}  // namespace bench
