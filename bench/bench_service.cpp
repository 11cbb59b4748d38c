// bench_service.cpp - the library against the reference Lua service, each script as a
// ratio to a raw libzmq echo of the same text measured in the same run; the service's
// round trip for growing replies, next to raw libzmq against the size peer; then the
// service against itself: guards on and off, one worker and two, metrics scraped or
// not, and its memory. Beside each time, what the server spent: its CPU time and context
// switches per request. --syscalls N instead counts the system calls of N requests.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench_util.h"
#include "clients.h"
#include "processes.h"
#include "service_process.h"

namespace {

struct Script {
    std::string label;
    std::string text;
    double target; // highest acceptable ratio to the echo, or 0 for none
};

// A script of exactly `size` bytes that builds a table and returns its length.
std::string sizedScript(std::size_t size) {
    const std::string tail = "} return #t";
    std::string text = "local t = {";
    for (int i = 1; text.size() + tail.size() + 8 < size; ++i)
        text += std::to_string(i) + ",";
    text += "0";
    text += std::string(size - text.size() - tail.size(), ' ');
    return text + tail;
}

// A script returning `size` bytes: string.rep builds it by doubling what it has written.
std::string repScript(std::size_t size) {
    return "return string.rep(\"x\", " + std::to_string(size) + ")";
}

// A script whose reply is `size` bytes built by doubling a string, as scripts do.
std::string doublingScript(std::size_t size) {
    int doublings = 0;
    while ((std::size_t{1} << doublings) < size)
        ++doublings;
    return "local s = 'x' for i = 1, " + std::to_string(doublings) + " do s = s .. s end return s";
}

// "0 B", "16 B", "1 KiB", "64 KiB", "1 MiB", "16 MiB".
std::string sizeLabel(std::size_t size) {
    if (size >= (1ul << 20) && size % (1ul << 20) == 0) return std::to_string(size >> 20) + " MiB";
    if (size >= (1ul << 10) && size % (1ul << 10) == 0) return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

// How far apart the ratios of the reply-size table may lie (highest / lowest) for the
// page to call the service's cost flat in the reply size.
constexpr double kFlat = 1.05;

// The server cost columns that close every row: CPU µs and switches per request of A's
// server, then of B's.
std::string costColumns(const bench::Comparison& r) {
    char text[96];
    std::snprintf(text, sizeof text, " %.1f | %.2f | %.1f | %.2f |", r.cpuA, r.switchesA, r.cpuB,
                  r.switchesB);
    return text;
}

constexpr const char* kCostHeads = " A: server CPU µs/req | A: switches/req | B: server CPU "
                                   "µs/req | B: switches/req |";
constexpr const char* kCostRule = "---:|---:|---:|---:|";

// One row of a comparison table; a target of 0 means the row is not judged.
void row(const char* label, const bench::Comparison& r, double target) {
    char targetText[32] = "–";
    if (target > 0) std::snprintf(targetText, sizeof targetText, "≤ %.2f", target);
    const char* met = target <= 0 ? "–" : r.ratio <= target ? "yes" : "**no**";
    std::printf("| %s | %.1f | %.1f | %.3f | %.3f–%.3f | %s | %s |%s\n", label, r.medianA,
                r.medianB, r.ratio, r.lowest, r.highest, targetText, met, costColumns(r).c_str());
    std::fflush(stdout);
}

// Appends name=value lines to the run's summary file, when it has one.
void summarise(const std::string& path, const std::string& lines) {
    if (path.empty()) return;
    if (std::FILE* f = std::fopen(path.c_str(), "a")) {
        std::fputs(lines.c_str(), f);
        std::fclose(f);
    }
}

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// strace -c -f attached to one process and all its threads, for as long as it lives.
class Trace {
  public:
    Trace(const std::string& strace, pid_t target, const std::string& output)
        : target_(target), output_(output) {
        const std::string pid = std::to_string(target);
        std::vector<std::string> words = {strace, "-c", "-f", "-o", output, "-p", pid};
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) throw std::runtime_error("cannot start " + strace);
        // Attached once every thread of the target names strace as its tracer.
        for (int i = 0; !attached(); ++i) {
            if (i == 1000) throw std::runtime_error("strace did not attach to " + pid);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Trace() {
        if (pid_ > 0) finish();
    }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Detaches and returns the calls counted, by name.
    std::map<std::string, double> finish() {
        kill(pid_, SIGINT);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        // strace -c's table: "% time seconds usecs/call calls [errors] syscall", then a
        // rule and the total.
        std::map<std::string, double> calls;
        std::ifstream table(output_);
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::vector<std::string> words;
            for (std::string word; fields >> word;)
                words.push_back(word);
            if (words.size() < 5 || words[0].find_first_not_of("0123456789.") != std::string::npos)
                continue;
            if (words.back() != "total") calls[words.back()] += std::stod(words[3]);
        }
        return calls;
    }

  private:
    bool attached() const {
        const std::string tasks = "/proc/" + std::to_string(target_) + "/task/";
        const std::string tracer = "TracerPid:\t" + std::to_string(pid_) + "\n";
        DIR* dir = opendir(tasks.c_str());
        if (dir == nullptr) return false;
        bool all = true;
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream file(tasks + entry->d_name + "/status");
            const std::string status((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
            all = all && status.find(tracer) != std::string::npos;
        }
        closedir(dir);
        return all;
    }

    pid_t pid_ = -1;
    pid_t target_;
    std::string output_;
};

// What one request costs in system calls: the echo peer, and the service's supervisor
// and worker, each counted by strace over `requests` exchanges of `return 1`.
int countSystemCalls(const bench::Args& args) {
    const long requests = args.number("syscalls", 2000);
    const std::string strace = args.get("strace", "strace");
    const std::string summaryPath = args.get("summary");
    ServiceProcess peer(args.get("peer", "bench_peer"), {});
    ServiceProcess service(args.get("service", "qel-lua-service"), {"--workers", "1"});
    const std::vector<pid_t> workers = childrenOf(service.pid());
    if (workers.size() != 1) throw std::runtime_error("the service does not run one worker");
    RawClient raw(peer.endpoint(), RawClient::kWaitForever);
    LibraryClient library(service.port());
    for (int i = 0; i < 50; ++i) { // connected and warm before anything is counted
        raw.exchange("return 1");
        library.exchange("return 1");
    }
    char directory[] = "/tmp/bench_syscalls.XXXXXX";
    if (mkdtemp(directory) == nullptr) throw std::runtime_error("mkdtemp failed");
    const std::string where = directory;

    std::map<std::string, double> echo, supervisor, worker;
    {
        Trace trace(strace, peer.pid(), where + "/echo");
        for (long i = 0; i < requests; ++i)
            raw.exchange("return 1");
        echo = trace.finish();
    }
    {
        Trace traceSupervisor(strace, service.pid(), where + "/supervisor");
        Trace traceWorker(strace, workers[0], where + "/worker");
        for (long i = 0; i < requests; ++i)
            library.exchange("return 1");
        supervisor = traceSupervisor.finish();
        worker = traceWorker.finish();
    }
    for (const char* name : {"echo", "supervisor", "worker"})
        unlink((where + "/" + name).c_str());
    rmdir(directory);

    auto total = [&](const std::map<std::string, double>& calls) {
        double sum = 0;
        for (const auto& [name, count] : calls)
            sum += count;
        return sum / static_cast<double>(requests);
    };
    // The most frequent calls, as "name n.nn, ..." per request.
    auto top = [&](const std::map<std::string, double>& calls, std::size_t count) {
        std::vector<std::pair<double, std::string>> order;
        for (const auto& [name, n] : calls)
            order.emplace_back(n, name);
        std::sort(order.rbegin(), order.rend());
        std::string text;
        for (std::size_t i = 0; i < order.size() && i < count; ++i) {
            text += (i == 0 ? "`" : ", `") + order[i].second + "` " +
                    format("%.2f", order[i].first / static_cast<double>(requests));
        }
        return text;
    };
    std::printf("| Process | System calls per request | Most frequent, per request |\n"
                "|---|---:|---|\n");
    std::printf("| Raw libzmq echo peer (one process) | %.2f | %s |\n", total(echo),
                top(echo, 4).c_str());
    std::printf("| Service supervisor (all its threads) | %.2f | %s |\n", total(supervisor),
                top(supervisor, 6).c_str());
    std::printf("| Service worker | %.2f | %s |\n", total(worker), top(worker, 4).c_str());
    std::printf("\n%ld requests of `return 1`, one client, nothing pinned; each process counted "
                "by `strace -c -f -p PID` attached after a warm-up and detached after the last "
                "reply.\n",
                requests);
    summarise(summaryPath, "syscalls_echo=" + format("%.2f", total(echo)) +
                               "\nsyscalls_supervisor=" + format("%.2f", total(supervisor)) +
                               "\nsyscalls_worker=" + format("%.2f", total(worker)) + "\n");
    return 0;
}

// Whether the reply-size table's ratios are flat, said with the figures of this run.
template <std::size_t N>
void printFlatness(const std::size_t (&sizes)[N], const std::vector<double>& ratios) {
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    const std::string lowAt = sizeLabel(sizes[low - ratios.begin()]);
    const std::string highAt = sizeLabel(sizes[high - ratios.begin()]);
    if (*high <= *low * kFlat) {
        std::printf("\nFrom %s to %s the ratio stays within %.0f%%, from %.3f (%s) to %.3f (%s): "
                    "in proportion to raw libzmq, a large reply costs the service no more than "
                    "an empty one.\n",
                    sizeLabel(sizes[0]).c_str(), sizeLabel(sizes[N - 1]).c_str(), (kFlat - 1) * 100,
                    *low, lowAt.c_str(), *high, highAt.c_str());
    } else {
        std::printf("\nThe ratio depends on the reply size by more than %.0f%%: %.3f at %s and "
                    "%.3f at %s, lowest %.3f (%s), highest %.3f (%s).\n",
                    (kFlat - 1) * 100, ratios.front(), sizeLabel(sizes[0]).c_str(), ratios.back(),
                    sizeLabel(sizes[N - 1]).c_str(), *low, lowAt.c_str(), *high, highAt.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    try {
        const bench::Args args(argc, argv);
        if (!args.get("syscalls").empty()) return countSystemCalls(args);
        const bool quick = args.flag("quick");
        const int rounds = static_cast<int>(args.number("rounds", 12));
        const double batchMs = static_cast<double>(args.number("batch-ms", 40));
        const std::string dataPath = args.get("data");
        const std::string summaryPath = args.get("summary");
        const std::string band = bench::pinnedToOneCpu() ? "pinned" : "unpinned";

        const std::string servicePath = args.get("service", "qel-lua-service");
        const std::string peerPath = args.get("peer", "bench_peer");
        ServiceProcess peer(peerPath, {});
        ServiceProcess service(servicePath, {"--workers", "1"});
        RawClient raw(peer.endpoint(), RawClient::kWaitForever);
        LibraryClient library(service.port());
        const bench::Servers echoAndService{{peer.pid()}, {service.pid()}};

        const std::vector<Script> scripts = {
            // Wall time against the echo: pinned, the hand-off's two context switches are
            // most of what the service adds; unpinned, a cross-CPU wake-up may replace them.
            {"`return 1`", "return 1", band == "pinned" ? 1.30 : 1.25},
            {"1,000-iteration loop", "local s = 0 for i = 1, 1000 do s = s + i end return s", 0},
            {"1 KiB string result", repScript(1024), 0},
            {"1 KiB script", sizedScript(1024), 0},
        };
        // The sized script's table holds one number per comma, and the final 0.
        const std::string& sized = scripts[3].text;
        const auto elements = std::count(sized.begin(), sized.end(), ',') + 1;
        if (library.run("return 1") != "1" || library.run(sized) != std::to_string(elements) ||
            library.run(scripts[2].text).size() != 1024) {
            throw std::runtime_error("the service does not answer as expected");
        }

        std::printf("| Script | A: echo, raw libzmq, µs | B: library + service, µs | Ratio | "
                    "Range | Target | Met |%s\n",
                    kCostHeads);
        std::printf("|---|---:|---:|---:|---:|---:|:---:|%s\n", kCostRule);
        bench::Comparison returnOne;
        for (const Script& s : scripts) {
            const bench::Comparison r = bench::compare([&] { raw.exchange(s.text); },
                                                       [&] { library.exchange(s.text.c_str()); },
                                                       rounds, batchMs, quick, &echoAndService);
            row(s.label.c_str(), r, s.target);
            if (s.text == "return 1") returnOne = r;
        }
        const std::string b = band;
        summarise(summaryPath, "service_return1_us_" + b + "=" + format("%.1f", returnOne.medianB) +
                                   "\necho_us_" + b + "=" + format("%.1f", returnOne.medianA) +
                                   "\nservice_return1_cpu_" + b + "=" +
                                   format("%.1f", returnOne.cpuB) + "\necho_cpu_" + b + "=" +
                                   format("%.1f", returnOne.cpuA) + "\nservice_return1_switches_" +
                                   b + "=" + format("%.2f", returnOne.switchesB) +
                                   "\necho_switches_" + b + "=" +
                                   format("%.2f", returnOne.switchesA) + "\n");
        if (returnOne.cpuA > 0) {
            const double cpuRatio = returnOne.cpuB / returnOne.cpuA;
            std::printf("\nFor `return 1` the service's processes spent %.2f× the CPU time per "
                        "request of the echo peer (%.1f µs against %.1f µs; target ≤ 1.45: "
                        "%s).\n",
                        cpuRatio, returnOne.cpuB, returnOne.cpuA,
                        cpuRatio <= 1.45 ? "met" : "**not met**");
        }

        // The design's floor: the same echo with one hand-off to a child process and back
        // per request, against the plain echo.
        {
            ServiceProcess hopPeer(peerPath, {"--hop"});
            RawClient hopped(hopPeer.endpoint(), RawClient::kWaitForever);
            const bench::Servers echoAndHop{{peer.pid()}, {hopPeer.pid()}};
            const bench::Comparison floor = bench::compare([&] { raw.exchange("return 1"); },
                                                           [&] { hopped.exchange("return 1"); },
                                                           rounds, batchMs, quick, &echoAndHop);
            std::printf("\n| `return 1` | µs | Server CPU µs/req | Switches/req |\n"
                        "|---|---:|---:|---:|\n");
            std::printf("| Raw libzmq echo | %.1f | %.1f | %.2f |\n", floor.medianA, floor.cpuA,
                        floor.switchesA);
            std::printf("| Echo + one futex/eventfd hand-off to a child process (the floor) | "
                        "%.1f | %.1f | %.2f |\n",
                        floor.medianB, floor.cpuB, floor.switchesB);
            std::printf("| Library + service (from the first table) | %.1f | %.1f | %.2f |\n",
                        returnOne.medianB, returnOne.cpuB, returnOne.switchesB);
            summarise(summaryPath, "floor_us_" + b + "=" + format("%.1f", floor.medianB) +
                                       "\nfloor_cpu_" + b + "=" + format("%.1f", floor.cpuB) +
                                       "\nfloor_switches_" + b + "=" +
                                       format("%.2f", floor.switchesB) + "\n");
        }

        // Replies of growing size: `return string.rep(...)` against raw libzmq asking the
        // size peer for as many bytes.
        std::FILE* data = dataPath.empty() ? nullptr : std::fopen(dataPath.c_str(), "w");
        if (data != nullptr) std::fprintf(data, "# bytes service_us\n");
        std::printf("\n| Reply size | A: raw libzmq + copy, µs | B: library + service, µs | Ratio "
                    "| Target | Met |%s\n|---:|---:|---:|---:|---:|:---:|%s\n",
                    kCostHeads, kCostRule);
        const std::size_t sizes[] = {0, 16, 1ul << 10, 64ul << 10, 1ul << 20, 16ul << 20};
        std::vector<double> ratios;
        bench::Comparison largest;
        for (const std::size_t size : sizes) {
            const std::string request = std::to_string(size);
            const std::string script = repScript(size);
            if (library.run(script).size() != size) {
                throw std::runtime_error("wrong reply size from the service for " + script);
            }
            const bench::Comparison r = bench::compare(
                [&] { raw.exchange(request); }, [&] { library.exchange(script.c_str()); },
                rounds / 2 + 1, batchMs, quick, &echoAndService);
            const bool judged = size >= (1ul << 20);
            std::printf("| %s | %.1f | %.1f | %.3f | %s | %s |%s\n", sizeLabel(size).c_str(),
                        r.medianA, r.medianB, r.ratio, judged ? "≤ 1.30" : "–",
                        judged ? (r.ratio <= 1.3 ? "yes" : "**no**") : "–", costColumns(r).c_str());
            if (size == (16ul << 20)) largest = r;
            std::fflush(stdout);
            if (data != nullptr) std::fprintf(data, "%zu %.3f\n", size, r.medianB);
            ratios.push_back(r.ratio);
        }
        if (data != nullptr) std::fclose(data);
        printFlatness(sizes, ratios);
        if (largest.cpuA > 0) {
            const double cpuRatio = largest.cpuB / largest.cpuA;
            std::printf("\nA 16 MiB reply cost the service's processes %.2f× the CPU time of the "
                        "raw peer sending it (%.0f µs against %.0f µs; target ≤ 1.40: %s).\n",
                        cpuRatio, largest.cpuB, largest.cpuA,
                        cpuRatio <= 1.4 ? "met" : "**not met**");
        }

        // The same replies built by doubling (`s = s .. s`), against the same raw exchange.
        std::printf(
            "\n| Reply built by doubling | A: raw libzmq + copy, µs | B: library + service, "
            "µs | Ratio | Range | Target | Met |%s\n|---|---:|---:|---:|---:|---:|:---:|%s\n",
            kCostHeads, kCostRule);
        for (const std::size_t size : {1ul << 20, 16ul << 20}) {
            const std::string request = std::to_string(size);
            const std::string script = doublingScript(size);
            const std::string label = std::to_string(size >> 20) + " MiB";
            row(label.c_str(),
                bench::compare([&] { raw.exchange(request); },
                               [&] { library.exchange(script.c_str()); }, rounds / 2 + 1, batchMs,
                               quick, &echoAndService),
                1.2);
        }

        // The service against itself. A is the service as a baseline, B the variant.
        ServiceProcess bare(servicePath, {"--max-instructions", "0", "--max-seconds", "0",
                                          "--max-memory", "0", "--max-request", "0"});
        ServiceProcess two(servicePath, {"--workers", "2"});
        ServiceProcess counted(servicePath, {"--max-instructions", "1e12"});
        LibraryClient unguarded(bare.port());
        LibraryClient pair(two.port());
        LibraryClient counting(counted.port());
        const std::string loop = "local s = 0 for i = 1, 2e6 do s = s + i end return s";
        std::printf("\n| Service against itself | A, µs | B, µs | B/A | Range | Target | Met "
                    "|%s\n|---|---:|---:|---:|---:|---:|:---:|%s\n",
                    kCostHeads, kCostRule);
        const bench::Servers bareAndDefault{{bare.pid()}, {service.pid()}};
        const bench::Servers defaultAndCounted{{service.pid()}, {counted.pid()}};
        const bench::Servers oneAndTwo{{service.pid()}, {two.pid()}};
        row("2e6-iteration loop: A no limits, B default limits",
            bench::compare([&] { unguarded.exchange(loop.c_str()); },
                           [&] { library.exchange(loop.c_str()); }, rounds / 2 + 1, batchMs, quick,
                           &bareAndDefault),
            1.05);
        row("2e6-iteration loop: A default limits, B `--max-instructions 1e12` (count hook on)",
            bench::compare([&] { library.exchange(loop.c_str()); },
                           [&] { counting.exchange(loop.c_str()); }, rounds / 2 + 1, batchMs, quick,
                           &defaultAndCounted),
            0);
        row("`return 1`: A `--workers 1`, B `--workers 2`",
            bench::compare([&] { library.exchange("return 1"); },
                           [&] { pair.exchange("return 1"); }, rounds, batchMs, quick, &oneAndTwo),
            1.05);

        // Prometheus scraping the service 100 times a second, against the same service
        // unscraped: the scraper runs only while B's batches do.
        ServiceProcess watched(servicePath, {"--metrics", "127.0.0.1:0"});
        const int metricsPort = loggedMetricsPort(watched);
        if (metricsPort == 0 || httpGet(metricsPort, "/metrics").find(" 200 ") == std::string::npos)
            throw std::runtime_error("the service's --metrics listener does not answer");
        LibraryClient observed(watched.port());
        std::atomic<bool> scraping{false};
        std::atomic<bool> scraperRuns{true};
        std::atomic<long> scrapes{0};
        std::thread scraper([&] {
            auto next = std::chrono::steady_clock::now();
            while (scraperRuns.load()) {
                next += std::chrono::milliseconds(10);
                if (scraping.load() && !httpGet(metricsPort, "/metrics").empty()) ++scrapes;
                std::this_thread::sleep_until(next);
            }
        });
        const bench::Servers watchedTwice{{watched.pid()}, {watched.pid()}};
        const bench::Comparison scraped = bench::compare(
            [&] {
                scraping = false;
                observed.exchange("return 1");
            },
            [&] {
                scraping = true;
                observed.exchange("return 1");
            },
            rounds, batchMs, quick, &watchedTwice);
        scraperRuns = false;
        scraper.join();
        row("`return 1`: A `--metrics` unscraped, B scraped 100 times a second", scraped, 1.02);
        std::printf("\n(%ld scrapes during B's batches.)\n", scrapes.load());

        // Memory for one 16 MiB reply: the peak growth of the whole process tree while
        // it is built and sent, and what is still held a while after.
        const std::size_t reply = quick ? (1ul << 20) : (16ul << 20);
        const std::string big = repScript(reply);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // earlier pages given back
        const std::size_t base = treeMemory(service.pid());
        std::atomic<bool> sampling{true};
        std::size_t peak = base;
        std::thread sampler([&] {
            while (sampling.load()) {
                peak = std::max(peak, treeMemory(service.pid()));
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        for (int i = 0; i < 3; ++i)
            library.exchange(big.c_str());
        sampling = false;
        sampler.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const std::size_t after = treeMemory(service.pid());
        const double growth = static_cast<double>(peak - base) / static_cast<double>(reply);
        std::printf("\n| Memory of the service's processes | MiB |\n|---|---:|\n"
                    "| before | %.1f |\n| peak while replying %zu MiB (three times) | %.1f "
                    "(growth %.2f × the reply; target ≤ 1.50: %s) |\n| 1.5 s after | %.1f |\n",
                    static_cast<double>(base) / 1048576, reply >> 20,
                    static_cast<double>(peak) / 1048576, growth,
                    growth <= 1.5 ? "met" : "**not met**", static_cast<double>(after) / 1048576);
        std::printf("\nService started with `--workers 1` unless a row says otherwise; %s.\n",
                    band == "pinned" ? "client, service and echo peer pinned to one CPU"
                                     : "client, service and echo peer free to run on either CPU");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_service: %s\n", e.what());
        return 1;
    }
}
