// bench_handoff.cpp - the bare cost of the service's hand-off to a worker process and
// back, with nothing else around it: a futex wake to a second process, which answers
// through an eventfd that the first one waits on in poll(), as the supervisor does.
// Prints the median round trip in µs; bench/run.sh puts it next to the service's own.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <linux/futex.h>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench_util.h"

namespace {

// The word the second process waits on, as the worker waits on its control block.
constexpr std::uint32_t kIdle = 0, kRequest = 1, kStop = 2;

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, nullptr, nullptr,
                   0);
}

[[noreturn]] void answerer(std::atomic<std::uint32_t>& state, int doorbell) {
    const std::uint64_t one = 1;
    for (;;) {
        const std::uint32_t seen = state.load(std::memory_order_acquire);
        if (seen == kStop) _exit(0);
        if (seen != kRequest) {
            futex(&state, FUTEX_WAIT, seen);
            continue;
        }
        state.store(kIdle, std::memory_order_release);
        if (write(doorbell, &one, sizeof one) != sizeof one) _exit(1);
    }
}

// One hand-off and its answer, timed from the wake to the doorbell read.
double roundTrip(std::atomic<std::uint32_t>& state, int doorbell) {
    const auto start = Clock::now();
    state.store(kRequest, std::memory_order_release);
    futex(&state, FUTEX_WAKE, 1);
    pollfd ring{doorbell, POLLIN, 0};
    while (poll(&ring, 1, -1) < 0 && errno == EINTR) {
    }
    std::uint64_t rings = 0;
    if (read(doorbell, &rings, sizeof rings) != sizeof rings) return -1;
    return usSince(start);
}

} // namespace

int main(int argc, char** argv) {
    const bench::Args args(argc, argv);
    const long exchanges = args.number("exchanges", args.flag("quick") ? 20 : 20000);
    void* shared = mmap(nullptr, sizeof(std::atomic<std::uint32_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    const int doorbell = eventfd(0, EFD_CLOEXEC);
    if (shared == MAP_FAILED || doorbell < 0) {
        std::perror("bench_handoff");
        return 1;
    }
    auto& state = *new (shared) std::atomic<std::uint32_t>(kIdle);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("bench_handoff: fork");
        return 1;
    }
    if (child == 0) answerer(state, doorbell);

    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(exchanges));
    bool failed = false;
    for (long i = 0; i < exchanges / 10 + exchanges && !failed; ++i) {
        const double us = roundTrip(state, doorbell);
        failed = us < 0;
        if (i >= exchanges / 10) times.push_back(us); // the first tenth warms up
    }
    state.store(kStop, std::memory_order_release);
    futex(&state, FUTEX_WAKE, 1);
    int status = 0;
    waitpid(child, &status, 0);
    if (failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_handoff: the answering process failed\n");
        return 1;
    }
    std::printf("%.2f\n", median(times));
    return 0;
}
