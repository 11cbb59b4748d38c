// supervisor.h - the process that owns the public socket. It never runs Lua: each
// request goes to an idle worker process, and a worker that overruns its time by more
// than the grace, or dies, is replaced while its client gets an error reply and every
// other client's queued requests wait on, untouched.
#pragma once

#include "options.h"

namespace qel {

// Serves until SIGINT or SIGTERM; returns the process exit status.
int runSupervisor(const ServiceOptions& options);

} // namespace qel
