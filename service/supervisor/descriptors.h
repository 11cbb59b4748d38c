// descriptors.h - file descriptors as a bounded resource: the soft limit is raised to the
// hard one at start-up, and when the process runs out anyway a connection that cannot
// be taken in is accepted on a spare descriptor and closed at once, instead of staying
// in the listen queue where ZeroMQ's I/O thread would retry it in a busy loop.
#pragma once

#include <mutex>

namespace qel {

// Held by every accept4 in the process while it runs: whoever holds it knows that no
// descriptor becomes a new connection meanwhile.
std::mutex& acceptLock();

// Raises the soft RLIMIT_NOFILE to the hard limit and sets the spare descriptor aside;
// false, said on standard error, when either cannot be done.
bool prepareDescriptors();

} // namespace qel
