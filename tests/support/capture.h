// capture.h - captures what a call writes to standard output and standard error.
// Works below stdio, so it sees exactly the bytes the library writes to fd 1 and 2.
#pragma once

#include <functional>
#include <string>

struct Console {
    std::string out;
    std::string err;
};

// Runs call with fds 1 and 2 redirected, and returns what each received.
Console captureConsole(const std::function<void()>& call);
