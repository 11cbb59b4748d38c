// worker_process.cpp - a worker process: its operating-system ceilings, then the loop of
// waiting for a request, running it and posting the reply.
#include "worker_process.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <malloc.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <system_error>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "arena.h"
#include "channel.h"
#include "hand_off.h"
#include "jail.h"
#include "lua_worker.h"
#include "preload.h"
#include "preload_snapshot.h"
#include "replies.h"
#include "reply_areas.h"
#include "sanitizers.h"

namespace qel {

namespace {

// The ceiling is this many times --max-memory: freed heap that the allocator keeps, and
// its fragmentation, count against RLIMIT_DATA as much as live blocks do.
constexpr std::uint64_t kCeilingFactor = 2;
// Room for the process itself beyond what the limits account for: code, stacks, the
// allocator's slack and the state's bookkeeping.
constexpr std::uint64_t kCeilingSlack = std::uint64_t{256} << 20;

// A reply area grows up to what --max-memory lets the reply take; the slack covers the
// uncharged base of the reply buffer and the rounding to pages.
constexpr std::uint64_t kAreaSlack = std::uint64_t{1} << 20;

// glibc's largest mmap threshold on 64-bit systems (DEFAULT_MMAP_THRESHOLD_MAX), and
// the freed heap kept; see keepHeapBetweenRequests().
constexpr int kMmapThreshold = 32 << 20;
constexpr int kTrimThreshold = 64 << 20;

// A wait for the next request ends on the supervisor's wake, which cannot be missed: the
// state is read before the wait and the futex compares it again. The bound only keeps a
// wait from being endless should that ever fail, and is long, so an idle worker costs
// no wake-ups.
constexpr auto kLongestWait = std::chrono::hours(1);

[[noreturn]] void fail(const char* step) {
    throw std::system_error(errno, std::generic_category(), step);
}

// A backstop below the service's own accounting: if the Lua heap or the reply ever
// grew past --max-memory by a fault of ours, the allocator fails here instead of the
// machine running out of memory. The arena's shared pages are outside RLIMIT_DATA; its
// sealed size bounds them instead (arenaSize in the supervisor's worker_pool.cpp).
// Sanitizers reserve huge private mappings of their own.
void setMemoryCeiling(const Limits& limits) {
#ifndef QEL_SANITIZED
    if (limits.maxMemory == 0) return;
    const std::uint64_t ceiling = kCeilingFactor * limits.maxMemory + kCeilingSlack;
    const rlimit limit{ceiling, ceiling};
    if (setrlimit(RLIMIT_DATA, &limit) != 0) fail("RLIMIT_DATA");
#else
    (void)limits;
#endif
}

// glibc maps each block of a few MiB afresh and unmaps it when freed; its threshold
// rises after a free only to the freed size, which the next block of that size still
// reaches. A worker building one large reply after another then pays a page fault for
// every page of every buffer, a third of its time for 16 MiB replies. Blocks up to
// 32 MiB come from the heap instead, and up to 64 MiB of freed heap stays until the
// idle release gives it back. Both are hints whose refusal costs only speed, and the
// sanitizers' allocators, which ignore them, answer as if refusing: not checked.
void keepHeapBetweenRequests() {
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}

// Only the supervisor stops a worker, and it dies with the supervisor. What a terminal
// sends its whole process group (Ctrl-C, Ctrl-\, Ctrl-Z, a hang-up, a write from the
// background) must not take it away or stop it in the middle of a request, and a
// standard error whose reader went away fails a write instead of killing it; the user
// signals, which mean nothing to a worker, are ignored as they always were. Every other
// signal has its default: the worker starts with all of them reset.
void prepareProcess(const ServiceOptions& options) {
    for (int signal :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE, SIGUSR1, SIGUSR2}) {
        if (std::signal(signal, SIG_IGN) == SIG_ERR) fail("signal");
    }
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail("PR_SET_PDEATHSIG");
    setMemoryCeiling(options.limits);
    keepHeapBetweenRequests();
}

JailSettings jailFor(const ServiceOptions& options) {
    JailSettings jail;
    jail.user = options.user;
    jail.parent = options.supervisor;
    jail.lastFd = kAheadRequestFd;
    jail.writable = {kDoorbellFd};
    // The worker builds replies in its reply areas, growing them, and reads the size of
    // its request areas, which only the supervisor grows.
    jail.growable = {kReplyFds[0], kReplyFds[1]};
    jail.measurable = {kRequestFd, kAheadRequestFd};
    const std::uint64_t memory = options.limits.maxMemory;
    jail.maxFileSize = memory != 0 && memory < UINT64_MAX - kAreaSlack ? memory + kAreaSlack : 0;
    jail.trusted = options.limits.trusted;
    return jail;
}

// The time limit of the preloaded files' first run, which the worker keeps itself: the
// supervisor times requests only, and could not signal a worker that has yet to take
// the signal. The timer names run 0, the number LuaWorker::open() runs them as, which no
// request has. It is armed before the jail, which allows no timer calls, and is never
// deleted: it fires once, and after the run it changes nothing. With no --max-seconds,
// the supervisor's limit on a worker's start still ends a file that loops.
void armStartDeadline(const Limits& limits) {
    const auto limit = timeLimit(limits.maxSeconds);
    if (!limit) return;
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = deadlineSignal();
    event.sigev_value.sival_int = 0;
    event._sigev_un._tid = gettid(); // glibc 2.36 has no name for it yet
    timer_t timer{};
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) fail("timer_create");
    constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*limit).count();
    itimerspec due{};
    due.it_value.tv_sec = static_cast<time_t>(ns / kNanosecondsPerSecond);
    due.it_value.tv_nsec = static_cast<long>(ns % kNanosecondsPerSecond);
    if (timer_settime(timer, 0, &due, nullptr) != 0) fail("timer_settime");
}

