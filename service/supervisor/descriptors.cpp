// descriptors.cpp - the descriptor limit and the accept4 that ZeroMQ's listener calls.
// libzmq 4.3 keeps a listening socket that accept4 fails on with EMFILE in its poll
// set, so its I/O thread spins at full speed for as long as the process is at its
// limit. This accept4, which the dynamic linker binds libzmq's calls to, turns that
// into one refused connection: the peer sees it closed and reconnects later. It also
// holds the lock that ending a connection takes, so no descriptor is given to a new
// connection between the check that it is still the old one's and its end.
#include "descriptors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"

namespace {

std::mutex gAcceptLock; // held over every accept, and guards gSpare
int gSpare = -1;

void openSpare() {
    gSpare = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

using AcceptFn = int (*)(int, sockaddr*, socklen_t*, int);

AcceptFn nextAccept() {
    static const AcceptFn next = reinterpret_cast<AcceptFn>(dlsym(RTLD_NEXT, "accept4"));
    return next;
}

} // namespace

extern "C" int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    const AcceptFn next = nextAccept();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    std::lock_guard<std::mutex> lock(gAcceptLock);
    const int accepted = next(fd, address, length, flags);
    if (accepted >= 0 || (errno != EMFILE && errno != ENFILE)) return accepted;
    if (gSpare >= 0) {
        close(gSpare);
        const int refused = next(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0) close(refused);
        openSpare();
    }
    errno = EAGAIN; // nothing left to accept: the listener waits for the next peer
    return -1;
}

namespace qel {

std::mutex& acceptLock() {
    return gAcceptLock;
}

bool prepareDescriptors() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        LogLine("error", formatted("cannot read the descriptor limit: %s", std::strerror(errno)))
            .write();
        return false;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            LogLine("error",
                    formatted("cannot raise the descriptor limit: %s", std::strerror(errno)))
                .write();
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(gAcceptLock);
    if (gSpare < 0) openSpare();
    if (gSpare < 0) {
        LogLine("error",
                formatted("cannot open the spare descriptor /dev/null: %s", std::strerror(errno)))
            .write();
        return false;
    }
    return true;
}

} // namespace qel
