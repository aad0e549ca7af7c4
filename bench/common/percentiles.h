#pragma once

#include <algorithm>
#include <vector>

namespace tessaly::bench {

// The median and 95th percentile of a set of timings, with their count and sum.
struct Percentiles {
    double median = 0;
    double p95 = 0;
    double total = 0;
    std::size_t count = 0;
};

inline Percentiles percentiles(std::vector<double> values) {
    Percentiles figures;
    if (values.empty()) {
        return figures;
    }
    std::sort(values.begin(), values.end());
    figures.count = values.size();
    figures.median = values[values.size() / 2];
    figures.p95 = values[std::min(values.size() - 1, values.size() * 95 / 100)];
    for (const double value : values) {
        figures.total += value;
    }
    return figures;
}

} // namespace tessaly::bench
