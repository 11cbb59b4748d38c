// capture.h - captures what a file descriptor receives while a test runs a call.
// Works below stdio, so it sees exactly the bytes the library writes to fd 1 or 2.
#pragma once

#include <string>

class FdCapture {
  public:
    explicit FdCapture(int fd);
    ~FdCapture();
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Flushes stdio, restores the descriptor and returns everything written to it.
    std::string finish();

  private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
    bool done_ = false;
};
