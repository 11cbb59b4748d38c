// jail.h - what a worker process gives up before it runs any script: its privileges,
// every descriptor but its channel's and the log's, its environment, and every system
// call that serving a request does not need. A worker that a script (or a bug in the
// VM) takes over can then compute and answer through its channel, and nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qel {

struct JailSettings {
    // Taken on when the process runs as root: its uid, its primary group and no others.
    // A process that is not root keeps its identity.
    std::string user = "nobody";
    // The process whose death must end this one (its parent-death signal is re-armed
    // after the identity changes, which clears it); 0 for none.
    pid_t parent = 0;
    // Descriptors 2 (the log) to lastFd stay open; all others are closed.
    int lastFd = 2;
    // Descriptors besides 2 that the process may write to.
    std::vector<int> writable;
    // Shared areas the process grows (ftruncate) and reads the size of (lseek).
    std::vector<int> growable;
    // Shared areas it only reads the size of.
    std::vector<int> measurable;
    // The largest file the process may grow (its reply areas); 0 for no limit.
    std::uint64_t maxFileSize = 0;
    // Without the system-call filter and the descriptor, process and file-size limits,
    // for --trusted scripts that open files and start programs.
    bool trusted = false;
};

// Confines the calling process for good. Throws std::system_error naming the step that
// failed: a jail that is only partly in place is never taken for a whole one.
void enterJail(const JailSettings& settings);

} // namespace qel
