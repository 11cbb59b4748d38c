// connections.cpp - the kernel's side of a peer's connection. A descriptor number is
// reused as soon as ZeroMQ closes it, so every call first checks, by the socket's inode,
// that the number still names the connection the peer came on.
#include "connections.h"

#include <cstddef>
#include <linux/tcp.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "descriptors.h"

namespace qel {

namespace {

// The inode of the socket on fd, or nothing when fd names no socket.
std::optional<std::uint64_t> socketInode(int fd) {
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_ino);
}

bool stillThere(const ConnectionId& connection) {
    return socketInode(connection.fd) == connection.inode;
}

} // namespace

// Every call takes the accept lock: the descriptor came from an accept on ZeroMQ's I/O
// thread, and the lock is what orders that accept before this look at it.
ConnectionId KernelConnections::identify(int fd) {
    std::lock_guard<std::mutex> lock(acceptLock());
    const std::optional<std::uint64_t> inode = socketInode(fd);
    return inode ? ConnectionId{fd, *inode} : ConnectionId{};
}

std::optional<std::uint64_t> KernelConnections::taken(const ConnectionId& connection) {
    std::lock_guard<std::mutex> lock(acceptLock());
    if (!stillThere(connection)) return std::nullopt;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(connection.fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
        return std::nullopt;
    return info.tcpi_bytes_acked;
}

// Under the accept lock, the descriptor cannot become a new connection between the check
// and the shutdown; ZeroMQ closing it meanwhile only makes the shutdown fail. A peer that
// does not read would keep a plain close waiting on it with a full send buffer, so the
// close that follows resets the connection instead.
bool KernelConnections::end(const ConnectionId& connection) {
    std::lock_guard<std::mutex> lock(acceptLock());
    if (!stillThere(connection)) return false;
    const linger reset{1, 0};
    setsockopt(connection.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    return shutdown(connection.fd, SHUT_RDWR) == 0;
}

} // namespace qel
