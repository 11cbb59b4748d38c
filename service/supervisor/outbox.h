// outbox.h - the answers the pool has decided, first to last, for the loop to hand to the
// reply sender one at a time: a catalogue text, or a reply a worker left in its areas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "reply_areas.h"
#include "request.h"

namespace qel {

struct Answer {
    // The reply a worker left in its current reply area (or its arena): `size` bytes, an
    // error reply unless `ok`. Until the loop reports it handed to ZeroMQ, that worker is
    // Replied, so it takes no request and no area is chosen for its next reply.
    struct FromWorker {
        std::size_t worker; // its place in the pool
        ReplyAreas* areas;
        std::size_t size;
        bool ok;
        bool inArena; // the reply lies in the worker's arena, at offset
        std::uint64_t offset;
        // A request posted ahead waits for the area: a small reply is better copied
        // than sent from it, which leaves the area to ZeroMQ until its thread lets go.
        bool keepArea;
    };

    Answer(Request&& to, std::string text) : request(std::move(to)), reply(std::move(text)) {}
    Answer(Request&& to, const FromWorker& from) : request(std::move(to)), reply(from) {}

    Request request;
    std::variant<std::string, FromWorker> reply; // a text of supervisor_replies.h, or the worker's
};

// A vector read from the first unsent on, emptied once all is sent: it keeps its
// capacity, so an answer per request costs no allocation (a deque would take a block
// every few).
class Outbox {
  public:
    Answer* next() { return sent_ < answers_.size() ? &answers_[sent_] : nullptr; }
    template <class Reply> void add(Request&& to, Reply&& reply) {
        answers_.emplace_back(std::move(to), std::forward<Reply>(reply));
    }
    // The first unsent one has gone out.
    void drop() {
        if (++sent_ == answers_.size()) {
            answers_.clear();
            sent_ = 0;
        }
    }

  private:
    std::vector<Answer> answers_;
    std::size_t sent_ = 0;
};

} // namespace qel
