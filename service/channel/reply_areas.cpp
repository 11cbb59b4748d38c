// reply_areas.cpp - choosing and giving back a worker's reply areas (the supervisor's
// side) and growing the one a reply is built in (the worker's side).
#include "reply_areas.h"

namespace qel {

ReplyAreas ReplyAreas::create(std::size_t size, std::size_t arenaSize) {
    ReplyAreas areas;
    for (std::shared_ptr<ReplyArea>& reply : areas.areas_) {
        reply = std::make_shared<ReplyArea>();
        reply->area = SharedArea::create("qel-lua-reply", size);
    }
    if (arenaSize != 0) {
        areas.arena_ = std::make_shared<ReplyArea>();
        areas.arena_->area = SharedArea::createFixed("qel-lua-arena", arenaSize);
    }
    return areas;
}

bool ReplyAreas::prepare(std::size_t keep) {
    if (areas_[current_]->held.load(std::memory_order_acquire)) current_ = 1 - current_;
    if (areas_[current_]->held.load(std::memory_order_acquire)) return false;
    ReplyArea& spare = *areas_[1 - current_];
    if (spare.area.mapped() > keep && !spare.held.load(std::memory_order_acquire)) {
        spare.area.release(keep);
    }
    return true;
}

bool ReplyAreas::prepareSpare(std::size_t keep) {
    ReplyArea& spare = *areas_[1 - current_];
    if (spare.held.load(std::memory_order_acquire)) return false;
    if (spare.area.mapped() > keep) spare.area.release(keep);
    return true;
}

bool ReplyAreas::release(std::size_t keep) {
    bool released = true;
    for (const std::shared_ptr<ReplyArea>& reply : areas_) {
        if (reply->held.load(std::memory_order_acquire)) {
            released = false;
        } else {
            reply->area.release(keep);
        }
    }
    return released;
}

char* ReplyAreas::find(std::size_t size, const std::uint64_t* arenaOffset) {
    if (arenaOffset == nullptr) {
        SharedArea& area = areas_[current_]->area;
        return area.cover(size) ? area.data() : nullptr;
    }
    // The worker names the place; it must lie within the mapping, which never changes.
    if (!arena_ || arena_->held.load(std::memory_order_acquire)) return nullptr;
    const SharedArea& area = arena_->area;
    if (*arenaOffset > area.mapped() || size > area.mapped() - *arenaOffset) return nullptr;
    return area.data() + *arenaOffset;
}

char* SharedReplyStorage::resize(std::size_t capacity, std::size_t) noexcept {
    SharedArea& area = *areas_[current_];
    return area.reserve(capacity) ? area.data() : nullptr;
}

char* SharedReplyStorage::rebind(std::size_t capacity) noexcept {
    return resize(capacity, 0);
}

} // namespace qel
