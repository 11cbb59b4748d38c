// worker_spawn.h - starting one worker process: its command line, its environment, its
// signals and the descriptors its channel is found on. Nothing else of the service's
// reaches it: not its standard input or output, not its other descriptors.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "options.h"

namespace qel {

// The descriptors of one worker's channel, as the supervisor holds them; the worker
// finds them at kControlFd, kRequestFd, kAheadRequestFd, kReplyFds and kDoorbellFd, and
// its generation's --preload files, when there are any, at kPreloadFd.
struct ChannelFds {
    int control;
    int request;
    int aheadRequest;
    int replies[2];
    int doorbell;
    int preload; // -1 without files
    int arena;   // -1 without one
};

// Starts `exe` (a descriptor of the service's own executable) as a worker; its pid, or
// -1 after saying on standard error why it could not start.
pid_t spawnWorker(int exe, const ServiceOptions& options, const ChannelFds& channel);

// Sends `signal` to a worker that may have ended already (then it is a zombie or
// reaped, and its end is the reaper's); a deadline signal carries the run's sequence.
void signalWorker(pid_t pid, int signal, std::uint32_t sequence);

} // namespace qel
