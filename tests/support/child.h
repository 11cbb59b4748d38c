// child.h - runs a piece of a test in a forked child that may block forever.
// The parent waits a bounded time, then kills the child and reports that it blocked.
// Windows has no fork: there the piece runs on a thread, left blocked if it blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

struct ChildOutcome {
    bool blocked = false; // still running when the wait ended, and killed
    int exitCode = -1;    // valid when the child exited by itself
};

ChildOutcome runInChild(const std::function<int()>& body, std::chrono::milliseconds wait);

// A one-way "it happened" mark that a runInChild body sets and the test reads after
// the child ended: a pipe across fork, a shared flag where the child is a thread.
class ChildFlag {
  public:
    ChildFlag();
    ~ChildFlag();
    ChildFlag(const ChildFlag&) = delete;
    ChildFlag& operator=(const ChildFlag&) = delete;

    void raise() const;
    bool raised() const;

  private:
#ifdef _WIN32
    std::shared_ptr<std::atomic<bool>> flag_ = std::make_shared<std::atomic<bool>>(false);
#else
    int fds_[2] = {-1, -1};
#endif
};
