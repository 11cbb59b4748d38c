// child.h - runs a piece of a test in a forked child that may block forever.
// The parent waits a bounded time, then kills the child and reports that it blocked.
// Windows has no fork: there the piece runs on a thread, left blocked if it blocks.
#pragma once

#include <chrono>
#include <functional>

struct ChildOutcome {
    bool blocked = false; // still running when the wait ended, and killed
    int exitCode = -1;    // valid when the child exited by itself
};

ChildOutcome runInChild(const std::function<int()>& body, std::chrono::milliseconds wait);
