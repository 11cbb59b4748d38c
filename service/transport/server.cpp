// server.cpp - request transport. With one worker the public ROUTER socket is served
// directly by the main thread (no proxy hop on the hot path); with N workers a ROUTER
// front end hands each request to an idle one of N REQ workers behind a ROUTER back end
// on inproc, each owning a LuaWorker. On SIGINT/SIGTERM the service takes in whatever
// requests have already reached its socket, answers every one, then exits.
#include "server.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

#include <zmq.hpp>

#include "access_control.h"
#include "lua_worker.h"

namespace qel {

namespace {

// How long a blocking receive may wait before the loop looks at the stop flag again;
// a signal normally interrupts the wait at once (EINTR).
constexpr int kWakeMs = 100;
// Time the sockets get to deliver the last replies when the service closes.
constexpr int kLingerMs = 2000;

std::atomic<int> gSignals{0};

extern "C" void onStopSignal(int) {
    if (gSignals.fetch_add(1) >= 1) {
        static const char message[] =
            "qel-lua-service: second signal, exiting without waiting for requests\n";
        (void)!write(STDERR_FILENO, message, sizeof message - 1);
        _exit(1);
    }
}

bool stopRequested() {
    return gSignals.load(std::memory_order_relaxed) != 0;
}

// Worker threads and the ZAP thread must not take the signals: only the main thread,
// whose blocking receive they interrupt, does.
class SignalMask {
  public:
    SignalMask() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    void release() {
        if (released_) return;
        released_ = true;
        pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
    }
    ~SignalMask() { release(); }

  private:
    sigset_t set_;
    bool released_ = false;
};

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocking receive must return EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed standard output (the reader of the endpoint line went away) must not
    // kill the service; write errors are ignored instead.
    std::signal(SIGPIPE, SIG_IGN);
}

// Takes in one whole message; false, with errno set, when none was waiting.
bool receiveMessage(void* socket, int flags, std::vector<zmq::message_t>& frames) {
    frames.clear();
    for (;;) {
        frames.emplace_back();
        if (zmq_msg_recv(frames.back().handle(), socket, flags) < 0) {
            const int error = zmq_errno();
            frames.pop_back();
            if (frames.empty()) {
                errno = error;
                return false;
            }
            continue; // the rest of a multi-part message is already there
        }
        flags = 0;
        if (!frames.back().more()) return true;
    }
}

// One request as received: the routing envelope (ids up to and including the empty
// delimiter) and the body parts, which are joined into one chunk.
class Request {
  public:
    // Receives one whole message. Returns false with errno set when nothing came.
    bool receive(void* socket, int flags, bool routed) {
        bodyStart_ = 0;
        if (!receiveMessage(socket, flags, frames_)) return false;
        if (routed) {
            // REQ peers send id, "", body; a DEALER peer may omit the delimiter.
            bodyStart_ = 1;
            for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
                if (frames_[i].size() == 0) {
                    bodyStart_ = i + 1;
                    break;
                }
            }
        }
        return true;
    }

    std::string_view body() {
        if (frames_.size() == bodyStart_ + 1) return frames_.back().to_string_view();
        joined_.clear();
        for (std::size_t i = bodyStart_; i < frames_.size(); ++i) {
            joined_.append(frames_[i].data<char>(), frames_[i].size());
        }
        return joined_;
    }

    std::size_t bodySize() const {
        std::size_t size = 0;
        for (std::size_t i = bodyStart_; i < frames_.size(); ++i)
            size += frames_[i].size();
        return size;
    }

    // Sends the reply behind this request's envelope (consumes the envelope).
    void reply(void* socket, std::string_view text) {
        for (std::size_t i = 0; i < bodyStart_; ++i) {
            zmq_msg_send(frames_[i].handle(), socket, ZMQ_SNDMORE);
        }
        zmq_send(socket, text.data(), text.size(), 0);
    }

    // The peer's address, when the transport knows it.
    const char* peer() {
        if (frames_.empty()) return nullptr;
        return zmq_msg_gets(frames_.back().handle(), "Peer-Address");
    }

  private:
    std::vector<zmq::message_t> frames_;
    std::size_t bodyStart_ = 0;
    std::string joined_;
};

