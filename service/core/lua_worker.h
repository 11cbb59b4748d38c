// lua_worker.h - runs request messages as Lua chunks and formats the replies; one
// LuaWorker per service thread. It knows nothing about ZeroMQ, so it can be driven
// directly with arbitrary bytes (tests, fuzzing).
#pragma once

#include <string>
#include <string_view>

#include "chunk_cache.h"
#include "request_limits.h"

struct lua_State;

namespace qel {

class LuaWorker {
  public:
    explicit LuaWorker(const Limits& limits);
    ~LuaWorker();
    LuaWorker(const LuaWorker&) = delete;
    LuaWorker& operator=(const LuaWorker&) = delete;

    // Runs one request and returns the reply: what the chunk printed followed by its
    // return values, or "error: " and the error message. The view stays valid until
    // the next call on this worker.
    std::string_view handle(std::string_view request);
    std::string run(std::string_view request) { return std::string(handle(request)); }

    // Whether the last reply was a success (not an "error: " reply).
    bool lastOk() const { return lastOk_; }

  private:
    struct Call;
    friend struct LuaWorkerAccess;

    bool openState();
    void closeState();
    void fail(std::string_view message);

    Limits limits_;
    MemoryBudget memory_;
    RunBudget budget_;
    ChunkCache cache_;
    lua_State* L_ = nullptr;
    std::string reply_;
    bool lastOk_ = true;
    bool flushCache_ = false;
    bool capturing_ = false;
};

} // namespace qel
