// worker_process.h - the Lua side of the service: a process that the supervisor starts
// for each worker (qel-lua-service --worker=PID), which takes requests from its channel,
// runs them in its LuaWorker and puts the replies back. It never touches a socket, and
// the supervisor may kill it at any moment.
#pragma once

#include "options.h"

namespace qel {

// Serves the channel on the inherited descriptors until the supervisor kills it.
// Returns an exit status only when it cannot start.
int runWorker(const ServiceOptions& options);

} // namespace qel
