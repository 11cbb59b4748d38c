// lua_worker.h - runs request messages as Lua chunks and formats the replies; one
// LuaWorker per worker process (or per thread, in tests). It knows nothing about
// ZeroMQ, so it can be driven directly with arbitrary bytes (tests, fuzzing).
#pragma once

#include <string>
#include <string_view>

#include "chunk_cache.h"
#include "preload.h"
#include "reply_buffer.h"
#include "request_limits.h"
#include "sandbox.h"

struct lua_State;

namespace qel {

class LuaWorker {
  public:
    // storage, when given, is where replies are built (see ReplyBuffer) and must outlive
    // the worker. The worker must be used on the thread that made it: its deadline timer
    // signals that thread. With Deadline::Signalled another process sends the deadline
    // (see RunBudget), naming the request by the sequence number given to handle().
    // preload, when given, runs in every state before its first request (see open())
    // and must outlive the worker. arena, when given (and not --trusted), holds the
    // states' large blocks and must outlive the worker: a reply that is exactly one
    // string there is answered in place (see inArena()).
    explicit LuaWorker(const Limits& limits, ReplyBuffer::Storage* storage = nullptr,
                       RunBudget::Deadline deadline = RunBudget::Deadline::Timer,
                       const Preload* preload = nullptr, Arena* arena = nullptr);
    ~LuaWorker();
    LuaWorker(const LuaWorker&) = delete;
    LuaWorker& operator=(const LuaWorker&) = delete;

    // Runs one request and returns the reply: what the chunk printed followed by its
    // return values, or reply::kErrorPrefix and the error message (replies.h holds the
    // messages of the worker's own). reply::kReplaced follows either when the state was
    // rebuilt since the last reply, because it kept more than Limits::stateLimit() after
    // a full collection. The view stays valid until the next call on this worker.
    std::string_view handle(std::string_view request, unsigned sequence = 0);
    std::string run(std::string_view request) { return std::string(handle(request)); }
    // Answers reply::kErrorPrefix and message without running anything, for a request
    // that could not be read; the view is as handle()'s.
    std::string_view refuse(std::string_view message);

    // Makes the state now rather than at the first request, running the preloaded files
    // under a request's limits as request number 0; false, with the reason in error
    // ("app.lua:3: ..."), when they fail. A state made later (--fresh, or rebuilt) runs
    // them under the request that needs it, whose error reply says why should they fail.
    bool open(std::string& error);

    // Whether the last reply was a success (not an error reply).
    bool lastOk() const { return lastOk_; }
    // Whether the last reply's view lies in the arena: the bytes of a string the
    // state made, which stay as they are, even should the state free them, until
    // replyReleased(). Until then every reply is built in the reply buffer.
    bool inArena() const { return arenaReply_.data() != nullptr; }
    // The reply in the arena has been sent, and its bytes are no longer read.
    void replyReleased() { memory_.unpinReply(); }
    // Bytes the Lua heap holds now.
    std::size_t heapBytes() const { return memory_.used(); }

    // A full collection, for a worker with nothing to do: the garbage of the last
    // requests (a large reply's strings, say) goes back to the allocator, which can then
    // give it to the system. Its finalizers are budgeted as request number `sequence`;
    // should they leave the state over its bound, it is rebuilt, and the next reply says so.
    void collect(unsigned sequence = 0);

  private:
    struct Call;
    friend struct LuaWorkerAccess;

    bool openState(unsigned sequence);
    bool runPreload(unsigned sequence);
    void armHook();
    void closeState();
    void fail(std::string_view message);
    // The steps of handle(): whether the request may run (the reply says why not), its
    // protected run under the guards, and what ends with it.
    bool admit(std::string_view request, unsigned sequence);
    void execute(std::string_view request, unsigned sequence);
    void afterRequest(unsigned sequence);
    void collectFully(unsigned sequence);
    void boundState(unsigned sequence, bool collected);
    void dropArenaReply();

    Limits limits_;
    MemoryBudget memory_;
    RunBudget budget_;
    ChunkCache cache_;
    ReplyBuffer reply_;
    SandboxState sandbox_;
    const Preload* preload_;
    std::string openError_; // why the last state could not be made, when the files failed
    const char* preloading_ = nullptr; // the preloaded file running now
    lua_State* L_ = nullptr;
    bool lastOk_ = true;
    std::string_view arenaReply_; // the last reply, when it is a string in the arena
    bool flushCache_ = false;
    bool capturing_ = false;
    bool rebuilt_ = false;        // the state was rebuilt and no reply has said so yet
    std::size_t collectedAt_ = 0; // the heap after the last full collection, or a new state's
};

} // namespace qel
