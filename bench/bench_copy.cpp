// bench_copy.cpp - the one copy a reply needs, taken alone: plain memcpy (the floor,
// which ignores NULs), memccpy (stops at the first NUL, as the interface requires) and
// the library's own copyReplyText, memchr + memcpy over 32 KiB blocks, which stops at
// the first NUL while each block is still in the L1 cache. Shows what the NUL search
// costs on top of the round trip.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "bench_util.h"
#include "src/reply_copy.h"

int main(int argc, char** argv) {
    const bench::Args args(argc, argv);
    const int repeats = static_cast<int>(args.number("repeats", args.flag("quick") ? 3 : 41));
    // Each ratio to memcpy, lowest and highest over the sizes, for the sentence below.
    double ccpyLow = 1e300, ccpyHigh = 0, blocksLow = 1e300, blocksHigh = 0;
    std::printf("| Reply size | memcpy, µs | memccpy, µs | memccpy / memcpy | 32 KiB blocks "
                "of memchr + memcpy, µs | blocks / memcpy |\n|---:|---:|---:|---:|---:|---:|\n");
    for (const std::size_t size : {64ul << 10, 1ul << 20, 16ul << 20}) {
        std::vector<char> source(size, 'x');
        // Allocated and touched once, outside the timing: only the copies are compared.
        const std::unique_ptr<char[]> target = std::make_unique<char[]>(size + 1);
        // The source is rewritten before every copy, as a fresh reply would be.
        auto time = [&](const std::function<void()>& copy) {
            std::vector<double> times;
            for (int i = 0; i < repeats; ++i) {
                std::memset(source.data(), 'x', size);
                const auto start = Clock::now();
                copy();
                keep(target.get());
                times.push_back(usSince(start));
            }
            return median(times);
        };
        const double plain = time([&] {
            std::memcpy(target.get(), source.data(), size);
            target[size] = '\0';
        });
        const double ccpy = time([&] {
            if (memccpy(target.get(), source.data(), '\0', size) == nullptr) target[size] = '\0';
        });
        const double blocks = time([&] { copyReplyText(target.get(), source.data(), size); });
        std::printf("| %zu KiB | %.1f | %.1f | %.2f | %.1f | %.2f |\n", size >> 10, plain, ccpy,
                    ccpy / plain, blocks, blocks / plain);
        ccpyLow = std::min(ccpyLow, ccpy / plain);
        ccpyHigh = std::max(ccpyHigh, ccpy / plain);
        blocksLow = std::min(blocksLow, blocks / plain);
        blocksHigh = std::max(blocksHigh, blocks / plain);
    }
    std::printf("\nMedians of %d copies each%s. Against plain memcpy, memccpy took %.2f–%.2f× "
                "as long and the 32 KiB blocks %.2f–%.2f×, over the sizes above.\n",
                repeats, bench::pinnedToOneCpu() ? ", pinned" : "", ccpyLow, ccpyHigh, blocksLow,
                blocksHigh);
    return 0;
}
