// timing.cpp - percentile by partial ordering: a copy of the values is partitioned
// around the rank asked for, which is all one value needs.
#include "timing.h"

#include <algorithm>
#include <cstddef>

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}
