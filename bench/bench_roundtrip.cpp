// bench_roundtrip.cpp - the library's round trip against raw libzmq, reply size by
// reply size. A (raw REQ + one copy) and B (executeLuaScriptQel + freeResult) talk to
// the same peer and run in alternating batches, A B A B ..., so drift cancels out.
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "bench_util.h"
#include "clients.h"
#include "service_process.h"

namespace {

struct Case {
    std::size_t size;
    const char* label;
    double target; // highest acceptable B/A
};

const Case kCases[] = {{0, "0 B", 1.02},         {16, "16 B", 1.02},
                       {1024, "1 KiB", 1.02},    {64 << 10, "64 KiB", 1.02},
                       {1 << 20, "1 MiB", 1.05}, {16 << 20, "16 MiB", 1.05}};

} // namespace

int main(int argc, char** argv) {
    try {
        const bench::Args args(argc, argv);
        const bool quick = args.flag("quick");
        const std::string dataPath = args.get("data");
        const int rounds = static_cast<int>(args.number("rounds", 12));
        const double batchMs = static_cast<double>(args.number("batch-ms", 40));

        ServiceProcess peer(args.get("peer", "bench_peer"), {});
        RawClient raw(peer.endpoint(), RawClient::kWaitForever);
        LibraryClient library(peer.port());

        std::FILE* data = dataPath.empty() ? nullptr : std::fopen(dataPath.c_str(), "w");
        if (data != nullptr) std::fprintf(data, "# bytes A_us B_us\n");

        std::printf("| Reply size | A: raw libzmq + copy, µs | B: library, µs | B/A | "
                    "B/A range | Exchanges per batch | Target | Met |\n");
        std::printf("|---:|---:|---:|---:|---:|---:|---:|:---:|\n");
        bool allMet = true;
        for (const Case& c : kCases) {
            const std::string request = std::to_string(c.size);
            // Both clients must really get the size asked for, or the timing means nothing.
            const std::optional<std::string> rawReply = raw.ask(request);
            if (!rawReply || rawReply->size() != c.size || library.run(request).size() != c.size) {
                throw std::runtime_error("wrong reply size from the peer for " + request);
            }
            const bench::Comparison r =
                bench::compare([&] { raw.exchange(request); },
                               [&] { library.exchange(request.c_str()); }, rounds, batchMs, quick);
            const bool met = r.ratio <= c.target;
            allMet = allMet && met;
            std::printf("| %s | %.1f | %.1f | %.3f | %.3f–%.3f | %d | ≤ %.2f | %s |\n", c.label,
                        r.medianA, r.medianB, r.ratio, r.lowest, r.highest, r.iterations, c.target,
                        met ? "yes" : "**no**");
            std::fflush(stdout);
            if (data != nullptr)
                std::fprintf(data, "%zu %.3f %.3f\n", c.size, r.medianA, r.medianB);
        }
        if (data != nullptr) std::fclose(data);
        std::printf("\n%s; medians in µs per exchange, B/A is the median over %d A B pairs of "
                    "batches; %s.\n",
                    bench::pinnedToOneCpu() ? "Client and peer pinned to one CPU"
                                            : "Client and peer free to run on either CPU",
                    quick ? 1 : rounds, allMet ? "every target met" : "some targets missed");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_roundtrip: %s\n", e.what());
        return 1;
    }
}
