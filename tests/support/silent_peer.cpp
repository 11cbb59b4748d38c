// silent_peer.cpp - the handshake and framing of silent_peer.h, written out as ZMTP 3.0
// lays them down: the 64-byte greeting, a READY command naming the socket type, then
// message frames (flags, a one- or eight-byte size, the body). It reads the service's
// greeting and READY, and nothing after them.
#include "silent_peer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string greeting() {
    std::string g(64, '\0');
    g[0] = '\xff';
    g[8] = 1; // the padding says a length of 1, as libzmq writes it
    g[9] = '\x7f';
    g[10] = 3; // version 3.0
    g[11] = 0;
    g.replace(12, 4, "NULL");
    return g;
}

// A frame: flags (0x01 more, 0x02 long size, 0x04 command), the size, the body.
std::string frame(unsigned char flags, const std::string& body) {
    std::string out(1, static_cast<char>(flags | (body.size() > 255 ? 0x02 : 0)));
    const int sizeBytes = body.size() > 255 ? 8 : 1;
    for (int i = sizeBytes - 1; i >= 0; --i)
        out += static_cast<char>((static_cast<std::uint64_t>(body.size()) >> (8 * i)) & 0xff);
    return out + body;
}

std::string ready() {
    const std::string type = "DEALER";
    std::string body = "\x05READY\x0bSocket-Type";
    body += std::string(3, '\0') + static_cast<char>(type.size()) + type;
    return frame(0x04, body);
}

} // namespace

SilentPeer::SilentPeer(const std::string& endpoint, int rcvbuf) {
    const int port = std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    // Set before connecting, so the window offered is small from the start.
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // libzmq reads a peer's commands only once it has sent its own greeting, so the
    // handshake goes in turns: greetings, then READY commands.
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !write(greeting()) || !read(64) || !write(ready()) || !readFrame()) {
        close(fd_);
        throw std::runtime_error("cannot greet " + endpoint);
    }
}

SilentPeer::~SilentPeer() {
    close(fd_);
}

bool SilentPeer::send(const std::string& body) {
    return write(frame(0x01, "") + frame(0x00, body));
}

bool SilentPeer::ended() const {
    pollfd p{fd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool SilentPeer::read(std::size_t n) {
    char buffer[256];
    for (std::size_t done = 0; done < n;) {
        const ssize_t got = recv(fd_, buffer, std::min(sizeof buffer, n - done), 0);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// A short frame: the handshake's READY, which is all the service sends before replies.
bool SilentPeer::readFrame() {
    unsigned char head[2];
    if (recv(fd_, head, 2, MSG_WAITALL) != 2 || (head[0] & 0x02) != 0) return false;
    return read(head[1]);
}

bool SilentPeer::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}
