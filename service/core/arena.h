// arena.h - where a Lua state's large blocks live: a fixed mapping of memory the worker
// shares with the supervisor, so that a large string Lua made can be sent from where Lua
// wrote it, with no copy. A page-granular first-fit allocator with coalescing.
#pragma once

#include <cstddef>
#include <map>

namespace qel {

class Arena {
  public:
    // Blocks from this size up come from the arena; smaller ones from the heap, where
    // rounding to pages would waste more than a copy costs.
    static constexpr std::size_t kThreshold = std::size_t{256} << 10;
    // Freed pages kept mapped for the next blocks, at most: a fresh shared page costs a
    // fault and zeroing, more than the bytes written into it. A large reply takes two
    // blocks of its size (Lua's buffer and the string made from it), so this keeps
    // replies of up to 32 MiB free of faults, as glibc's kept heap (64 MiB) did.
    static constexpr std::size_t kKeep = std::size_t{64} << 20;

    // base: `size` bytes, page-aligned, of a shared writable mapping of a memfd that
    // outlives the arena (freed pages are given back with MADV_REMOVE). keep bounds the
    // freed pages kept populated.
    Arena(char* base, std::size_t size, std::size_t keep = kKeep);
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    bool contains(const void* p) const {
        const char* at = static_cast<const char*>(p);
        return at >= base_ && at < base_ + size_;
    }
    char* base() const { return base_; }
    std::size_t size() const { return size_; }

    // A block of at least n bytes, or nullptr when no free range is large enough.
    void* allocate(std::size_t n) noexcept;
    // Frees a block allocate() returned. True when it is the pinned one: its pages then
    // stay as they are until unpin().
    bool free(void* p) noexcept;
    // Bytes usable in place at p, a block allocate() returned.
    std::size_t capacity(const void* p) const noexcept;
    // Whether p's block can hold n bytes in place without keeping a whole page it no
    // longer needs: a block shrunk in place would keep resident pages nobody is charged for.
    bool fitsInPlace(const void* p, std::size_t n) const noexcept {
        const std::size_t have = capacity(p);
        return n <= have && have - n < page_;
    }

    // Pins the block that holds all of [bytes, bytes + n): until unpin() it is neither
    // reused nor given back, even once freed. False when it is not one block or
    // another one is pinned.
    bool pin(const char* bytes, std::size_t n) noexcept;
    bool pinned() const { return pinned_ != kNone; }
    void unpin() noexcept;

    // Gives back every free page.
    void trim() noexcept;

  private:
    struct Range {
        std::size_t size;
        bool populated; // free pages that were not given back
    };
    using Ranges = std::map<std::size_t, Range>;
    static constexpr std::size_t kNone = ~std::size_t{0};

    void* take(Ranges::iterator range, std::size_t n) noexcept;
    void giveBack(Ranges::node_type node) noexcept;
    void merge(Ranges::iterator range) noexcept;
    void punch(std::size_t offset, std::size_t size) noexcept;

    char* base_;
    std::size_t size_;
    std::size_t keep_;
    std::size_t page_;
    std::size_t populatedFree_ = 0;
    std::size_t pinned_ = kNone;
    bool pinnedFreed_ = false;
    // Both hold the same node type, so a block moves between them without allocating.
    Ranges free_;
    Ranges used_;
};

} // namespace qel
