// channel.cpp - the shared areas (memfd, mmap, growth by ftruncate and mremap, release
// by punching holes) and the futex calls behind the supervisor-worker channel.
#include "channel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>
#include <utility>

#include "log.h"

namespace qel {

namespace {

std::size_t pageRound(std::size_t n) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return n == 0 ? page : (n + page - 1) / page * page;
}

// lseek rather than fstat: the workers' system-call filter has no call that stats.
std::size_t fileSize(int fd) {
    const off_t size = lseek(fd, 0, SEEK_END);
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

} // namespace

SharedArea::SharedArea(int fd, bool writable) : fd_(fd), writable_(writable) {
    if (!map(fileSize(fd_))) throw std::system_error(errno, std::generic_category(), "mmap");
}

SharedArea::~SharedArea() {
    if (data_ != nullptr) munmap(data_, mapped_);
    if (fd_ >= 0) close(fd_);
}

SharedArea::SharedArea(SharedArea&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), writable_(other.writable_),
      data_(std::exchange(other.data_, nullptr)), mapped_(std::exchange(other.mapped_, 0)) {}

SharedArea& SharedArea::operator=(SharedArea&& other) noexcept {
    if (this != &other) {
        SharedArea dying(std::move(*this));
        fd_ = std::exchange(other.fd_, -1);
        writable_ = other.writable_;
        data_ = std::exchange(other.data_, nullptr);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

int highDescriptor(int fd) {
    if (fd < 0 || fd >= kFirstHighFd) return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, kFirstHighFd);
    close(fd);
    return high;
}

SharedArea SharedArea::create(const char* name, std::size_t size) {
    const int fd = highDescriptor(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
    if (ftruncate(fd, static_cast<off_t>(pageRound(size))) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        const int error = errno;
        close(fd);
        throw std::system_error(error, std::generic_category(), "memfd");
    }
    return SharedArea(fd, true);
}

SharedArea SharedArea::createFixed(const char* name, std::size_t size) {
    const int fd = highDescriptor(memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "memfd_create");
    if (ftruncate(fd, static_cast<off_t>(pageRound(size))) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        const int error = errno;
        close(fd);
        throw std::system_error(error, std::generic_category(), "memfd");
    }
    return SharedArea(fd, false);
}

bool SharedArea::map(std::size_t n) noexcept {
    const std::size_t length = pageRound(n);
    const int prot = writable_ ? PROT_READ | PROT_WRITE : PROT_READ;
    void* at = data_ == nullptr ? mmap(nullptr, length, prot, MAP_SHARED, fd_, 0)
                                : mremap(data_, mapped_, length, MREMAP_MAYMOVE);
    if (at == MAP_FAILED) return false;
    data_ = static_cast<char*>(at);
    mapped_ = length;
    return true;
}

bool SharedArea::reserve(std::size_t n) noexcept {
    if (n <= mapped_) return true;
    const std::size_t length = pageRound(n);
    if (fileSize(fd_) < length && ftruncate(fd_, static_cast<off_t>(length)) != 0) return false;
    return map(length);
}

bool SharedArea::cover(std::size_t n) noexcept {
    if (n <= mapped_) return true;
    const std::size_t size = fileSize(fd_);
    return size >= n && map(size);
}

bool SharedArea::release(std::size_t offset) noexcept {
    const std::size_t from = pageRound(offset);
    const std::size_t size = fileSize(fd_);
    if (from >= size) return true;
    if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                  static_cast<off_t>(size - from)) == 0) {
        return true;
    }
    try {
        LogLine("error", formatted("cannot give back %zu bytes of a shared area: %s", size - from,
                                   std::strerror(errno)))
            .write();
    } catch (const std::bad_alloc&) {
        // no memory to say it in; the pages stay mapped, which the caller learns
    }
    return false;
}

// Neither futex call reports anything to act on: a wake fails only for a bad address,
// and a wait returns, whatever the reason, to a caller that reads the word again.
void takeRings(int doorbell) noexcept {
    std::uint64_t rings = 0;
    (void)!read(doorbell, &rings, sizeof rings);
}

void futexWake(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t value,
               std::chrono::nanoseconds limit) noexcept {
    if (limit.count() <= 0) return;
    timespec wait{};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
    wait.tv_sec = static_cast<time_t>(seconds.count());
    wait.tv_nsec = static_cast<long>((limit - seconds).count());
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, value, &wait, nullptr,
            0);
}

} // namespace qel
