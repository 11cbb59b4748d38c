// signals.h - SIGINT and SIGTERM ask the service to stop, SIGCHLD reports a worker
// process that ended. No handler runs for them: they stay blocked in every thread and
// are read from a signalfd that the serving loop polls, so no signal can interrupt a
// call the supervisor is in, however often it arrives.
#pragma once

namespace qel {

// Blocks the three signals in the calling thread (and every thread it starts later),
// ignores those that mean nothing to the service, and opens the descriptor the three
// are read from; false, with errno saying why, when any of that cannot be done.
bool installSignalHandlers();
// Readable while a signal is waiting to be taken; poll it beside the other descriptors.
int signalDescriptor();
// Takes in the signals that have arrived, without waiting; a second stop signal exits
// at once with status 1. The two below say what was taken in.
void takeSignals();
bool stopRequested();
// True when a child has ended since the last call.
bool takeChildExit();

} // namespace qel