// Runs one request through a worker, replying and logging.
void serveRequest(LuaWorker& worker, Request& request, void* socket, bool verbose) {
    const auto start =
        verbose ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
    std::string_view answer;
    try {
        answer = worker.handle(request.body());
    } catch (const std::exception&) {
        answer = "error: not enough memory";
    }
    request.reply(socket, answer);
    if (verbose) {
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        const char* peer = request.peer();
        std::fprintf(stderr, "qel-lua-service: peer %s in %zu out %zu %.3f ms %s\n",
                     peer != nullptr ? peer : "unknown", request.bodySize(), answer.size(), ms,
                     worker.lastOk() ? "ok" : "error");
    }
}

void configureFront(zmq::socket_t& front, const ServiceOptions& options) {
    front.set(zmq::sockopt::linger, kLingerMs);
    front.set(zmq::sockopt::rcvtimeo, kWakeMs);
    if (isIpv6Endpoint(options.bind)) front.set(zmq::sockopt::ipv6, true);
    if (!options.allow.empty()) front.set(zmq::sockopt::zap_domain, kZapDomain);
}

// Prints the endpoint actually bound, the one line tests and scripts wait for.
void announce(zmq::socket_t& front) {
    std::printf("%s\n", front.get(zmq::sockopt::last_endpoint).c_str());
    std::fflush(stdout);
}

// --workers 1: the main thread serves the public socket itself.
void serveDirect(zmq::socket_t& front, const ServiceOptions& options, SignalMask& mask) {
    LuaWorker worker(options.limits);
    Request request;
    mask.release();
    announce(front);
    while (!stopRequested()) {
        if (!request.receive(front.handle(), 0, true)) {
            if (errno == EAGAIN || errno == EINTR) continue;
            throw zmq::error_t();
        }
        serveRequest(worker, request, front.handle(), options.verbose);
    }
    // Take in everything that has already arrived before answering any of it, so that
    // replies do not draw new requests into the drain.
    std::deque<Request> pending;
    for (;;) {
        pending.emplace_back();
        if (!pending.back().receive(front.handle(), ZMQ_DONTWAIT, true)) {
            pending.pop_back();
            break;
        }
    }
    for (Request& late : pending)
        serveRequest(worker, late, front.handle(), options.verbose);
}

// One worker thread of the proxy set-up. It announces itself with an empty message and
// then gets each request with the client's whole envelope, which it parses and answers
// exactly as the one-worker path does; every reply announces it idle again.
void workerLoop(zmq::context_t& context, const std::string& backend,
                const ServiceOptions& options) {
    try {
        zmq::socket_t socket(context, zmq::socket_type::req);
        socket.set(zmq::sockopt::linger, 0);
        socket.connect(backend);
        LuaWorker worker(options.limits);
        Request request;
        if (zmq_send(socket.handle(), "", 0, 0) < 0) return; // ETERM before the first request
        for (;;) {
            if (!request.receive(socket.handle(), 0, true)) {
                if (errno == EINTR || errno == EAGAIN) continue;
                break; // ETERM: the context is shutting down
            }
            serveRequest(worker, request, socket.handle(), options.verbose);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel-lua-service: worker stopped: %s\n", e.what());
    }
}

void sendMessage(void* socket, std::vector<zmq::message_t>& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        zmq_msg_send(frames[i].handle(), socket, i + 1 < frames.size() ? ZMQ_SNDMORE : 0);
    }
}

// Sends a client's request, envelope and all, to an idle worker (consumes both).
void dispatch(void* back, std::deque<zmq::message_t>& idle, std::vector<zmq::message_t>& frames) {
    zmq_msg_send(idle.front().handle(), back, ZMQ_SNDMORE);
    idle.pop_front();
    zmq_send(back, "", 0, ZMQ_SNDMORE);
    sendMessage(back, frames);
}

// Takes in what the workers sent: each message marks its worker idle, and each one that
// is a reply (more than the worker's id, its delimiter and the empty announcement) goes
// on to the client. Returns the number of replies.
long collectReplies(void* back, void* front, std::deque<zmq::message_t>& idle,
                    std::vector<zmq::message_t>& frames) {
    long replies = 0;
    while (receiveMessage(back, ZMQ_DONTWAIT, frames)) {
        if (frames.size() < 3) continue;
        idle.push_back(std::move(frames[0]));
        if (frames.size() == 3) continue;
        frames.erase(frames.begin(), frames.begin() + 2);
        sendMessage(front, frames);
        ++replies;
    }
    return replies;
}

