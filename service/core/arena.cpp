// arena.cpp - the large-block allocator: free ranges kept by offset, taken first fit
// (those still populated first), merged with their neighbours when freed, and given back
// to the system beyond what is kept populated.
#include "arena.h"

#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace qel {

Arena::Arena(char* base, std::size_t size, std::size_t keep)
    : base_(base), keep_(keep), page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    size_ = size / page_ * page_;
    if (size_ != 0) free_.emplace(0, Range{size_, false});
}

void* Arena::allocate(std::size_t n) noexcept {
    if (n == 0 || n > size_) return nullptr;
    n = (n + page_ - 1) / page_ * page_;
    // Populated ranges first: their pages cost no fault.
    for (const bool populated : {true, false}) {
        for (auto range = free_.begin(); range != free_.end(); ++range) {
            if (range->second.size >= n && (range->second.populated || !populated))
                return take(range, n);
        }
    }
    // A block may fit across a populated range and a given-back one beside it.
    if (populatedFree_ == 0) return nullptr;
    trim();
    for (auto range = free_.begin(); range != free_.end(); ++range) {
        if (range->second.size >= n) return take(range, n);
    }
    return nullptr;
}

void* Arena::take(Ranges::iterator range, std::size_t n) noexcept {
    const std::size_t offset = range->first;
    const Range was = range->second;
    if (was.size == n) {
        used_.insert(free_.extract(range));
    } else {
        try {
            used_.emplace(offset, Range{n, was.populated});
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        Ranges::node_type rest = free_.extract(range);
        rest.key() += n;
        rest.mapped().size -= n;
        free_.insert(std::move(rest));
    }
    if (was.populated) populatedFree_ -= n;
    return base_ + offset;
}

bool Arena::free(void* p) noexcept {
    const std::size_t offset = static_cast<std::size_t>(static_cast<char*>(p) - base_);
    const auto block = used_.find(offset);
    if (block == used_.end()) return false; // never one of ours: nothing to do
    if (offset == pinned_) {
        pinnedFreed_ = true;
        return true;
    }
    giveBack(used_.extract(block));
    return false;
}

std::size_t Arena::capacity(const void* p) const noexcept {
    const auto block = used_.find(static_cast<std::size_t>(static_cast<const char*>(p) - base_));
    return block != used_.end() ? block->second.size : 0;
}

void Arena::giveBack(Ranges::node_type node) noexcept {
    Range& range = node.mapped();
    range.populated = populatedFree_ + range.size <= keep_;
    if (range.populated) {
        populatedFree_ += range.size;
    } else {
        punch(node.key(), range.size);
    }
    merge(free_.insert(std::move(node)).position);
}

// Joins a free range with its neighbours of the same kind.
void Arena::merge(Ranges::iterator range) noexcept {
    auto next = std::next(range);
    if (next != free_.end() && next->second.populated == range->second.populated &&
        range->first + range->second.size == next->first) {
        range->second.size += next->second.size;
        free_.erase(next);
    }
    if (range != free_.begin()) {
        auto before = std::prev(range);
        if (before->second.populated == range->second.populated &&
            before->first + before->second.size == range->first) {
            before->second.size += range->second.size;
            free_.erase(range);
        }
    }
}

void Arena::punch(std::size_t offset, std::size_t size) noexcept {
    // Refused, the pages only stay populated: the arena is as usable as before.
    (void)madvise(base_ + offset, size, MADV_REMOVE);
}

bool Arena::pin(const char* bytes, std::size_t n) noexcept {
    if (pinned() || !contains(bytes)) return false;
    const std::size_t offset = static_cast<std::size_t>(bytes - base_);
    auto block = used_.upper_bound(offset);
    if (block == used_.begin()) return false;
    --block;
    if (offset + n > block->first + block->second.size || n > size_) return false;
    pinned_ = block->first;
    pinnedFreed_ = false;
    return true;
}

void Arena::unpin() noexcept {
    const std::size_t offset = std::exchange(pinned_, kNone);
    if (!std::exchange(pinnedFreed_, false) || offset == kNone) return;
    const auto block = used_.find(offset);
    if (block != used_.end()) giveBack(used_.extract(block));
}

void Arena::trim() noexcept {
    for (auto range = free_.begin(); range != free_.end(); ++range) {
        if (!range->second.populated) continue;
        punch(range->first, range->second.size);
        range->second.populated = false;
    }
    populatedFree_ = 0;
    for (auto range = free_.begin(); range != free_.end();) {
        auto next = std::next(range);
        if (next != free_.end() && range->first + range->second.size == next->first) {
            range->second.size += next->second.size;
            free_.erase(next);
        } else {
            range = next;
        }
    }
}

} // namespace qel
