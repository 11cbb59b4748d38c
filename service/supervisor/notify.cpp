// notify.cpp - the notification datagram written by hand rather than with libsystemd's
// sd_notify: the protocol is one sendto() on an AF_UNIX datagram socket, and doing it here
// keeps the service free of a library that only this call would need.
#include "notify.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "log.h"

namespace qel {

namespace {

int notifyFd = -1;
sockaddr_un notifyAddress{};
socklen_t notifyLength = 0;
std::optional<std::chrono::microseconds> watchdog;

// A path, or '@' and a name in the abstract namespace; false for anything else (the
// manager's other transports are not used by a unit of this package).
bool parseAddress(const char* text) {
    const std::size_t length = std::strlen(text);
    if (length < 2 || length >= sizeof notifyAddress.sun_path || (text[0] != '/' && text[0] != '@'))
        return false;
    notifyAddress.sun_family = AF_UNIX;
    std::memcpy(notifyAddress.sun_path, text, length);
    if (text[0] == '@') notifyAddress.sun_path[0] = '\0';
    // An abstract name is exactly its bytes; a path carries its terminating zero.
    notifyLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (text[0] == '@' ? 0 : 1));
    return true;
}

// The watchdog's interval, if the manager set one for this process.
std::optional<std::chrono::microseconds> takeWatchdog() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    std::optional<std::chrono::microseconds> interval;
    char* end = nullptr;
    const unsigned long long value = usec != nullptr ? std::strtoull(usec, &end, 10) : 0;
    const bool ours = pid == nullptr || std::strtoll(pid, nullptr, 10) == getpid();
    if (usec != nullptr && *end == '\0' && value > 0 && ours)
        interval = std::chrono::microseconds(value);
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
    return interval;
}

} // namespace

void openNotify() {
    const std::optional<std::chrono::microseconds> interval = takeWatchdog();
    const char* value = std::getenv("NOTIFY_SOCKET");
    if (value == nullptr) return;
    const std::string text(value);
    unsetenv("NOTIFY_SOCKET");
    if (!parseAddress(text.c_str())) {
        LogLine("error", "cannot use NOTIFY_SOCKET " + text).write();
        return;
    }
    notifyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (notifyFd >= 0) watchdog = interval;
    if (notifyFd < 0)
        LogLine("error", formatted("cannot open the notification socket: %s", std::strerror(errno)))
            .write();
}

std::optional<std::chrono::microseconds> watchdogInterval() {
    return watchdog;
}

void notify(std::string_view state) {
    if (notifyFd < 0) return;
    const auto* address = reinterpret_cast<const sockaddr*>(&notifyAddress);
    while (sendto(notifyFd, state.data(), state.size(), MSG_NOSIGNAL, address, notifyLength) < 0) {
        if (errno == EINTR) continue;
        LogLine("error", formatted("cannot notify the service manager: %s", std::strerror(errno)))
            .write();
        return;
    }
}

} // namespace qel
