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

} // namespace

void openNotify() {
    const char* value = std::getenv("NOTIFY_SOCKET");
    if (value == nullptr) return;
    const std::string text(value);
    unsetenv("NOTIFY_SOCKET");
    if (!parseAddress(text.c_str())) {
        LogLine("error", "cannot use NOTIFY_SOCKET " + text).write();
        return;
    }
    notifyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (notifyFd < 0)
        LogLine("error", formatted("cannot open the notification socket: %s", std::strerror(errno)))
            .write();
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
