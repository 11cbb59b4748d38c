// worker_replies.cpp - a worker's reply, from the figures it left to the loop's report
// that ZeroMQ has it: the figures are checked before anything is read, the reply goes out
// from the area it was built in, and only then is the worker idle or its next run begun.
#include "worker_pool.h"

#include <csignal>

#include "invariants.h"
#include "supervisor_replies.h"

namespace qel {

void WorkerPool::finishRun(Worker& worker) {
    if (worker.state == Worker::State::Busy) {
        takeReply(worker);
        return;
    }
    worker.channel.handOff.idle();
    enter(worker, Worker::State::Idle);
    retireIdle(worker, Clock::now());
}

// The reply is to go out from the area the worker built it in. The worker stays Replied
// until it has: only then can prepare() see that ZeroMQ holds that area and choose the
// other one for the worker's next reply, or the request posted ahead, if any, start.
void WorkerPool::takeReply(Worker& worker) {
    const std::uint32_t area = worker.channel.replies.current();
    const ReplyFigures figures = worker.channel.handOff.reply(area);
    Answer::FromWorker from{worker.slot,
                            &worker.channel.replies,
                            static_cast<std::size_t>(figures.size),
                            figures.ok,
                            figures.inArena,
                            figures.offset,
                            worker.run.ahead.has_value()};
    // A real reply in the arena is a Lua string, within --max-memory; a larger one is a
    // worker's forgery, which would make the supervisor fault in pages it punched. It is
    // refused as a reply placed outside the arena is.
    const std::size_t memory = options_.limits.maxMemory;
    if (from.inArena && memory != 0 && from.size > memory) from.offset = UINT64_MAX;
    outbox_.add(std::move(*worker.run.running), from);
    worker.run.running.reset();
    enter(worker, Worker::State::Replied);
}

void WorkerPool::answered(ReplySender::Sent sent, Clock::time_point now) {
    Answer& answer = *outbox_.next();
    const auto* from = std::get_if<Answer::FromWorker>(&answer.reply);
    if (from == nullptr) return outbox_.drop();
    Worker& worker = workers_[from->worker];
    if (!check(worker.state == Worker::State::Replied,
               "a worker whose reply is being sent waits for it"))
        return outbox_.drop();
    switch (sent) {
    case ReplySender::Sent::Sent:
        outbox_.drop();
        becomeIdle(worker, now);
        return;
    case ReplySender::Sent::Unreadable:
        answer.reply = reply::replaced(reply::kReplyUnreadable);
        lost(worker, LossCause::UnreadableReply, {});
        break;
    case ReplySender::Sent::NoMemory:
        answer.reply = reply::replaced(reply::kNoMemoryReply.view());
        lost(worker, LossCause::NoMemory, {});
        break;
    }
    // Its request is answered next, with the text just set (`answer` is not used after
    // settleAhead(), which may add one).
    settleAhead(worker, reply::workerEnded(SIGKILL));
    replace(worker, now);
}

// Its reply has gone out: the request posted ahead starts, or the worker is idle.
void WorkerPool::becomeIdle(Worker& worker, Clock::time_point now) {
    worker.run.collectDue = true;
    worker.run.idleSince = now;
    if (worker.run.ahead && startAhead(worker, now)) return;
    worker.channel.handOff.idle();
    enter(worker, Worker::State::Idle);
    retireIdle(worker, now);
}

} // namespace qel
