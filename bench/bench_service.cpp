// bench_service.cpp - the library against the reference Lua service, each script as a
// ratio to a raw libzmq echo of the same text measured in the same run; the service's
// round trip for growing replies, next to raw libzmq against the size peer; then the
// service against itself: guards on and off, one worker and two, metrics scraped or
// not, and its memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
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

// One row of a comparison table; a target of 0 means the row is not judged.
void row(const char* label, const bench::Comparison& r, double target) {
    char targetText[32] = "–";
    if (target > 0) std::snprintf(targetText, sizeof targetText, "≤ %.2f", target);
    const char* met = target <= 0 ? "–" : r.ratio <= target ? "yes" : "**no**";
    std::printf("| %s | %.1f | %.1f | %.3f | %.3f–%.3f | %s | %s |\n", label, r.medianA, r.medianB,
                r.ratio, r.lowest, r.highest, targetText, met);
    std::fflush(stdout);
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
        const bool quick = args.flag("quick");
        const int rounds = static_cast<int>(args.number("rounds", 12));
        const double batchMs = static_cast<double>(args.number("batch-ms", 40));
        const std::string dataPath = args.get("data");
        const std::string summaryPath = args.get("summary");
        const std::string band = bench::pinnedToOneCpu() ? "pinned" : "unpinned";

        const std::string servicePath = args.get("service", "qel-lua-service");
        ServiceProcess peer(args.get("peer", "bench_peer"), {});
        ServiceProcess service(servicePath, {"--workers", "1"});
        RawClient raw(peer.endpoint(), RawClient::kWaitForever);
        LibraryClient library(service.port());

        const std::vector<Script> scripts = {
            {"`return 1`", "return 1", 1.03},
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

        std::printf("| Script | Echo: raw libzmq, µs | Library + service, µs | Ratio | Range "
                    "| Target | Met |\n");
        std::printf("|---|---:|---:|---:|---:|---:|:---:|\n");
        for (const Script& s : scripts) {
            const bench::Comparison r =
                bench::compare([&] { raw.exchange(s.text); },
                               [&] { library.exchange(s.text.c_str()); }, rounds, batchMs, quick);
            row(s.label.c_str(), r, s.target);
            if (s.text == "return 1" && !summaryPath.empty()) {
                if (std::FILE* f = std::fopen(summaryPath.c_str(), "a")) {
                    std::fprintf(f, "service_return1_us_%s=%.1f\necho_us_%s=%.1f\n", band.c_str(),
                                 r.medianB, band.c_str(), r.medianA);
                    std::fclose(f);
                }
            }
        }

        // Replies of growing size: `return string.rep(...)` against raw libzmq asking the
        // size peer for as many bytes.
        std::FILE* data = dataPath.empty() ? nullptr : std::fopen(dataPath.c_str(), "w");
        if (data != nullptr) std::fprintf(data, "# bytes service_us\n");
        std::printf("\n| Reply size | A: raw libzmq + copy, µs | Library + service, µs | Ratio "
                    "| Target | Met |\n|---:|---:|---:|---:|---:|:---:|\n");
        const std::size_t sizes[] = {0, 16, 1ul << 10, 64ul << 10, 1ul << 20, 16ul << 20};
        std::vector<double> ratios;
        for (const std::size_t size : sizes) {
            const std::string request = std::to_string(size);
            const std::string script = repScript(size);
            if (library.run(script).size() != size) {
                throw std::runtime_error("wrong reply size from the service for " + script);
            }
            const bench::Comparison r = bench::compare([&] { raw.exchange(request); },
                                                       [&] { library.exchange(script.c_str()); },
                                                       rounds / 2 + 1, batchMs, quick);
            const bool judged = size >= (1ul << 20);
            std::printf("| %s | %.1f | %.1f | %.3f | %s | %s |\n", sizeLabel(size).c_str(),
                        r.medianA, r.medianB, r.ratio, judged ? "≤ 1.30" : "–",
                        judged ? (r.ratio <= 1.3 ? "yes" : "**no**") : "–");
            std::fflush(stdout);
            if (data != nullptr) std::fprintf(data, "%zu %.3f\n", size, r.medianB);
            ratios.push_back(r.ratio);
        }
        if (data != nullptr) std::fclose(data);
        printFlatness(sizes, ratios);

        // The same replies built by doubling (`s = s .. s`), against the same raw exchange.
        std::printf("\n| Reply built by doubling | A: raw libzmq + copy, µs | Library + service, "
                    "µs | Ratio | Range | Target | Met |\n|---|---:|---:|---:|---:|---:|:---:|\n");
        for (const std::size_t size : {1ul << 20, 16ul << 20}) {
            const std::string request = std::to_string(size);
            const std::string script = doublingScript(size);
            const std::string label = std::to_string(size >> 20) + " MiB";
            row(label.c_str(),
                bench::compare([&] { raw.exchange(request); },
                               [&] { library.exchange(script.c_str()); }, rounds / 2 + 1, batchMs,
                               quick),
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
                    "|\n|---|---:|---:|---:|---:|---:|:---:|\n");
        row("2e6-iteration loop: A no limits, B default limits",
            bench::compare([&] { unguarded.exchange(loop.c_str()); },
                           [&] { library.exchange(loop.c_str()); }, rounds / 2 + 1, batchMs, quick),
            1.05);
        row("2e6-iteration loop: A default limits, B `--max-instructions 1e12` (count hook on)",
            bench::compare([&] { library.exchange(loop.c_str()); },
                           [&] { counting.exchange(loop.c_str()); }, rounds / 2 + 1, batchMs,
                           quick),
            0);
        row("`return 1`: A `--workers 1`, B `--workers 2`",
            bench::compare([&] { library.exchange("return 1"); },
                           [&] { pair.exchange("return 1"); }, rounds, batchMs, quick),
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
        const bench::Comparison scraped = bench::compare(
            [&] {
                scraping = false;
                observed.exchange("return 1");
            },
            [&] {
                scraping = true;
                observed.exchange("return 1");
            },
            rounds, batchMs, quick);
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
                    "(growth %.2f × the reply; target ≤ 1.30: %s) |\n| 1.5 s after | %.1f |\n",
                    static_cast<double>(base) / 1048576, reply >> 20,
                    static_cast<double>(peak) / 1048576, growth,
                    growth <= 1.3 ? "met" : "**not met**", static_cast<double>(after) / 1048576);
        std::printf("\nService started with `--workers 1` unless a row says otherwise; %s.\n",
                    band == "pinned" ? "client, service and echo peer pinned to one CPU"
                                     : "client, service and echo peer free to run on either CPU");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_service: %s\n", e.what());
        return 1;
    }
}
