// bench_service.cpp - the library against the reference Lua service, each script as a
// ratio to a raw libzmq echo of the same text measured in the same run; then the
// service's round trip for growing replies, next to raw libzmq against the size peer.
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_util.h"

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

// A script returning `size` bytes. For a square size it repeats a run of sqrt(size)
// bytes, because string.rep copies its unit once per repetition and a one-byte unit
// would make the script, not the service, the cost being measured.
std::string repScript(std::size_t size) {
    std::size_t root = 0;
    while ((root + 1) * (root + 1) <= size)
        ++root;
    if (root * root == size) {
        const std::string r = std::to_string(root);
        return "return string.rep(string.rep(\"x\", " + r + "), " + r + ")";
    }
    return "return string.rep(\"x\", " + std::to_string(size) + ")";
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

        bench::Child peer({args.get("peer", "bench_peer")});
        bench::Child service({args.get("service", "qel-lua-service"), "--bind", "tcp://127.0.0.1:*",
                              "--workers", "1"});
        bench::RawClient raw(bench::parseEndpoint(peer.firstLine()).text);
        bench::LibraryClient library(bench::parseEndpoint(service.firstLine()));

        const std::vector<Script> scripts = {
            {"`return 1`", "return 1", 1.05},
            {"1,000-iteration loop", "local s = 0 for i = 1, 1000 do s = s + i end return s", 0},
            {"1 KiB string result", repScript(1024), 0},
            {"1 KiB script", sizedScript(1024), 0},
        };
        if (library.fetch("return 1") != "1" || library.fetch(scripts[3].text.c_str()).empty() ||
            library.fetch(scripts[2].text.c_str()).size() != 1024) {
            throw std::runtime_error("the service does not answer as expected");
        }

        std::printf("| Script | Echo: raw libzmq, µs | Library + service, µs | Ratio | Range "
                    "| Target | Met |\n");
        std::printf("|---|---:|---:|---:|---:|---:|:---:|\n");
        for (const Script& s : scripts) {
            const bench::Comparison r =
                bench::compare([&] { raw.exchange(s.text.c_str(), s.text.size()); },
                               [&] { library.exchange(s.text.c_str()); }, rounds, batchMs, quick);
            std::string target = "–", met = "–";
            if (s.target > 0) {
                char text[32];
                std::snprintf(text, sizeof text, "≤ %.2f", s.target);
                target = text;
                met = r.ratio <= s.target ? "yes" : "**no**";
            }
            std::printf("| %s | %.1f | %.1f | %.3f | %.3f–%.3f | %s | %s |\n", s.label.c_str(),
                        r.medianA, r.medianB, r.ratio, r.lowest, r.highest, target.c_str(),
                        met.c_str());
            std::fflush(stdout);
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
                    "|\n|---:|---:|---:|---:|\n");
        for (const std::size_t size : {0ul, 16ul, 1ul << 10, 64ul << 10, 1ul << 20, 16ul << 20}) {
            const std::string request = std::to_string(size);
            const std::string script = repScript(size);
            if (library.fetch(script.c_str()).size() != size) {
                throw std::runtime_error("wrong reply size from the service for " + script);
            }
            const bench::Comparison r = bench::compare(
                [&] { raw.exchange(request.c_str(), request.size()); },
                [&] { library.exchange(script.c_str()); }, rounds / 2 + 1, batchMs, quick);
            std::printf("| %zu B | %.1f | %.1f | %.3f |\n", size, r.medianA, r.medianB, r.ratio);
            std::fflush(stdout);
            if (data != nullptr) std::fprintf(data, "%zu %.3f\n", size, r.medianB);
        }
        if (data != nullptr) std::fclose(data);
        std::printf("\nService started with `--workers 1`; %s.\n",
                    band == "pinned" ? "client, service and echo peer pinned to one CPU"
                                     : "client, service and echo peer free to run on either CPU");
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_service: %s\n", e.what());
        return 1;
    }
}
