// bench_util.h - what only the benchmark programs need: their command-line flags, the
// A/B comparison in alternating batches, and whether the run is pinned to one CPU. The
// processes, clients and statistics they use come from the tests' support library.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
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
    // What the servers of A and B spent per exchange over all their batches, when
    // compare() was given their processes; -1 when not measured.
    double cpuA = -1, cpuB = -1;           // µs on a CPU, every thread of every process
    double switchesA = -1, switchesB = -1; // voluntary and involuntary context switches
};

// CPU time and context switches of a server's threads, as /proc gives them per thread:
// schedstat's time on a CPU and the two switch counts of status. A thread that ends
// between two samples takes its counts with it, so a difference can fall short by what
// such a thread did; the servers measured here start no threads while they serve.
struct ServerCost {
    double cpuNs = 0;    // every thread
    double switches = 0; // every thread
    double mainNs = 0;   // the main threads (the supervisor's serving loop)
    double ioNs = 0;     // ZeroMQ's I/O threads (named ZMQbg/IO/N)

    // Sums over every thread of each process in `roots` and, with `descendants`, of
    // every process below them (a service's workers, the hand-off peer's child).
    static ServerCost sample(const std::vector<pid_t>& roots, bool descendants = true);
    ServerCost operator-(const ServerCost& earlier) const;
};

// The servers whose cost compare() counts around each batch of A and of B.
struct Servers {
    std::vector<pid_t> a, b;
};

// Warms both up, sizes the batches to about batchMs of A each, then runs `rounds`
// pairs of batches. quick runs one pair of two exchanges each.
// With `servers`, also counts their CPU time and switches around each batch.
Comparison compare(const std::function<void()>& a, const std::function<void()>& b, int rounds,
                   double batchMs, bool quick, const Servers* servers = nullptr);

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
