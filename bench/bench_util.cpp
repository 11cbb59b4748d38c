// bench_util.cpp - the batch comparison, the CPU affinity check and flag parsing used
// by every benchmark program.
#include "bench_util.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
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
std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

void addProcess(pid_t pid, bool descendants, ServerCost& cost) {
    const std::string process = "/proc/" + std::to_string(pid);
    for (const std::string& tid : entries(process + "/task")) {
        const std::string task = process + "/task/" + tid;
        double ns = 0;
        std::ifstream(task + "/schedstat") >> ns;
        std::ifstream status(task + "/status");
        for (std::string line; std::getline(status, line);) {
            const auto colon = line.find(':');
            if (colon != std::string::npos &&
                line.compare(0, colon, "voluntary_ctxt_switches") == 0)
                cost.switches += std::stod(line.substr(colon + 1));
            if (colon != std::string::npos &&
                line.compare(0, colon, "nonvoluntary_ctxt_switches") == 0)
                cost.switches += std::stod(line.substr(colon + 1));
        }
        std::string name;
        std::getline(std::ifstream(task + "/comm"), name);
        cost.cpuNs += ns;
        if (tid == std::to_string(pid)) {
            cost.mainNs += ns;
        } else if (name.compare(0, 8, "ZMQbg/IO") == 0) {
            cost.ioNs += ns;
        }
    }
    if (!descendants) return;
    std::ifstream children(process + "/task/" + std::to_string(pid) + "/children");
    for (pid_t child; children >> child;)
        addProcess(child, true, cost);
}

} // namespace

ServerCost ServerCost::sample(const std::vector<pid_t>& roots, bool descendants) {
    ServerCost cost;
    for (const pid_t pid : roots)
        addProcess(pid, descendants, cost);
    return cost;
}

ServerCost ServerCost::operator-(const ServerCost& earlier) const {
    ServerCost d;
    d.cpuNs = cpuNs - earlier.cpuNs;
    d.switches = switches - earlier.switches;
    d.mainNs = mainNs - earlier.mainNs;
    d.ioNs = ioNs - earlier.ioNs;
    return d;
}

Comparison compare(const std::function<void()>& a, const std::function<void()>& b, int rounds,
                   double batchMs, bool quick, const Servers* servers) {
    Comparison result;
    const std::vector<double> warm = batch(quick ? 1 : 5, a);
    batch(quick ? 1 : 5, b);
    result.iterations =
        quick ? 2 : std::max(5, std::min(5000, static_cast<int>(1000.0 * batchMs / median(warm))));
    if (quick) rounds = 1;

    std::vector<double> allA, allB, ratios;
    ServerCost spentA, spentB;
    auto counted = [&](const std::vector<pid_t>& server, const std::function<void()>& exchange,
                       ServerCost& spent) {
        if (servers == nullptr) return batch(result.iterations, exchange);
        const ServerCost before = ServerCost::sample(server);
        std::vector<double> times = batch(result.iterations, exchange);
        const ServerCost used = ServerCost::sample(server) - before;
        spent.cpuNs += used.cpuNs;
        spent.switches += used.switches;
        return times;
    };
    for (int round = 0; round < rounds; ++round) {
        const std::vector<double> timesA =
            counted(servers ? servers->a : std::vector<pid_t>{}, a, spentA);
        const std::vector<double> timesB =
            counted(servers ? servers->b : std::vector<pid_t>{}, b, spentB);
        allA.insert(allA.end(), timesA.begin(), timesA.end());
        allB.insert(allB.end(), timesB.begin(), timesB.end());
        ratios.push_back(median(timesB) / median(timesA));
    }
    result.medianA = median(allA);
    result.medianB = median(allB);
    result.ratio = median(ratios);
    result.lowest = *std::min_element(ratios.begin(), ratios.end());
    result.highest = *std::max_element(ratios.begin(), ratios.end());
    if (servers != nullptr) {
        const double exchanges = static_cast<double>(rounds) * result.iterations;
        result.cpuA = spentA.cpuNs / 1e3 / exchanges;
        result.cpuB = spentB.cpuNs / 1e3 / exchanges;
        result.switchesA = spentA.switches / exchanges;
        result.switchesB = spentB.switches / exchanges;
    }
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
