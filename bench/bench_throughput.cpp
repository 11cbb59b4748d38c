// bench_throughput.cpp - requests per second and latency percentiles of many client
// threads, each with its own library handle, against the service with one and with two
// workers. Both services run side by side so each pair of runs sees the same machine.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "clients.h"
#include "service_process.h"

namespace {

struct Load {
    double perSecond = 0;
    double p50 = 0, p99 = 0; // µs
};

std::string cpuScript(long iterations) {
    return "local s = 0 for i = 1, " + std::to_string(iterations) +
           " do s = s + i % 7 end return s";
}

// Runs `threads` clients for about `seconds`, each sending `script` back to back.
Load run(int port, const std::string& script, int threads, double seconds) {
    std::vector<std::unique_ptr<LibraryClient>> clients;
    for (int i = 0; i < threads; ++i) {
        clients.push_back(std::make_unique<LibraryClient>(port));
        clients.back()->exchange(script.c_str()); // connected, and the chunk is warm
    }
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(threads));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> failed{false};
    Clock::time_point start;
    const auto length = std::chrono::duration<double>(seconds);

    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&, i] {
            auto& mine = latencies[static_cast<std::size_t>(i)];
            mine.reserve(1 << 16);
            ++ready;
            while (!go.load())
                std::this_thread::yield();
            const Clock::time_point end =
                start + std::chrono::duration_cast<Clock::duration>(length);
            try {
                for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
                    clients[static_cast<std::size_t>(i)]->exchange(script.c_str());
                    mine.push_back(usSince(now));
                }
            } catch (const std::exception&) {
                failed = true;
            }
        });
    }
    while (ready.load() < threads)
        std::this_thread::yield();
    start = Clock::now();
    go = true;
    for (std::thread& t : workers)
        t.join();
    const double elapsed = usSince(start) / 1e6;
    if (failed) throw std::runtime_error("a client call failed");

    std::vector<double> all;
    for (const auto& mine : latencies)
        all.insert(all.end(), mine.begin(), mine.end());
    Load load;
    load.perSecond = static_cast<double>(all.size()) / elapsed;
    load.p50 = percentile(all, 0.50);
    load.p99 = percentile(all, 0.99);
    return load;
}

// How much faster two threads of pure CPU work finish than one thread doing both
// shares in turn: what this machine's CPUs give work that needs nothing else, as a
// reference for what a second worker gives the CPU-bound script.
double parallelCeiling(double seconds) {
    auto spin = [](long rounds) {
        volatile std::uint64_t x = 1;
        for (long i = 0; i < rounds; ++i)
            x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    };
    long rounds = 1000000;
    for (int i = 0; i < 30; ++i) { // grow the work to about `seconds`
        const auto start = Clock::now();
        spin(rounds);
        if (usSince(start) > seconds * 1e6) break;
        rounds *= 2;
    }
    std::vector<double> ratios;
    for (int trial = 0; trial < 3; ++trial) {
        auto start = Clock::now();
        spin(rounds);
        spin(rounds);
        const double serial = usSince(start);
        start = Clock::now();
        std::thread other([&] { spin(rounds); });
        spin(rounds);
        other.join();
        ratios.push_back(serial / usSince(start));
    }
    return median(ratios);
}

// The ceiling next to what a second worker gave the CPU-bound script, with the figures
// of this run and no verdict beyond what they show.
void printCeiling(double ceiling, const std::vector<std::pair<int, double>>& ratios) {
    std::printf("\nThe machine's own ceiling, measured in the same run after the rows above: two "
                "threads of pure CPU work (no ZeroMQ, no Lua) finished %.2f× as fast as one "
                "thread doing both shares. The CPU-bound rows' 2 workers / 1 were",
                ceiling);
    int above = 0;
    for (std::size_t i = 0; i < ratios.size(); ++i) {
        const char* separator = i == 0 ? "" : i + 1 == ratios.size() ? " and" : ",";
        std::printf("%s %.2f (%d client thread%s)", separator, ratios[i].second, ratios[i].first,
                    ratios[i].first == 1 ? "" : "s");
        if (ratios[i].second > ceiling) ++above;
    }
    if (above == 0) {
        std::printf(": none above that ceiling.\n");
    } else {
        std::printf(": %d of %zu above it.\n", above, ratios.size());
    }
}

} // namespace

