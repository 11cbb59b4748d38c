// reply_sender.cpp - zero-copy replies and their accounting. ZeroMQ calls back when it
// lets go of a message, on its I/O thread (or on the loop's, when it refuses one); only
// then are the area and the peer's unread bytes given back.
#include "reply_sender.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "log.h"

namespace qel {

namespace {

// Enough of an error reply to tell the catalogued texts apart.
constexpr std::size_t kClassified = 64;
// The largest reply copied, rather than sent in place, when a request posted ahead wants
// its area next: a copy of this much costs less than that request waiting for a wake-up.
constexpr std::size_t kCopiedToKeepArea = std::size_t{64} << 10;

// What a reply in flight keeps alive until ZeroMQ lets go of it: the area it is read
// from (when sent in place), the peer it is charged to and the count of all peers'
// unread bytes. ZeroMQ may let go of the last replies while its context closes, after
// the supervisor's objects are gone, so each of them is shared.
struct InFlight {
    std::shared_ptr<ReplyArea> area;
    PeerPtr peer;
    std::shared_ptr<UnreadBytes> unread;
    std::size_t size;
    // Stored last by the loop and loaded first by the callback. ZeroMQ passes the message
    // between its threads through lock-free queues that ThreadSanitizer does not see;
    // this pair shows it the hand-over that those queues already order.
    std::atomic<bool> handedOver{false};
};

extern "C" void releaseReply(void*, void* hint) {
    std::unique_ptr<InFlight> flight(static_cast<InFlight*>(hint));
    (void)flight->handedOver.load(std::memory_order_acquire);
    flight->unread->release(*flight->peer, flight->size);
    if (flight->area) flight->area->held.store(false, std::memory_order_release);
}

extern "C" void freeCopy(void* data, void* hint) {
    releaseReply(data, hint);
    std::free(data);
}

// Where a reply is read from, and whether it goes out from there or from a copy.
struct Source {
    char* bytes = nullptr;
    bool inPlace = true;
};

// False when the reply does not lie where it may be read from.
bool locate(ReplyAreas& areas, std::size_t size, const std::uint64_t* arenaOffset, bool keepArea,
            Source& source) {
    source.bytes = areas.find(size, arenaOffset);
    if (source.bytes == nullptr) return false;
    if (arenaOffset == nullptr)
        source.inPlace = !areas.otherHeld() && !(keepArea && size <= kCopiedToKeepArea);
    return true;
}

// False when ZeroMQ could not allocate the message; `copy` is then still the caller's.
bool wrap(zmq::message_t& message, const Source& source, std::size_t size, void* copy,
          InFlight* flight) {
    try {
        if (source.inPlace) {
            message.rebuild(source.bytes, size, releaseReply, flight);
        } else {
            if (size != 0) std::memcpy(copy, source.bytes, size);
            message.rebuild(copy, size, freeCopy, flight);
        }
    } catch (const zmq::error_t&) { // ZeroMQ could not allocate the message
        return false;
    }
    return true;
}

} // namespace

double ReplySender::count(const Request& request, Outcome outcome) const {
    // The clock is read only when something uses the time.
    const double seconds =
        verbose_ || timed_ ? std::chrono::duration<double>(Clock::now() - request.received).count()
                           : 0.0;
    metrics_.answered(outcome, seconds);
    return seconds;
}

void ReplySender::record(const Request& request, std::size_t out, Outcome outcome, bool sent,
                         double seconds, const std::size_t* worker) const {
    if (!sent) {
        metrics_.recount(outcome, Outcome::Undelivered);
        outcome = Outcome::Undelivered;
    }
    if (!verbose_) return;
    const bool ok = outcome == Outcome::Ok;
    LogLine line("request", formatted("peer %s in %zu out %zu %.3f ms %s", request.envelope.peer(),
                                      request.size, out, seconds * 1000, ok ? "ok" : "error"));
    line.with("peer", request.envelope.peer())
        .with("in", std::uint64_t{request.size})
        .with("out", std::uint64_t{out})
        .with("duration_seconds", seconds)
        .with("outcome", outcomeName(outcome));
    if (worker != nullptr) line.with("worker", std::uint64_t{*worker});
    line.write();
}

void ReplySender::refuse(Request& request, std::string_view text) {
    const Outcome outcome = errorOutcome(text);
    const double seconds = count(request, outcome);
    const bool sent = request.envelope.reply(front_, text);
    record(request, text.size(), outcome, sent, seconds, nullptr);
}

ReplySender::Sent ReplySender::sendReply(Request& request, ReplyAreas& areas, std::size_t size,
                                         bool ok, std::size_t worker,
                                         const std::uint64_t* arenaOffset, bool keepArea) {
    const std::shared_ptr<ReplyArea>& area = arenaOffset != nullptr ? areas.arena() : areas.built();
    Source source;
    if (!locate(areas, size, arenaOffset, keepArea, source)) return Sent::Unreadable;
    void* copy = source.inPlace ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (!source.inPlace && copy == nullptr) return Sent::NoMemory;
    auto flight = std::make_unique<InFlight>();
    flight->area = source.inPlace ? area : nullptr;
    flight->peer = request.peer.get();
    flight->unread = unread_;
    flight->size = size;
    zmq::message_t message;
    if (!wrap(message, source, size, copy, flight.get())) {
        std::free(copy);
        return Sent::NoMemory;
    }
    // From here on the message owns the record, and ZeroMQ's callback gives it back,
    // whether the send below succeeds or not.
    InFlight& handed = *flight.release();
    if (source.inPlace) area->held.store(true, std::memory_order_relaxed);
    unread_->charge(*request.peer, size);
    handed.handedOver.store(true, std::memory_order_release);
    // An error is told apart by its first bytes, read before the area is handed over:
    // ZeroMQ may send and release it from its own thread once it has it.
    const Outcome outcome =
        ok ? Outcome::Ok : errorOutcome({source.bytes, std::min(size, kClassified)});
    const double seconds = count(request, outcome);
    const bool sent = request.envelope.reply(front_, message);
    record(request, size, outcome, sent, seconds, &worker);
    return Sent::Sent;
}

} // namespace qel
