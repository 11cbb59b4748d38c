// silent_peer.h - a ZeroMQ DEALER peer spoken by hand over a plain TCP socket, that sends
// requests and never reads a byte: what the service sees of a client that stops reading
// (a real ZeroMQ socket's I/O thread would go on reading into its own memory).
#pragma once

#include <cstddef>
#include <string>

class SilentPeer {
  public:
    // Connects to tcp://127.0.0.1:PORT of `endpoint`, with a receive buffer of `rcvbuf`
    // bytes, and greets it as a DEALER (ZMTP 3.0, NULL mechanism). Throws
    // std::runtime_error when it cannot.
    explicit SilentPeer(const std::string& endpoint, int rcvbuf = 4096);
    ~SilentPeer();
    SilentPeer(const SilentPeer&) = delete;
    SilentPeer& operator=(const SilentPeer&) = delete;

    // Sends one request as a REQ peer frames it: an empty delimiter, then the body.
    bool send(const std::string& body);
    // Whether the service has ended the connection (shut its side down or reset it).
    bool ended() const;

  private:
    bool write(const std::string& bytes);
    bool read(std::size_t n);
    bool readFrame();

    int fd_ = -1;
};