int main(int argc, char** argv) {
    try {
        const bench::Args args(argc, argv);
        const bool quick = args.flag("quick");
        const double seconds = quick ? 0.05 : static_cast<double>(args.number("ms", 1000)) / 1000;
        const std::string servicePath = args.get("service", "qel-lua-service");
        const std::string summaryPath = args.get("summary");

        ServiceProcess one(servicePath, {"--workers", "1"});
        ServiceProcess two(servicePath, {"--workers", "2"});
        const int ports[2] = {one.port(), two.port()};

        // Size the CPU-bound script to about 1 ms of service time on this machine.
        long iterations = 100000;
        if (!quick) {
            LibraryClient probe(ports[0]);
            auto timeOf = [&](const std::string& script) {
                std::vector<double> times;
                for (int i = 0; i < 7; ++i) {
                    const auto start = Clock::now();
                    probe.exchange(script.c_str());
                    times.push_back(usSince(start));
                }
                return median(times);
            };
            const double base = timeOf("return 1");
            const double probeUs = timeOf(cpuScript(iterations)) - base;
            iterations = static_cast<long>(static_cast<double>(iterations) * 1000.0 / probeUs);
            iterations = (iterations + 500) / 1000 * 1000;
        }
        const std::string heavy = cpuScript(quick ? 1000 : iterations);
        const double heavyUs = [&] {
            LibraryClient probe(ports[0]);
            std::vector<double> times;
            for (int i = 0; i < (quick ? 1 : 9); ++i) {
                const auto start = Clock::now();
                probe.exchange(heavy.c_str());
                times.push_back(usSince(start));
            }
            return median(times);
        }();

        // Targets for several clients: a second worker must never cost a light request
        // anything, and should nearly double a CPU-bound one on two CPUs.
        struct Row {
            const char* label;
            const std::string* script;
            std::vector<int> threads;
            double target;
        };
        const std::string light = "return 1";
        const Row rows[] = {{"`return 1`", &light, {1, 4, 16, 50}, 1.0},
                            {"CPU-bound loop", &heavy, {1, 4, 16}, 1.8}};

        std::printf("| Script | Client threads | 1 worker: req/s | p50 µs | p99 µs | 2 workers: "
                    "req/s | p50 µs | p99 µs | 2 workers / 1 | Target | Met |\n");
        std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|:---:|\n");
        std::vector<std::pair<int, double>> heavyRatios; // client threads, 2 workers / 1
        for (const Row& row : rows) {
            for (const int threads : row.threads) {
                const Load a = run(ports[0], *row.script, threads, seconds);
                const Load b = run(ports[1], *row.script, threads, seconds);
                const double ratio = b.perSecond / a.perSecond;
                const bool targeted = threads > 1;
                char target[16] = "–";
                if (targeted) std::snprintf(target, sizeof target, "≥ %.1f", row.target);
                std::printf(
                    "| %s | %d | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.2f | %s | %s |\n",
                    row.label, threads, a.perSecond, a.p50, a.p99, b.perSecond, b.p50, b.p99, ratio,
                    target, targeted ? (ratio >= row.target ? "yes" : "**no**") : "–");
                std::fflush(stdout);
                if (row.script == &heavy) heavyRatios.emplace_back(threads, ratio);
                if (row.script == &light && !summaryPath.empty()) {
                    if (std::FILE* f = std::fopen(summaryPath.c_str(), "a")) {
                        std::fprintf(
                            f, "service_return1_rps_%d_w1=%.0f\nservice_return1_rps_%d_w2=%.0f\n",
                            threads, a.perSecond, threads, b.perSecond);
                        std::fclose(f);
                    }
                }
            }
        }
        std::printf("\nThe CPU-bound loop is `%s`: %.0f µs per request from one client to one "
                    "worker. Each run lasts %.2f s; nothing pinned.\n",
                    heavy.c_str(), heavyUs, seconds);
        printCeiling(parallelCeiling(quick ? 0.01 : 0.3), heavyRatios);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_throughput: %s\n", e.what());
        return 1;
    }
}
