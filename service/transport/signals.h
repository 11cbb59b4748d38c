// signals.h - SIGINT and SIGTERM ask the service to stop, SIGCHLD reports a worker
// process that ended; both only set flags that the serving loop reads. Neither handler
// restarts a system call, so a signal also ends the wait the loop is in.
#pragma once

namespace qel {

// Installs the handlers. A second stop signal exits at once with status 1.
void installSignalHandlers();
bool stopRequested();
// True when a child has ended since the last call.
bool takeChildExit();

} // namespace qel
