// fuzz_service.cpp - libFuzzer target for the service's request handling.
// Arbitrary bytes go to a LuaWorker with every guard on; the worker must answer
// without crashing, keep its heap within the memory cap, and still run a plain
// script afterwards.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lua_worker.h"
#include "sanitizers.h"

#if defined(QEL_ASAN) && __has_include(<sanitizer/allocator_interface.h>)
#define QEL_FUZZ_TRACK_HEAP 1
#include <sanitizer/allocator_interface.h>
#endif

namespace {

constexpr std::size_t kMemoryCap = std::size_t{16} << 20;

qel::Limits fuzzLimits() {
    qel::Limits limits;
    limits.maxInstructions = 2000000;
    limits.maxSeconds = 1;
    limits.maxMemory = kMemoryCap;
    limits.maxRequest = std::size_t{1} << 20;
    return limits;
}

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "fuzz_service: %s (%.*s)\n", what,
                 static_cast<int>(detail.size() > 200 ? 200 : detail.size()), detail.data());
    std::abort();
}

#ifdef QEL_FUZZ_TRACK_HEAP
// Live heap bytes of the whole process and their peak while a request runs, from the
// sanitizer allocator's own hooks, so the cap is checked independently of the
// worker's own accounting.
std::size_t live = 0;
std::size_t peak = 0;
bool tracking = false;

void onMalloc(const volatile void*, std::size_t size) {
    if (!tracking) return;
    live += size;
    if (live > peak) peak = live;
}
void onFree(const volatile void* p) {
    if (!tracking || p == nullptr) return;
    const std::size_t size = __sanitizer_get_allocated_size(const_cast<const void*>(p));
    live = size > live ? 0 : live - size;
}

struct HeapWatch {
    HeapWatch() { __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree); }
    void start() {
        live = peak = 0;
        tracking = true;
    }
    std::size_t stop() {
        tracking = false;
        return peak;
    }
};
#else
struct HeapWatch {
    void start() {}
    std::size_t stop() { return 0; }
};
#endif

} // namespace

#ifdef QEL_ASAN
// A script that builds strings of ever new lengths (s = "x" .. s) frees each one at
// once, but the sanitizer allocator parks freed blocks in a quarantine and keeps every
// size class it used: the process would grow by gigabytes while the live heap stays
// within the cap. A small quarantine that is handed back to the system keeps the
// fuzzer's own RSS limit meaningful.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16:allocator_release_to_os_interval_ms=100";
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static HeapWatch watch;
    const std::string_view request(reinterpret_cast<const char*>(data), size);

    watch.start();
    {
        qel::LuaWorker worker(fuzzLimits());
        // Twice: the second run meets the state and the chunk cache the first one left.
        for (int round = 0; round < 2; ++round) {
            const std::string reply = worker.run(request);
            if (!worker.lastOk() && reply.rfind("error: ", 0) != 0) {
                fail("failed request without an error reply", reply);
            }
        }
        const std::string check = worker.run("return 6 * 7");
        if (check != "42") fail("worker unusable after the request", check);
    }
    // The Lua heap, the reply text and its copy each stay within the cap; anything past
    // twice the cap plus bookkeeping means a guard let the request through.
    const std::size_t peak = watch.stop();
    if (peak > 2 * kMemoryCap + (std::size_t{4} << 20)) {
        fail("memory cap exceeded", std::to_string(peak) + " bytes at peak");
    }
    return 0;
}
