// capture.cpp - captureConsole: each descriptor is redirected into an unlinked temporary
// file; stdio buffers are flushed on both edges so nothing leaks in or out of the window.
#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#endif

namespace {
#ifdef _WIN32
// Windows cannot unlink an open file: the file is opened for deletion on close instead.
// Binary mode, so the bytes are seen as written, without the CR that text mode would
// put before each LF; the descriptor takes this mode over while it is redirected.
int openTemporaryFile() {
    char dir[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    if (GetTempPathA(sizeof dir, dir) == 0 || GetTempFileNameA(dir, "qel", 0, path) == 0) return -1;
    return _open(path, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY | _O_TEMPORARY,
                 _S_IREAD | _S_IWRITE);
}
#else
int openTemporaryFile() {
    char path[] = "/tmp/qel_zmq_captureXXXXXX";
    const int file = mkstemp(path);
    if (file >= 0) unlink(path);
    return file;
}
#endif

// One descriptor redirected for the lifetime of the object, restored even when the
// captured call throws.
class FdCapture {
  public:
    explicit FdCapture(int fd) : fd_(fd) {
        std::fflush(stdout);
        std::fflush(stderr);
        file_ = openTemporaryFile();
        if (file_ < 0) throw std::runtime_error("cannot open a temporary file");
        saved_ = dup(fd_);
        dup2(file_, fd_);
    }
    ~FdCapture() { finish(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;

    // Flushes stdio, restores the descriptor and returns everything written to it.
    std::string finish() {
        if (file_ < 0) return {};
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_, fd_);
        close(saved_);
        std::string text;
        char buffer[4096];
        lseek(file_, 0, SEEK_SET);
        for (ssize_t n; (n = read(file_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        close(file_);
        file_ = -1;
        return text;
    }

  private:
    int fd_;
    int saved_ = -1;
    int file_ = -1;
};

} // namespace

Console captureConsole(const std::function<void()>& call) {
    FdCapture out(1);
    FdCapture err(2);
    call();
    Console console;
    console.err = err.finish();
    console.out = out.finish();
    return console;
}
