// fuzz_reply.cpp - libFuzzer target for the library's handling of service replies.
// An in-process ROUTER peer answers each request with the parts the input describes;
// the answer must be the first part cut at its first NUL, and the same handle must
// go on pairing every later request with its own reply.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>
#include <zmq.hpp>

#include "qel_zmq.h"

namespace {

// Input layout: byte 0 chooses 1..4 parts; every part but the last is preceded by a
// 16-bit little-endian length (clipped to what is left); the last part takes the rest.
std::vector<std::string> decodeParts(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts;
    if (size == 0) return {std::string()};
    const std::size_t count = 1 + data[0] % 4;
    std::size_t pos = 1;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        std::size_t length = 0;
        if (pos + 2 <= size) {
            length = data[pos] | (static_cast<std::size_t>(data[pos + 1]) << 8);
            pos += 2;
        } else {
            pos = size;
        }
        length = std::min(length, size - pos);
        parts.emplace_back(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
    }
    parts.emplace_back(reinterpret_cast<const char*>(data + pos), size - pos);
    return parts;
}

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "fuzz_reply: %s (%zu bytes: %.80s)\n", what, detail.size(),
                 detail.c_str());
    std::abort();
}

// A ROUTER socket rather than REP, so the peer decides every part of the reply
// itself and the test does not depend on a REP socket's own framing.
class ScriptedPeer {
  public:
    ScriptedPeer() : socket_(context_, zmq::socket_type::router) {
        socket_.set(zmq::sockopt::linger, 0);
        socket_.bind("tcp://127.0.0.1:*");
        const std::string endpoint = socket_.get(zmq::sockopt::last_endpoint);
        port_ = std::atoi(endpoint.c_str() + endpoint.rfind(':') + 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        stop_ = true;
        thread_.join();
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int port() const { return port_; }

    void setReply(std::vector<std::string> parts) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply_ = std::move(parts);
    }
    std::string lastRequest() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

  private:
    void serve() {
        while (!stop_) {
            zmq::pollitem_t item{static_cast<void*>(socket_), 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, 50) < 0) continue; // EINTR
            if (!(item.revents & ZMQ_POLLIN)) continue;

            // Envelope: peer identity, empty delimiter, then the request body.
            std::vector<zmq::message_t> frames;
            do {
                frames.emplace_back();
                if (!socket_.recv(frames.back(), zmq::recv_flags::none)) return;
            } while (frames.back().more());
            if (frames.size() != 3 || frames[1].size() != 0) fail("bad request envelope", "");

            std::vector<std::string> reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                request_ = frames[2].to_string();
                reply = reply_;
            }
            socket_.send(frames[0], zmq::send_flags::sndmore);
            socket_.send(zmq::message_t(), zmq::send_flags::sndmore);
            for (std::size_t i = 0; i < reply.size(); ++i) {
                socket_.send(zmq::buffer(reply[i]), i + 1 < reply.size() ? zmq::send_flags::sndmore
                                                                         : zmq::send_flags::none);
            }
        }
    }

    zmq::context_t context_;
    zmq::socket_t socket_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> reply_;
    std::string request_;
    std::thread thread_;
};

// libFuzzer's per-input timer is SIGALRM. Arriving in a thread that waits inside
// ZeroMQ it would interrupt that wait (EINTR): an interrupted executeLuaScriptQel
// fails as documented, which is not what this target looks for. So one idle thread
// takes the signal, and the fuzzing thread and every thread started from it after
// this point (the peer, ZeroMQ's own) keep it blocked.
struct AlarmSink {
    AlarmSink() {
        std::thread([] {
            for (;;)
                pause();
        }).detach();
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
};

// One peer and one handle for the whole run: the handle must survive every input.
struct Harness {
    AlarmSink alarmSink;
    ScriptedPeer peer;
    void* handle = nullptr;
    unsigned long exchanges = 0;

    Harness() {
        handle = createConnectionHandle();
        if (handle == nullptr) fail("createConnectionHandle gave NULL", "");
        if (connectToQelLuaService("127.0.0.1", peer.port(), handle) != 0) fail("connect", "");
    }
    ~Harness() { freeHandle(handle); }

    // Sends script, expects status 0 and exactly `expected` back.
    void exchange(const std::string& script, const std::string& expected) {
        char* result = nullptr;
        const int status = executeLuaScriptQel(&result, script.c_str(), handle);
        if (status != 0) fail("executeLuaScriptQel failed", script);
        if (result == nullptr) fail("NULL result with status 0", script);
        const std::string text(result);
        freeResult(result);
        if (text != expected) fail("answer differs from the first part up to its NUL", text);
        if (peer.lastRequest() != script) fail("peer saw another request", script);
        ++exchanges;
    }
};

Harness& harness() {
    static Harness instance;
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = harness();
    std::vector<std::string> parts = decodeParts(data, size);
    const std::string expected(parts[0].c_str()); // first part, cut at its first NUL
    h.peer.setReply(std::move(parts));
    h.exchange("return fuzz " + std::to_string(h.exchanges), expected);

    // A plain follow-up on the same handle: no part of the fuzzed reply may leak into it.
    const std::string marker = "follow-up " + std::to_string(h.exchanges);
    h.peer.setReply({marker});
    h.exchange("return " + std::to_string(h.exchanges), marker);
    return 0;
}
