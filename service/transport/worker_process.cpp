// worker_process.cpp - a worker process: its operating-system ceilings, then the loop of
// waiting for a request, running it and posting the reply.
#include "worker_process.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "channel.h"
#include "jail.h"
#include "lua_worker.h"
#include "sanitizers.h"

namespace qel {

namespace {

// Room for the process itself beyond what the limits account for: code, stacks, the
// allocator's slack and the state's bookkeeping.
constexpr std::uint64_t kCeilingSlack = std::uint64_t{256} << 20;

// A backstop below the service's own accounting: if the Lua heap or the reply ever
// grew past --max-memory by a fault of ours, the allocator fails here instead of the
// machine running out of memory. Sanitizers reserve huge private mappings of their own.
void setMemoryCeiling(const Limits& limits) {
#ifndef QEL_SANITIZED
    if (limits.maxMemory == 0) return;
    const std::uint64_t ceiling = std::uint64_t{2} * limits.maxMemory + kCeilingSlack;
    rlimit limit{ceiling, ceiling};
    setrlimit(RLIMIT_DATA, &limit);
#else
    (void)limits;
#endif
}

// glibc maps each block of a few MiB afresh and unmaps it when freed; its threshold
// rises after a free only to the freed size, which the next block of that size still
// reaches. A worker building one large reply after another then pays a page fault for
// every page of every buffer, a third of its time for 16 MiB replies. Blocks up to
// 32 MiB come from the heap instead, and up to 64 MiB of freed heap stays until the
// idle release gives it back.
void keepHeapBetweenRequests() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20); // glibc's ceiling for this setting
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

// A reply area grows up to what --max-memory lets the reply take; the slack covers the
// uncharged base of the reply buffer and the rounding to pages.
constexpr std::uint64_t kAreaSlack = std::uint64_t{1} << 20;

JailSettings jailFor(const ServiceOptions& options) {
    JailSettings jail;
    jail.user = options.user;
    jail.parent = options.supervisor;
    jail.lastFd = kDoorbellFd;
    jail.writable = {kDoorbellFd};
    const std::uint64_t memory = options.limits.maxMemory;
    jail.maxFileSize = memory != 0 && memory < UINT64_MAX - kAreaSlack ? memory + kAreaSlack : 0;
    jail.trusted = options.limits.trusted;
    return jail;
}

void ringDoorbell() {
    const std::uint64_t one = 1;
    (void)!write(kDoorbellFd, &one, sizeof one);
}

} // namespace

int runWorker(const ServiceOptions& options) {
    // Only the supervisor stops a worker; a Ctrl-C aimed at the terminal's process group
    // must not take it away in the middle of a request.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != options.supervisor) return 1; // the supervisor is already gone
    setMemoryCeiling(options.limits);
    keepHeapBetweenRequests();

    void* shared =
        mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED, kControlFd, 0);
    if (shared == MAP_FAILED) return 1;
    Control& control = *static_cast<Control*>(shared);
    try {
        SharedArea request(kRequestFd, false);
        SharedArea first(kReplyFds[0], true);
        SharedArea second(kReplyFds[1], true);
        SharedReplyStorage storage(first, second);
        LuaWorker worker(options.limits, &storage, RunBudget::Deadline::Signalled);
        // The channel is mapped and the Lua state made; from here on only requests run.
        enterJail(jailFor(options));
        control.ready.store(1, std::memory_order_release);
        ringDoorbell();
        for (;;) {
            const std::uint32_t state = control.state.load(std::memory_order_acquire);
            if (state == Control::kCollect) {
                // Once the supervisor has seen this worker idle a while: the garbage of the
                // last requests goes back, under the deadline of the collection's number.
                worker.collect(control.sequence);
                malloc_trim(0); // the reply areas' pages are the supervisor's to give back
                control.replySize = 0;
                control.replyOk = 1;
            } else if (state == Control::kRequest) {
                storage.select(control.replyArea);
                std::size_t size = control.requestSize;
                if (!request.cover(size)) size = 0; // cannot happen: the supervisor grew it
                const std::string_view answer =
                    worker.handle({request.data(), size}, control.sequence);
                control.replySize = answer.size();
                control.replyOk = worker.lastOk() ? 1 : 0;
            } else {
                futexWait(control.state, state, std::chrono::hours(1));
                continue;
            }
            // Sequentially consistent, with the supervisor's store to `sleeping` and load
            // of `state` before it sleeps: one of the two sees the other's store.
            control.state.store(Control::kReply);
            if (control.sleeping.load() != 0) ringDoorbell();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel-lua-service: worker cannot start: %s\n", e.what());
        return 1;
    }
}

} // namespace qel
