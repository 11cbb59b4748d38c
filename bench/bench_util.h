// bench_util.h - what only the benchmark programs need: their command-line flags, the
// A/B comparison in alternating batches, and whether the run is pinned to one CPU. The
// processes, clients and statistics they use come from the tests' support library.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "timing.h"

namespace bench {

// Result of running two exchanges in alternating batches, A B A B ...
struct Comparison {
    double medianA = 0; // µs, over every A exchange
    double medianB = 0;
    double ratio = 0;               // median over the rounds of median(B batch) / median(A batch)
    double lowest = 0, highest = 0; // range of those per-round ratios
    int iterations = 0;             // per batch
};

// Warms both up, sizes the batches to about batchMs of A each, then runs `rounds`
// pairs of batches. quick runs one pair of two exchanges each.
Comparison compare(const std::function<void()>& a, const std::function<void()>& b, int rounds,
                   double batchMs, bool quick);

// True when this process may run on one CPU only (taskset -c N).
bool pinnedToOneCpu();

// Command-line flags of the form --name value, plus boolean --name.
class Args {
  public:
    Args(int argc, char** argv);
    std::string get(const std::string& name, const std::string& fallback = "") const;
    long number(const std::string& name, long fallback) const;
    bool flag(const std::string& name) const;

  private:
    std::vector<std::string> words_;
};

} // namespace bench