// Load balancing: the front end is read only while some worker is idle, so a request
// waits in ZeroMQ's queue rather than behind a worker that is busy with a long script.
void serveProxy(zmq::context_t& context, zmq::socket_t& front, const ServiceOptions& options,
                SignalMask& mask) {
    zmq::socket_t back(context, zmq::socket_type::router);
    back.set(zmq::sockopt::linger, 0);
    back.set(zmq::sockopt::sndhwm, 0);
    back.set(zmq::sockopt::rcvhwm, 0);
    const std::string backend =
        "inproc://qel-lua-workers-" + std::to_string(reinterpret_cast<std::uintptr_t>(&back));
    back.bind(backend);

    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(options.workers));
    for (int i = 0; i < options.workers; ++i) {
        workers.emplace_back(workerLoop, std::ref(context), backend, std::cref(options));
    }
    mask.release();
    announce(front);

    std::deque<zmq::message_t> idle; // ids of the workers waiting for a request
    // Requests taken in at the stop, waiting for a worker.
    std::deque<std::vector<zmq::message_t>> drained;
    // Requests handed to the workers and not yet answered.
    long inFlight = 0;
    bool intake = true;
    std::vector<zmq::message_t> frames;
    zmq::pollitem_t items[] = {{back.handle(), 0, ZMQ_POLLIN, 0},
                               {front.handle(), 0, ZMQ_POLLIN, 0}};
    for (;;) {
        if (intake && stopRequested()) {
            intake = false;
            while (receiveMessage(front.handle(), ZMQ_DONTWAIT, frames))
                drained.push_back(std::move(frames));
        }
        while (!drained.empty() && !idle.empty()) {
            dispatch(back.handle(), idle, drained.front());
            drained.pop_front();
            ++inFlight;
        }
        if (!intake && drained.empty() && inFlight <= 0) break;
        const bool readFront = intake && !idle.empty();
        const int ready = zmq_poll(items, readFront ? 2 : 1, kWakeMs);
        if (ready < 0) {
            if (zmq_errno() == EINTR) continue;
            throw zmq::error_t();
        }
        if (items[0].revents & ZMQ_POLLIN)
            inFlight -= collectReplies(back.handle(), front.handle(), idle, frames);
        // A reply just collected may have freed a worker for a request already waiting.
        if (intake) {
            while (!idle.empty() && receiveMessage(front.handle(), ZMQ_DONTWAIT, frames)) {
                dispatch(back.handle(), idle, frames);
                ++inFlight;
            }
        }
    }

    back.close();
    front.close();      // lingers until the last replies are out
    context.shutdown(); // workers blocked in receive get ETERM
    for (std::thread& worker : workers)
        worker.join();
}

} // namespace

int runServer(const ServiceOptions& options) {
    SignalMask mask; // inherited by every thread started from here on
    installSignalHandlers();
    try {
        zmq::context_t context;
        std::unique_ptr<ZapHandler> zap;
        if (!options.allow.empty()) {
            std::vector<AddressRange> ranges;
            for (const std::string& text : options.allow)
                ranges.push_back(*AddressRange::parse(text));
            zap = std::make_unique<ZapHandler>(context, std::move(ranges), options.verbose);
        } else if (!isLoopbackEndpoint(options.bind)) {
            std::fprintf(stderr,
                         "qel-lua-service: warning: %s is not a loopback address and no --allow "
                         "is given; any peer that reaches it can run Lua here\n",
                         options.bind.c_str());
        }
        {
            zmq::socket_t front(context, zmq::socket_type::router);
            configureFront(front, options);
            try {
                front.bind(options.bind);
            } catch (const zmq::error_t& e) {
                std::fprintf(stderr, "qel-lua-service: cannot bind %s: %s\n", options.bind.c_str(),
                             e.what());
                context.shutdown();
                return 1;
            }
            if (options.workers == 1) {
                serveDirect(front, options, mask);
            } else {
                serveProxy(context, front, options, mask);
            }
        }
        context.shutdown();
        zap.reset();
        context.close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qel-lua-service: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace qel
