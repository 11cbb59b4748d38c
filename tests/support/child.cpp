// child.cpp - runInChild: fork, bounded wait with waitpid(WNOHANG), SIGKILL on time-out;
// on Windows, a thread with the same bounded wait.
#include "child.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <condition_variable>
#include <memory>
#include <mutex>

// Windows has no fork. The body runs on a thread of its own instead, with the same
// bounded wait; a thread still blocked when the wait ends cannot be stopped safely, so
// it is left blocked until the process ends. Bodies therefore own everything they use.
ChildOutcome runInChild(const std::function<int()>& body, std::chrono::milliseconds wait) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        int code = 99;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, body] {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->code = code;
        shared->done = true;
        shared->finished.notify_all();
    }).detach();

    ChildOutcome outcome;
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (shared->finished.wait_for(lock, wait, [&] { return shared->done; })) {
        outcome.exitCode = shared->code;
    } else {
        outcome.blocked = true;
    }
    return outcome;
}

ChildFlag::ChildFlag() = default;
ChildFlag::~ChildFlag() = default;
void ChildFlag::raise() const {
    *flag_ = true;
}
bool ChildFlag::raised() const {
    return *flag_;
}
#else
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// The child reports its code through a pipe and then waits to be killed by the
// parent: a forked copy holds memory of the parent's threads without the threads,
// which a memory checker would report as leaked if the child exited normally.
ChildOutcome runInChild(const std::function<int()>& body, std::chrono::milliseconds wait) {
    ChildOutcome outcome;
    int report[2];
    if (pipe(report) != 0) return outcome;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        unsigned char code = 99;
        try {
            code = static_cast<unsigned char>(body());
        } catch (...) {
        }
        std::fflush(stdout);
        std::fflush(stderr);
        if (write(report[1], &code, 1) != 1) _exit(98);
        for (int i = 0; i < 600; ++i)
            sleep(1); // the parent kills us long before this
        _exit(code);
    }
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        return outcome;
    }

    const auto deadline = std::chrono::steady_clock::now() + wait;
    pollfd ready{report[0], POLLIN, 0};
    int polled = 0;
    do {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        polled = poll(&ready, 1, static_cast<int>(std::max<long long>(0, left.count())));
    } while (polled < 0 && errno == EINTR);

    unsigned char code = 0;
    const bool reported = polled == 1 && read(report[0], &code, 1) == 1;
    const bool diedSilently = polled == 1 && !reported; // pipe closed without a code
    int status = 0;
    if (!diedSilently) kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(report[0]);

    if (reported) {
        outcome.exitCode = code;
    } else if (diedSilently) {
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        outcome.blocked = true;
    }
    return outcome;
}

ChildFlag::ChildFlag() {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
}

ChildFlag::~ChildFlag() {
    for (int fd : fds_)
        if (fd >= 0) close(fd);
}

void ChildFlag::raise() const {
    if (fds_[1] >= 0 && write(fds_[1], "!", 1) != 1) std::abort();
}

bool ChildFlag::raised() const {
    pollfd ready{fds_[0], POLLIN, 0};
    return fds_[0] >= 0 && poll(&ready, 1, 0) == 1;
}
#endif
