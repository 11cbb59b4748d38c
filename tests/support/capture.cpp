// capture.cpp - FdCapture: redirects a descriptor into an unlinked temporary file.
// stdio buffers are flushed on both edges so nothing leaks in or out of the window.
#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

FdCapture::FdCapture(int fd) : fd_(fd) {
    std::fflush(stdout);
    std::fflush(stderr);
    char path[] = "/tmp/qel_zmq_captureXXXXXX";
    file_ = mkstemp(path);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    unlink(path);
    saved_ = dup(fd_);
    dup2(file_, fd_);
}

FdCapture::~FdCapture() {
    finish();
}

std::string FdCapture::finish() {
    if (done_) return {};
    done_ = true;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    std::string text;
    char buffer[4096];
    lseek(file_, 0, SEEK_SET);
    for (ssize_t n; (n = read(file_, buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    close(file_);
    return text;
}
