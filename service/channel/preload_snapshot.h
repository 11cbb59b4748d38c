// preload_snapshot.h - one generation's --preload files, as every worker of it gets
// them: their bytes, read once by the supervisor into a sealed memfd and handed to each
// worker at kPreloadFd, so a worker started later never sees a file edited since.
#pragma once

#include <string>
#include <vector>

#include "preload.h"

namespace qel {

// Where a worker finds its generation's files, when --preload names any.
inline constexpr int kPreloadFd = 8;

class PreloadSnapshot {
  public:
    PreloadSnapshot() = default;
    ~PreloadSnapshot();
    PreloadSnapshot(PreloadSnapshot&& other) noexcept;
    PreloadSnapshot& operator=(PreloadSnapshot&& other) noexcept;
    PreloadSnapshot(const PreloadSnapshot&) = delete;
    PreloadSnapshot& operator=(const PreloadSnapshot&) = delete;

    // Reads every file now; false, with error saying which file and why, when one cannot
    // be read or the memfd cannot be made. No files make a snapshot without a memfd.
    static bool take(const std::vector<std::string>& files, PreloadSnapshot& snapshot,
                     std::string& error);
    // The sealed memfd (close-on-exec, kFirstHighFd or above), or -1 without files.
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// The worker's side: the files in the snapshot at fd. False, with error, when it cannot
// be read whole, which would be a fault of ours.
bool readPreloadSnapshot(int fd, std::vector<PreloadSource>& sources, std::string& error);

} // namespace qel