// A ring that fails is said; the supervisor still sees the reply when it next looks.
void ringDoorbell() {
    const std::uint64_t one = 1;
    if (write(kDoorbellFd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
        std::fprintf(stderr, "qel-lua-service: a worker cannot ring the supervisor: %s\n",
                     std::strerror(errno));
    }
}

// The reply sent from the arena last is no longer read once the supervisor says so;
// until then its bytes stay, and the replies are built in the reply areas.
void takeRelease(const WorkerHandOff& hand, LuaWorker& worker, bool postedAhead) {
    if (hand.arenaReleased(postedAhead)) worker.replyReleased();
}

// Runs the posted request, from the request area and into the reply area the supervisor
// named, or leaves it where Lua wrote it in the arena; the reply's size and verdict go
// beside that area, where the supervisor reads them.
void answer(WorkerHandOff& hand, const Job& job, SharedArea* requests, SharedReplyStorage& storage,
            LuaWorker& worker, const Arena* arena, bool postedAhead) {
    takeRelease(hand, worker, postedAhead);
    storage.select(job.replyArea);
    SharedArea& request = requests[job.requestArea];
    const std::size_t size = job.requestSize;
    std::string_view text;
    if (request.cover(size)) {
        text = worker.handle({request.data(), size}, job.sequence);
    } else {
        // The supervisor grows the area before it posts a request, so this would be a
        // fault of ours; what was not read is not run.
        std::fprintf(stderr, "qel-lua-service: a worker cannot read a request of %zu bytes\n",
                     size);
        text = worker.refuse(reply::kRequestUnreadable);
    }
    const bool inArena = arena != nullptr && worker.inArena();
    hand.leave(job.replyArea,
               {text.size(), worker.lastOk(), inArena,
                inArena ? static_cast<std::uint64_t>(text.data() - arena->base()) : 0},
               worker.heapBytes());
}

// Once the supervisor has seen this worker idle a while: the garbage of the last
// requests goes back, under the deadline of the collection's number.
void collectGarbage(WorkerHandOff& hand, const Job& job, LuaWorker& worker, Arena* arena) {
    takeRelease(hand, worker, false);
    worker.collect(job.sequence);
    malloc_trim(0); // the reply areas' pages are the supervisor's to give back
    if (arena != nullptr) arena->trim();
    hand.leave(job.replyArea, {0, true, false, 0}, worker.heapBytes());
}

// Said on standard error, as at every start, and left in the control block for the
// supervisor, which logs it when the worker was one of a reload's.
void sayFailure(WorkerHandOff& hand, const std::string& error) {
    std::fprintf(stderr, "qel-lua-service: %s\n", error.c_str());
    hand.failed(error);
}

// The files as the supervisor read them for this worker's generation: never from disk
// here, where a file edited since would mix two versions in one generation.
bool compilePreload(const ServiceOptions& options, Preload& preload, std::string& error) {
    if (options.preload.empty()) return true;
    std::vector<PreloadSource> sources;
    const bool read = readPreloadSnapshot(kPreloadFd, sources, error);
    close(kPreloadFd);
    return read && preload.compile(sources, error);
}

// The arena the supervisor made, mapped whole once: it never changes size, so it never
// moves. None with --trusted, whose supervisor makes none.
std::unique_ptr<Arena> mapArena(const Limits& limits) {
    if (limits.trusted) return nullptr;
    const off_t size = lseek(kArenaFd, 0, SEEK_END);
    if (size <= 0) fail("the arena's size");
    void* mapping = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                         MAP_SHARED, kArenaFd, 0);
    if (mapping == MAP_FAILED) fail("mmap of the arena");
    close(kArenaFd); // the mapping stays
    const std::size_t limit = limits.maxMemory;
    const std::size_t keep = limit != 0 && limit / 4 < Arena::kKeep ? limit / 4 : Arena::kKeep;
    return std::make_unique<Arena>(static_cast<char*>(mapping), static_cast<std::size_t>(size),
                                   keep);
}

