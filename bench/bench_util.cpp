// bench_util.cpp - the batch comparison, the CPU affinity check and flag parsing used
// by every benchmark program.
#include "bench_util.h"

#include <algorithm>
#include <sched.h>

namespace bench {

namespace {
std::vector<double> batch(int iterations, const std::function<void()>& exchange) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(iterations));
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        exchange();
        times.push_back(usSince(start));
    }
    return times;
}
} // namespace

Comparison compare(const std::function<void()>& a, const std::function<void()>& b, int rounds,
                   double batchMs, bool quick) {
    Comparison result;
    const std::vector<double> warm = batch(quick ? 1 : 5, a);
    batch(quick ? 1 : 5, b);
    result.iterations =
        quick ? 2 : std::max(5, std::min(5000, static_cast<int>(1000.0 * batchMs / median(warm))));
    if (quick) rounds = 1;

    std::vector<double> allA, allB, ratios;
    for (int round = 0; round < rounds; ++round) {
        const std::vector<double> timesA = batch(result.iterations, a);
        const std::vector<double> timesB = batch(result.iterations, b);
        allA.insert(allA.end(), timesA.begin(), timesA.end());
        allB.insert(allB.end(), timesB.begin(), timesB.end());
        ratios.push_back(median(timesB) / median(timesA));
    }
    result.medianA = median(allA);
    result.medianB = median(allB);
    result.ratio = median(ratios);
    result.lowest = *std::min_element(ratios.begin(), ratios.end());
    result.highest = *std::max_element(ratios.begin(), ratios.end());
    return result;
}

bool pinnedToOneCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) == 1;
}

Args::Args(int argc, char** argv) : words_(argv + 1, argv + argc) {}

std::string Args::get(const std::string& name, const std::string& fallback) const {
    for (std::size_t i = 0; i + 1 < words_.size(); ++i) {
        if (words_[i] == "--" + name) return words_[i + 1];
    }
    return fallback;
}

long Args::number(const std::string& name, long fallback) const {
    const std::string text = get(name);
    return text.empty() ? fallback : std::stol(text);
}

bool Args::flag(const std::string& name) const {
    return std::find(words_.begin(), words_.end(), "--" + name) != words_.end();
}

} // namespace bench
