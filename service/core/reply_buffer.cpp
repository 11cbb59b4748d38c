// reply_buffer.cpp - growth by doubling, capped by the memory budget: the capacity beyond
// the base is what the budget is charged, so a reply near the limit cannot take twice
// the limit while it doubles.
#include "reply_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace qel {

class ReplyBuffer::Heap : public ReplyBuffer::Storage {
  public:
    ~Heap() override { std::free(data_); }
    char* resize(std::size_t capacity, std::size_t) noexcept override {
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) return nullptr;
        data_ = static_cast<char*>(grown);
        return data_;
    }
    char* rebind(std::size_t) noexcept override { return data_; }

  private:
    char* data_ = nullptr;
};

ReplyBuffer::ReplyBuffer(MemoryBudget& budget, Storage* storage)
    : budget_(budget), heap_(storage == nullptr ? std::make_unique<Heap>() : nullptr),
      storage_(storage != nullptr ? storage : heap_.get()) {
    data_ = storage_->resize(kBase, 0);
    if (data_ == nullptr) throw std::bad_alloc();
    capacity_ = kBase;
}

ReplyBuffer::~ReplyBuffer() {
    budget_.releaseExtra(capacity_ - kBase);
}

void ReplyBuffer::copy(const char* data, std::size_t n) noexcept {
    if (n != 0) std::memcpy(data_ + size_, data, n);
    size_ += n;
}

bool ReplyBuffer::resize(std::size_t capacity) noexcept {
    if (capacity > capacity_ && !budget_.reserveExtra(capacity - capacity_)) return false;
    char* moved = storage_->resize(capacity, size_ < capacity ? size_ : capacity);
    if (moved == nullptr) {
        if (capacity > capacity_) budget_.releaseExtra(capacity - capacity_);
        return false;
    }
    if (capacity < capacity_) budget_.releaseExtra(capacity_ - capacity);
    data_ = moved;
    capacity_ = capacity;
    return true;
}

bool ReplyBuffer::appendSlow(const char* data, std::size_t n) noexcept {
    if (n > SIZE_MAX - size_) return false;
    const std::size_t needed = size_ + n;
    std::size_t capacity = capacity_;
    while (capacity < needed)
        capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    // Doubling may overshoot what the budget allows when the exact size still fits.
    if (!resize(capacity) && !resize(needed)) return false;
    copy(data, n);
    return true;
}

void ReplyBuffer::assign(std::string_view text) noexcept {
    size_ = 0;
    if (append(text.data(), text.size())) return;
    const std::size_t fits = text.size() < capacity_ ? text.size() : capacity_;
    copy(text.data(), fits);
}

bool ReplyBuffer::clear() noexcept {
    size_ = 0;
    const std::size_t limit = budget_.limit();
    std::size_t keep = limit != 0 && limit / 4 < kKeep ? limit / 4 : kKeep;
    // Kept room counts against the limit like the state it sits beside; past what
    // --max-state leaves it would shrink the room every request is promised.
    if (keep > budget_.keepable()) keep = budget_.keepable();
    if (keep < kBase) keep = kBase;
    if (capacity_ > keep) resize(keep);
    if (char* region = storage_->rebind(capacity_)) {
        data_ = region;
        return true;
    }
    // The new region cannot have the kept capacity: start it at the base, which always
    // fits, so an error reply can still be written.
    data_ = storage_->rebind(kBase);
    budget_.releaseExtra(capacity_ - kBase);
    capacity_ = kBase;
    return false;
}

} // namespace qel
