// bench_lua_flag.cpp - the cost of the read-only table flag in the service's Lua: a
// table-write-heavy loop in the stock interpreter and in the same interpreter on the
// patched core, in alternating runs; prints each median and the ratio patched / stock.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_util.h"
#include "processes.h"
#include "timing.h"

namespace {

// Writes to array slots, to existing and to new fields; each run prints the CPU seconds
// of its loop alone, so process start-up is not measured.
const char kLoop[] = "local rounds = tonumber(arg[1]) local t, u = {}, {x = 0, y = 0} "
                     "local c = os.clock() for r = 1, rounds do "
                     "for i = 1, 1000 do t[i] = i end "
                     "for i = 1, 500 do u.x = i u.y = u.x end "
                     "local s = {} s.a = r s.b = r s[1] = r s[2] = r end "
                     "io.write(os.clock() - c)";

double run(const char* interpreter, long rounds) {
    const ProgramResult result =
        runProgram(interpreter, {"-e", kLoop, "-", std::to_string(rounds)}, "");
    if (result.exitCode != 0) {
        std::fprintf(stderr, "bench_lua_flag: %s failed: %s\n", interpreter, result.err.c_str());
        std::exit(1);
    }
    return std::strtod(result.out.c_str(), nullptr);
}

} // namespace

int main(int argc, char** argv) {
    const bench::Args args(argc, argv);
    const bool quick = args.flag("quick");
    const long rounds = args.number("rounds", quick ? 200 : 20000);
    const int pairs = static_cast<int>(args.number("pairs", quick ? 1 : 15));
    const double target = 1.02;
    std::vector<double> stock, patched;
    for (int i = 0; i < pairs; ++i) {
        stock.push_back(run(QEL_LUA_STOCK, rounds));
        patched.push_back(run(QEL_LUA_PATCHED, rounds));
    }
    const double a = median(stock), b = median(patched);
    const double ratio = a > 0 ? b / a : 0.0;
    std::printf(
        "| table writes (%ld rounds, %d run%s each%s) | %.1f ms | %.1f ms | %.3f | ≤ %.2f | "
        "%s |\n",
        rounds, pairs, pairs == 1 ? "" : "s", bench::pinnedToOneCpu() ? ", pinned" : "", a * 1e3,
        b * 1e3, ratio, target, ratio <= target ? "yes" : "**no**");
    return 0;
}
