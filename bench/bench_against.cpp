// bench_against.cpp - `return 1` through the library on another build's service (A) and on
// this one (B), in alternating batches of one run, so that a change to the service is held
// to the speed of what it replaces: bench_against --against OLD [--service NEW].
#include <cstdio>
#include <exception>
#include <string>

#include "bench_util.h"
#include "clients.h"
#include "service_process.h"

int main(int argc, char** argv) {
    try {
        const bench::Args args(argc, argv);
        const std::string other = args.get("against");
        if (other.empty()) {
            std::fprintf(stderr, "usage: bench_against --against SERVICE [--service SERVICE]\n");
            return 2;
        }
        ServiceProcess a(other, {"--workers", "1"});
        ServiceProcess b(args.get("service", "qel-lua-service"), {"--workers", "1"});
        LibraryClient clientA(a.port());
        LibraryClient clientB(b.port());
        const bench::Servers servers{{a.pid()}, {b.pid()}};
        const bench::Comparison r = bench::compare(
            [&] { clientA.exchange("return 1"); }, [&] { clientB.exchange("return 1"); },
            static_cast<int>(args.number("rounds", 24)),
            static_cast<double>(args.number("batch-ms", 40)), args.flag("quick"), &servers);
        std::printf("`return 1`: A %.1f µs, B %.1f µs, B/A %.3f (rounds %.3f–%.3f); server CPU "
                    "A %.1f µs, B %.1f µs per request\n",
                    r.medianA, r.medianB, r.ratio, r.lowest, r.highest, r.cpuA, r.cpuB);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_against: %s\n", e.what());
        return 1;
    }
}
