// hand_off.cpp - the steps of the control block's protocol that need no pause between
// them: a post, a reply's figures, a job's fields copied as one.
#include "hand_off.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qel {

void SupervisorHandOff::dispatch(std::uint64_t size, std::uint32_t replyArea, bool arenaHeld) {
    requestArea_ = 0;
    post(Control::kRequest, size, replyArea, arenaHeld);
}

void SupervisorHandOff::collect(std::uint32_t replyArea, bool arenaHeld) {
    post(Control::kCollect, 0, replyArea, arenaHeld);
}

void SupervisorHandOff::repost(std::uint64_t size, std::uint32_t replyArea, bool arenaHeld) {
    post(Control::kRequest, size, replyArea, arenaHeld);
}

// Tells the worker its next job, numbered, and wakes it.
void SupervisorHandOff::post(std::uint32_t kind, std::uint64_t size, std::uint32_t replyArea,
                             bool arenaHeld) {
    Control& control = *control_;
    control.sequence = ++sequence_;
    control.requestArea = requestArea_;
    control.replyArea = replyArea;
    control.requestSize = size;
    toldArenaHeld_ = arenaHeld;
    control.arenaHeld = arenaHeld ? 1 : 0;
    control.state.store(kind, std::memory_order_release);
    futexWake(control.state);
}

// The area is the supervisor's own choice, so a forged word cannot point the read
// elsewhere; the figures are what the caller checks.
ReplyFigures SupervisorHandOff::reply(std::uint32_t area) const {
    const std::uint32_t at = area != 0 ? 1 : 0;
    return {control_->replySize[at], control_->replyOk[at] != 0, control_->replyInArena[at] != 0,
            control_->replyOffset[at]};
}

std::string SupervisorHandOff::failure() const {
    const char* said = control_->failure;
    return std::string(said, strnlen(said, sizeof control_->failure));
}

void SupervisorHandOff::postAhead(std::uint64_t size, std::uint32_t replyArea) {
    Control& control = *control_;
    control.aheadSequence = sequence_ + 1;
    control.aheadRequestArea = aheadArea();
    control.aheadReplyArea = replyArea;
    control.aheadSize = size;
    control.next.store(Control::kPosted, std::memory_order_release);
}

bool SupervisorHandOff::withdraw() {
    std::uint32_t posted = Control::kPosted;
    return control_->next.compare_exchange_strong(posted, Control::kEmpty);
}

bool SupervisorHandOff::startAhead() {
    const bool claimedFirst = !withdraw();
    requestArea_ = aheadArea();
    if (claimedFirst) ++sequence_;
    return claimedFirst;
}

void WorkerHandOff::ready(std::uint64_t heapBytes) {
    control_.heapBytes.store(heapBytes, std::memory_order_relaxed);
    control_.ready.store(1, std::memory_order_release);
    ring_();
}

Job WorkerHandOff::current() const {
    return {control_.sequence, control_.requestArea != 0 ? 1u : 0u,
            control_.replyArea != 0 ? 1u : 0u, control_.requestSize};
}

void WorkerHandOff::wait() {
    const std::uint32_t state = control_.state.load(std::memory_order_acquire);
    postedAhead_ = false;
    if (state == Control::kRequest) at_ = Step::Run;
    if (state == Control::kCollect) at_ = Step::Collect;
}

// The time goes first, so that it is there when the supervisor sees the claim; with
// nothing posted, the clock is not read at all.
bool WorkerHandOff::look() {
    if (control_.next.load(std::memory_order_relaxed) != Control::kPosted) return false;
    control_.takenAt.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count(),
                           std::memory_order_relaxed);
    return true;
}

// Sequentially consistent, as the store of kReply is: the supervisor sees the claim, or
// the worker sees that it sleeps and rings.
bool WorkerHandOff::claim() {
    std::uint32_t posted = Control::kPosted;
    return control_.next.compare_exchange_strong(posted, Control::kTaken);
}

void WorkerHandOff::copyAhead() {
    control_.sequence = control_.aheadSequence;
    control_.requestArea = control_.aheadRequestArea;
    control_.replyArea = control_.aheadReplyArea;
    control_.requestSize = control_.aheadSize;
}

// Copied: the slot is free for the supervisor's next job posted ahead, which it does not
// write before it sees this. The claimed job runs at once, without a sleep.
void WorkerHandOff::free() {
    control_.next.store(Control::kEmpty, std::memory_order_release);
    ringIfAsleep();
    postedAhead_ = true;
    at_ = Step::Run;
}

// Sequentially consistent, with the supervisor's store to `sleeping` and load of `state`
// before it sleeps: one of the two sees the other's store.
void WorkerHandOff::finish() {
    control_.state.store(Control::kReply);
    ringIfAsleep();
    at_ = Step::Wait;
}

void WorkerHandOff::leave(std::uint32_t area, const ReplyFigures& reply, std::uint64_t heapBytes) {
    const std::uint32_t at = area != 0 ? 1 : 0;
    control_.replySize[at] = reply.size;
    control_.replyOk[at] = reply.ok ? 1 : 0;
    control_.replyInArena[at] = reply.inArena ? 1 : 0;
    control_.replyOffset[at] = reply.inArena ? reply.offset : 0;
    control_.heapBytes.store(heapBytes, std::memory_order_relaxed);
}

// Left before the worker exits, zero-terminated, for the supervisor to say when the
// worker was one of a reload's.
void WorkerHandOff::failed(const std::string& error) {
    const std::size_t size = std::min(error.size(), sizeof control_.failure - 1);
    std::memcpy(control_.failure, error.data(), size);
    control_.failure[size] = '\0';
}

} // namespace qel
