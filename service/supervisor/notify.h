// notify.h - tells the service manager (systemd, through NOTIFY_SOCKET) when the service
// is ready to answer and when it begins to stop, so that units of Type=notify order
// their dependents after a socket that really serves; and, under WatchdogSec=, that the
// serving loop still goes round.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace qel {

// Takes NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID out of the environment (the
// workers must not talk to the manager) and opens a datagram socket for the first. Without the
// variable every notify() does nothing; an address it cannot use is said on standard error and
// otherwise ignored, since the service serves as well without a manager listening.
void openNotify();
// Sends `state`, newline-separated assignments such as "READY=1\nSTATUS=...". Never
// blocks: a manager that does not read loses the message, not the service its time.
void notify(std::string_view state);
// How often the manager expects WATCHDOG=1 (WATCHDOG_USEC, when WATCHDOG_PID is unset or
// this process); none without a watchdog or a socket.
std::optional<std::chrono::microseconds> watchdogInterval();

} // namespace qel
