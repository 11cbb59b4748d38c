// server.h - the ZeroMQ side of qel-lua-service: binding, the worker threads and
// the proxy between them, access control and the orderly stop on SIGINT/SIGTERM.
#pragma once

#include "options.h"

namespace qel {

// Serves until SIGINT or SIGTERM; returns the process exit status.
int runServer(const ServiceOptions& options);

} // namespace qel