Control& mapControl() {
    void* shared =
        mmap(nullptr, sizeof(Control), PROT_READ | PROT_WRITE, MAP_SHARED, kControlFd, 0);
    if (shared == MAP_FAILED) fail("mmap of the control block");
    return *static_cast<Control*>(shared);
}

// A start that fails here ends without the destructors: the jail allows no close().
void openJailed(const ServiceOptions& options, const Preload& preload, WorkerHandOff& hand,
                LuaWorker& worker, std::string& error) {
    enterJail(jailFor(options));
    if (!preload.empty() && !worker.open(error)) {
        sayFailure(hand, error);
        std::_Exit(1);
    }
}

// A request posted ahead meanwhile runs straight after, without a sleep.
[[noreturn]] void serve(WorkerHandOff& hand, SharedArea* requests, SharedReplyStorage& storage,
                        LuaWorker& worker, Arena* arena) {
    const auto run = [&](const Job& job, bool postedAhead) {
        answer(hand, job, requests, storage, worker, arena, postedAhead);
    };
    const auto collect = [&](const Job& job) { collectGarbage(hand, job, worker, arena); };
    for (;;) {
        if (!hand.sleepUntilPosted(kLongestWait)) hand.step(run, collect);
    }
}

} // namespace

int runWorker(const ServiceOptions& options) {
    bool serving = false;
    try {
        prepareProcess(options);
        if (getppid() != options.supervisor) return 1; // the supervisor is already gone
        WorkerHandOff hand(mapControl(), ringDoorbell);
        SharedArea requests[2] = {SharedArea(kRequestFd, false),
                                  SharedArea(kAheadRequestFd, false)};
        SharedArea first(kReplyFds[0], true);
        SharedArea second(kReplyFds[1], true);
        SharedReplyStorage storage(first, second);
        const std::unique_ptr<Arena> arena = mapArena(options.limits);
        // Compiled once for every state, before the jail.
        Preload preload;
        std::string error;
        if (!compilePreload(options, preload, error)) {
            sayFailure(hand, error);
            return 1;
        }
        LuaWorker worker(options.limits, &storage, RunBudget::Deadline::Signalled, &preload,
                         arena.get());
        if (!preload.empty()) armStartDeadline(options.limits);
        // The channel is mapped; from here on only Lua runs, the files first, as the
        // requests do: jailed. One that fails stops the start here, and the supervisor
        // then serves nothing.
        openJailed(options, preload, hand, worker, error);
        hand.ready(worker.heapBytes());
        serving = true;
        serve(hand, requests, storage, worker, arena.get());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel-lua-service: worker %s: %s\n",
                     serving ? "stopped" : "cannot start", e.what());
        return 1;
    }
}

} // namespace qel
