// generations.h - which generation of --preload files serves, which one a reload is
// starting beside it, and the files of each, as one value: a worker asks where its
// generation stands in one way, and a reload moves the whole value at once.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "preload_snapshot.h"

namespace qel {

class Generations {
  public:
    // The first generation serves `files`.
    explicit Generations(PreloadSnapshot files = {}) : servingFiles_(std::move(files)) {}

    std::uint64_t serving() const { return serving_; }
    bool serves(std::uint64_t generation) const { return generation == serving_; }
    bool starting(std::uint64_t generation) const { return pending_ && generation == *pending_; }
    // Neither serving nor starting: its workers end once they have nothing to do.
    bool retired(std::uint64_t generation) const {
        return !serves(generation) && !starting(generation);
    }
    bool reloading() const { return pending_.has_value(); }
    const PreloadSnapshot& filesOf(std::uint64_t generation) const {
        return starting(generation) ? pendingFiles_ : servingFiles_;
    }

    // A new generation starts beside the serving one, with `files`; its number.
    std::uint64_t begin(PreloadSnapshot files) {
        pending_ = ++last_;
        pendingFiles_ = std::move(files);
        return *pending_;
    }
    // The starting one serves; the number of the one it replaces.
    std::uint64_t promote() {
        const std::uint64_t old = serving_;
        serving_ = *std::exchange(pending_, std::nullopt);
        servingFiles_ = std::move(pendingFiles_);
        return old;
    }
    // The starting one is given up; its number.
    std::uint64_t drop() {
        pendingFiles_ = PreloadSnapshot{};
        return *std::exchange(pending_, std::nullopt);
    }

  private:
    std::uint64_t serving_ = 1;
    std::uint64_t last_ = 1;
    std::optional<std::uint64_t> pending_;
    PreloadSnapshot servingFiles_;
    PreloadSnapshot pendingFiles_;
};

} // namespace qel
