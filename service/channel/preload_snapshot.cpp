// preload_snapshot.cpp - the snapshot's layout: for each file, its path's length and
// bytes, then its text's length and bytes, lengths as 64-bit words. Sealed, it can
// neither change nor be cut short once a worker has it.
#include "preload_snapshot.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "channel.h"

namespace qel {

namespace {

void appendWord(std::string& out, std::uint64_t word) {
    out.append(reinterpret_cast<const char*>(&word), sizeof word);
}

bool takeWord(const std::string& in, std::size_t& at, std::uint64_t& word) {
    if (in.size() - at < sizeof word) return false;
    std::memcpy(&word, in.data() + at, sizeof word);
    at += sizeof word;
    return true;
}

bool takeBytes(const std::string& in, std::size_t& at, std::string& out) {
    std::uint64_t size = 0;
    if (!takeWord(in, at, size) || in.size() - at < size) return false;
    out.assign(in, at, static_cast<std::size_t>(size));
    at += static_cast<std::size_t>(size);
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

PreloadSnapshot::~PreloadSnapshot() {
    if (fd_ >= 0) close(fd_);
}

PreloadSnapshot::PreloadSnapshot(PreloadSnapshot&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

PreloadSnapshot& PreloadSnapshot::operator=(PreloadSnapshot&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

bool PreloadSnapshot::take(const std::vector<std::string>& files, PreloadSnapshot& snapshot,
                           std::string& error) {
    std::vector<PreloadSource> sources;
    if (!readPreloadSources(files, sources, error)) return false;
    PreloadSnapshot taken;
    if (!sources.empty()) {
        std::string bytes;
        for (const PreloadSource& source : sources) {
            appendWord(bytes, source.path.size());
            bytes += source.path;
            appendWord(bytes, source.text.size());
            bytes += source.text;
        }
        taken.fd_ =
            highDescriptor(memfd_create("qel-lua-preload", MFD_CLOEXEC | MFD_ALLOW_SEALING));
        if (taken.fd_ < 0 || !writeAll(taken.fd_, bytes) ||
            fcntl(taken.fd_, F_ADD_SEALS,
                  F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
            error = std::string("cannot keep the preloaded files: ") + std::strerror(errno);
            return false;
        }
    }
    snapshot = std::move(taken);
    return true;
}

bool readPreloadSnapshot(int fd, std::vector<PreloadSource>& sources, std::string& error) {
    struct stat status {};
    std::string bytes;
    if (fstat(fd, &status) == 0 && status.st_size >= 0) {
        bytes.resize(static_cast<std::size_t>(status.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (done == bytes.size()) {
            std::size_t at = 0;
            std::vector<PreloadSource> read;
            PreloadSource source;
            while (at < bytes.size() && takeBytes(bytes, at, source.path) &&
                   takeBytes(bytes, at, source.text))
                read.push_back(std::move(source));
            if (at == bytes.size()) {
                sources = std::move(read);
                return true;
            }
        }
    }
    error = "cannot read the preloaded files from the supervisor";
    return false;
}

} // namespace qel
