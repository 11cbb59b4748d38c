// bench_throughput.cpp - requests per second and latency percentiles of many client
// threads, each with its own library handle, against the service with one and with two
// workers, with the CPU time and switches the service spent per request. Both services
// run side by side so each pair of runs sees the same machine.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    // Per request: CPU µs and switches of every thread of the service's processes, and
    // the CPU µs of the supervisor's own threads, split into its serving loop (the main
    // thread), ZeroMQ's I/O threads and the rest.
    double cpu = 0, switches = 0;
    double supervisor = 0, loop = 0, io = 0;
};

std::string cpuScript(long iterations) {
    return "local s = 0 for i = 1, " + std::to_string(iterations) +
           " do s = s + i % 7 end return s";
}

// Runs `threads` clients for about `seconds`, each sending `script` back to back, to
// the service `pid` listening on `port`.
Load run(pid_t pid, int port, const std::string& script, int threads, double seconds) {
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
    const bench::ServerCost service = bench::ServerCost::sample({pid});
    const bench::ServerCost supervisor = bench::ServerCost::sample({pid}, false);
    start = Clock::now();
    go = true;
    for (std::thread& t : workers)
        t.join();
    const double elapsed = usSince(start) / 1e6;
    const bench::ServerCost serviceUsed = bench::ServerCost::sample({pid}) - service;
    const bench::ServerCost supervisorUsed = bench::ServerCost::sample({pid}, false) - supervisor;
    if (failed) throw std::runtime_error("a client call failed");

    std::vector<double> all;
    for (const auto& mine : latencies)
        all.insert(all.end(), mine.begin(), mine.end());
    Load load;
    load.perSecond = static_cast<double>(all.size()) / elapsed;
    load.p50 = percentile(all, 0.50);
    load.p99 = percentile(all, 0.99);
    const double requests = static_cast<double>(std::max<std::size_t>(all.size(), 1));
    load.cpu = serviceUsed.cpuNs / 1e3 / requests;
    load.switches = serviceUsed.switches / requests;
    load.supervisor = supervisorUsed.cpuNs / 1e3 / requests;
    load.loop = supervisorUsed.mainNs / 1e3 / requests;
    load.io = supervisorUsed.ioNs / 1e3 / requests;
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

// A service whose ZeroMQ context runs `threads` I/O threads.
std::unique_ptr<ServiceProcess> withIoThreads(const std::string& path, int threads) {
    setenv("QEL_IO_THREADS", std::to_string(threads).c_str(), 1);
    auto service =
        std::make_unique<ServiceProcess>(path, std::vector<std::string>{"--workers", "1"});
    unsetenv("QEL_IO_THREADS");
    return service;
}

// `return 1` from 16 client threads against one service with one ZeroMQ I/O thread and
// one with two, in alternating runs.
void compareIoThreads(const std::string& path, int rounds, double seconds) {
    const auto one = withIoThreads(path, 1);
    const auto two = withIoThreads(path, 2);
    std::vector<double> rate[2], cpu[2], io[2];
    for (int round = 0; round < rounds; ++round) {
        int i = 0;
        for (const auto* service : {one.get(), two.get()}) {
            const Load load = run(service->pid(), service->port(), "return 1", 16, seconds);
            rate[i].push_back(load.perSecond);
            cpu[i].push_back(load.supervisor);
            io[i].push_back(load.io);
            ++i;
        }
    }
    std::printf("\n| ZeroMQ I/O threads in the service | req/s | Supervisor CPU µs/req | of which "
                "ZeroMQ's I/O threads |\n|---:|---:|---:|---:|\n");
    for (int i = 0; i < 2; ++i) {
        std::printf("| %d | %.0f | %.1f | %.1f |\n", i + 1, median(rate[i]), median(cpu[i]),
                    median(io[i]));
    }
    std::printf("\n`return 1` from 16 client threads, %d alternating run%s of %.2f s each against "
                "a service with `QEL_IO_THREADS=1` and one with `QEL_IO_THREADS=2`, one worker "
                "each; medians over the runs, 2 / 1 in requests per second: %.2f.\n",
                rounds, rounds == 1 ? "" : "s", seconds, median(rate[1]) / median(rate[0]));
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

        std::printf("| Script | Client threads | 1 worker: req/s | p50 µs | p99 µs | CPU µs/req | "
                    "switches/req | 2 workers: req/s | p50 µs | p99 µs | CPU µs/req | "
                    "switches/req | 2 workers / 1 | Target | Met |\n");
        std::printf(
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|:---:|\n");
        Load ceiling; // `return 1`, 16 client threads, one worker
        std::vector<std::pair<int, double>> heavyRatios; // client threads, 2 workers / 1
        for (const Row& row : rows) {
            for (const int threads : row.threads) {
                const Load a = run(one.pid(), ports[0], *row.script, threads, seconds);
                const Load b = run(two.pid(), ports[1], *row.script, threads, seconds);
                const double ratio = b.perSecond / a.perSecond;
                const bool targeted = threads > 1;
                char target[16] = "–";
                if (targeted) std::snprintf(target, sizeof target, "≥ %.1f", row.target);
                std::printf("| %s | %d | %.0f | %.0f | %.0f | %.1f | %.2f | %.0f | %.0f | %.0f | "
                            "%.1f | %.2f | %.2f | %s | %s |\n",
                            row.label, threads, a.perSecond, a.p50, a.p99, a.cpu, a.switches,
                            b.perSecond, b.p50, b.p99, b.cpu, b.switches, ratio, target,
                            targeted ? (ratio >= row.target ? "yes" : "**no**") : "–");
                std::fflush(stdout);
                if (row.script == &heavy) heavyRatios.emplace_back(threads, ratio);
                if (row.script == &light && threads == 16) ceiling = a;
                if (row.script == &light && !summaryPath.empty()) {
                    if (std::FILE* f = std::fopen(summaryPath.c_str(), "a")) {
                        std::fprintf(
                            f,
                            "service_return1_rps_%d_w1=%.0f\nservice_return1_rps_%d_w2=%.0f\n"
                            "service_return1_cpu_%d_w1=%.1f\nservice_return1_switches_%d_w1=%.2f\n"
                            "service_return1_cpu_%d_w2=%.1f\n",
                            threads, a.perSecond, threads, b.perSecond, threads, a.cpu, threads,
                            a.switches, threads, b.cpu);
                        std::fclose(f);
                    }
                }
            }
        }
        std::printf("\nThe CPU-bound loop is `%s`: %.0f µs per request from one client to one "
                    "worker. Each run lasts %.2f s; nothing pinned.\n",
                    heavy.c_str(), heavyUs, seconds);
        printCeiling(parallelCeiling(quick ? 0.01 : 0.3), heavyRatios);

        // The supervisor's share at 16 clients: one process, one serving thread, so the
        // rate its CPU time per request allows is as far as one supervisor goes.
        const double other = std::max(0.0, ceiling.supervisor - ceiling.loop - ceiling.io);
        std::printf("\n| Supervisor alone, `return 1`, 16 client threads, 1 worker | CPU µs/req | "
                    "Requests/s that allows |\n|---|---:|---:|\n");
        auto limit = [](double us) { return us > 0 ? 1e6 / us : 0.0; };
        std::printf("| Serving loop (main thread) | %.1f | %.0f |\n", ceiling.loop,
                    limit(ceiling.loop));
        std::printf("| ZeroMQ's I/O thread | %.1f | %.0f |\n", ceiling.io, limit(ceiling.io));
        std::printf("| Other threads | %.1f | – |\n", other);
        std::printf("| Whole supervisor, on one CPU | %.1f | %.0f |\n", ceiling.supervisor,
                    limit(ceiling.supervisor));
        if (!summaryPath.empty()) {
            if (std::FILE* f = std::fopen(summaryPath.c_str(), "a")) {
                std::fprintf(f,
                             "supervisor_cpu_16=%.1f\nsupervisor_loop_cpu_16=%.1f\n"
                             "supervisor_io_cpu_16=%.1f\n",
                             ceiling.supervisor, ceiling.loop, ceiling.io);
                std::fclose(f);
            }
        }

        const long ioRounds = args.number("io-rounds", quick ? 1 : 3);
        if (ioRounds > 0) compareIoThreads(servicePath, static_cast<int>(ioRounds), seconds);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_throughput: %s\n", e.what());
        return 1;
    }
}
