// reply_buffer.h - the reply under construction. It grows in place and counts its
// capacity against the Lua state's memory budget. Between replies it keeps a bounded
// amount of capacity, so that the next large reply does not pay for fresh pages, and
// gives the rest back.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "replies.h"
#include "request_limits.h"

namespace qel {

class ReplyBuffer {
  public:
    // Where the bytes live. The default keeps them on the heap; the worker process gives
    // memory it shares with the supervisor, so a reply is built where it is sent from.
    class Storage {
      public:
        virtual ~Storage() = default;
        // Makes the region capacity bytes long, keeping its first `keep` bytes, and
        // returns its start; nullptr (old region intact) when that is impossible.
        virtual char* resize(std::size_t capacity, std::size_t keep) noexcept = 0;
        // The region the next reply goes to, at least capacity bytes long (a storage
        // may change regions between replies); nullptr when that is impossible. Never
        // fails for kBase bytes.
        virtual char* rebind(std::size_t capacity) noexcept = 0;
    };

    // Capacity that is always there and not charged, so an error reply always fits:
    // the longest the service makes up itself (reply::TooLarge with two 20-digit sizes)
    // is under 100 bytes.
    static constexpr std::size_t kBase = 256;
    // Capacity kept from one reply to the next (still charged), at most a quarter of
    // the memory budget; more is given back when the next reply starts.
    static constexpr std::size_t kKeep = std::size_t{16} << 20;

    // storage, when given, must outlive the buffer. Throws std::bad_alloc when not even
    // the base capacity can be had.
    ReplyBuffer(MemoryBudget& budget, Storage* storage = nullptr);
    ~ReplyBuffer();
    ReplyBuffer(const ReplyBuffer&) = delete;
    ReplyBuffer& operator=(const ReplyBuffer&) = delete;

    // Appends n bytes; false, with the buffer unchanged, when the memory budget or the
    // system has no room for them.
    bool append(const char* data, std::size_t n) noexcept {
        if (n > capacity_ - size_) return appendSlow(data, n);
        copy(data, n);
        return true;
    }
    // Replaces the contents with text, cut to what the budget allows.
    void assign(std::string_view text) noexcept;
    // Empties the buffer for the next reply, giving back capacity above what is kept.
    // False when the storage had no room for the kept capacity (the buffer then has its
    // base capacity only).
    bool clear() noexcept;

    std::string_view view() const { return {data_, size_}; }

  private:
    class Heap;

    void copy(const char* data, std::size_t n) noexcept;
    bool appendSlow(const char* data, std::size_t n) noexcept;
    bool resize(std::size_t capacity) noexcept;

    MemoryBudget& budget_;
    std::unique_ptr<Storage> heap_; // when no storage is given
    Storage* storage_;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

static_assert(sizeof reply::kErrorPrefix + sizeof(reply::TooLarge) <= ReplyBuffer::kBase,
              "the longest reply the service makes up fits the base capacity");

} // namespace qel
