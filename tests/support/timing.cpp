// timing.cpp - percentile by partial ordering: a copy of the values is partitioned
// around the rank asked for, which is all one value needs; waitUntil's polling.
#include "timing.h"

#include <algorithm>
#include <cstddef>
#include <thread>

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
               std::chrono::milliseconds every) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return done();
        std::this_thread::sleep_for(every);
    }
    return true;
}
