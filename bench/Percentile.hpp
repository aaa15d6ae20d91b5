#pragma once
// The benchmarks' percentile: the nearest-rank value of a copy of the samples (0 when there are none).
#include <algorithm>
#include <cstddef>
#include <vector>

namespace kiv::bench {

inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

} // namespace kiv::bench
