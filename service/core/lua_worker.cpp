// lua_worker.cpp - one request from message bytes to reply text: state set-up, the
// protected run under the guards, print capture and the reply format. Lua reports
// errors with longjmp, so no function that calls into Lua keeps C++ objects with
// destructors alive across such a call, and no C++ exception crosses a Lua frame.
#include "lua_worker.h"

#include <cstdio>
#include <lua.hpp>
#include <new>

#include "preload_guard.h"
#include "replies.h"

namespace qel {

namespace {

// Replies from this size up are followed by a full collection (see afterRequest()).
// Below it, what a reply's strings leave is small beside what a state holds anyway, and
// the incremental collector takes it back soon enough.
constexpr std::size_t kCollectAfter = std::size_t{1} << 20;
// lua_gc(LUA_GCCOUNT) counts the heap in KiB.
constexpr int kKiBShift = 10;

static_assert(sizeof reply::kNoMemoryReply.chars + sizeof reply::kReplaced <= ReplyBuffer::kBase,
              "the reply that says the state was rebuilt fits when nothing else does");

} // namespace

struct LuaWorker::Call {
    std::string_view request;
};

// The C functions that Lua calls back; a friend so they can reach the worker, whose
// address sits in the extra space of every thread of its state.
struct LuaWorkerAccess {
    static LuaWorker* of(lua_State* L) { return *static_cast<LuaWorker**>(lua_getextraspace(L)); }

    // Appends to the reply, which counts against the state's memory limit.
    static void append(lua_State* L, const char* text, std::size_t size) {
        LuaWorker* worker = of(L);
        if (worker->reply_.append(text, size)) return;
        // As Lua's own allocations do, collect the garbage before giving up.
        lua_gc(L, LUA_GCCOLLECT);
        if (!worker->reply_.append(text, size)) {
            // Worded like the allocator's own failure; same cause, same limit.
            lua_pushstring(L, reply::kNoMemory);
            lua_error(L);
        }
    }

    // Appends each value from index first up to the top as tostring converts it,
    // separated by tabs.
    static void appendValues(lua_State* L, int first) {
        const int top = lua_gettop(L);
        for (int i = first; i <= top; ++i) {
            std::size_t size = 0;
            const char* text = luaL_tolstring(L, i, &size);
            if (i > first) append(L, "\t", 1);
            append(L, text, size);
            lua_pop(L, 1);
        }
    }

    // print: the line goes into the reply instead of to standard output. Output made
    // outside a request (a finalizer run while the state closes) is dropped.
    static int print(lua_State* L) {
        if (!of(L)->capturing_) return 0;
        appendValues(L, 1);
        append(L, "\n", 1);
        return 0;
    }

    static void hook(lua_State* L, lua_Debug*) {
        RunBudget& budget = of(L)->budget_;
        // Charge what this thread really ran since its last hook call: the deadline or
        // a crossed limit arms the hook at a count of 1.
        const int ran = lua_gethookcount(L);
        if (const char* crossed = budget.charge(static_cast<std::uint64_t>(ran))) {
            // From now on every instruction of this thread raises the error again, so
            // a pcall in a loop cannot swallow it and keep running.
            lua_sethook(L, hook, LUA_MASKCOUNT, 1);
            // A preloaded file's limit says where it stopped, as its other errors do.
            if (of(L)->preloading_ != nullptr) {
                luaL_where(L, 0);
                lua_pushstring(L, crossed);
                lua_concat(L, 2);
                lua_error(L);
            }
            luaL_error(L, "%s", crossed);
        }
        // A coroutine armed in an earlier request goes back to the normal period.
        if (!budget.needsHook()) {
            lua_sethook(L, nullptr, 0, 0);
        } else if (ran != budget.hookPeriod()) {
            lua_sethook(L, hook, LUA_MASKCOUNT, budget.hookPeriod());
        }
    }

    // Turns any error value into a message, as the stand-alone interpreter does.
    static int messageHandler(lua_State* L) {
        if (lua_tostring(L, 1) != nullptr) return 1;
        if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING) return 1;
        lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
        return 1;
    }

    // The preloaded files, with writable() while they run, each refused should it leave
    // a coroutine within a request's reach, and their definitions protected after.
    static int preload(lua_State* L) {
        LuaWorker* worker = of(L);
        beginPreload(L);
        const bool trusted = worker->limits_.trusted;
        worker->preload_->run(L, worker->preloading_, trusted ? nullptr : refuseSharedCoroutines);
        finishPreload(L, trusted);
        return 0;
    }

    static int setup(lua_State* L) {
        LuaWorker* worker = of(L);
        openLibraries(L, worker->limits_.trusted, print, worker->sandbox_);
        return 0;
    }

    // The body of a request, run in protected mode: find or compile the chunk, call
    // it, format its results.
    static int run(lua_State* L) {
        const std::string_view text = static_cast<LuaWorker::Call*>(lua_touserdata(L, 1))->request;
        lua_settop(L, 0);
        LuaWorker* worker = of(L);
        if (worker->flushCache_) {
            worker->cache_.clear(L);
            worker->flushCache_ = false;
        }
        // Checked before the cache too: bytecode is never run, whatever path it takes.
        if (!text.empty() && text.front() == LUA_SIGNATURE[0]) {
            return luaL_error(L, "%s", reply::kBinaryChunk);
        }
        // With --trusted the debug library can reach a running chunk; only fresh
        // closures are then safe. With --fresh the cache would die with the state.
        const bool cached =
            !worker->limits_.trusted && !worker->limits_.fresh && ChunkCache::cacheable(text);
        if (!cached || !worker->cache_.push(L, text)) {
            if (luaL_loadbufferx(L, text.data(), text.size(), "=script", "t") != LUA_OK) {
                return lua_error(L);
            }
            if (cached) worker->cache_.insert(L, text);
        }
        lua_call(L, 0, LUA_MULTRET);
        // A limit crossed in the chunk's last call (a tail call returns without running
        // another instruction) still ends the request.
        qel_budget_flush(L);
        // One large string and nothing printed: the reply is its bytes where they are.
        if (lua_gettop(L) == 1 && lua_type(L, 1) == LUA_TSTRING && worker->reply_.view().empty()) {
            std::size_t size = 0;
            const char* bytes = lua_tolstring(L, 1, &size);
            if (size >= Arena::kThreshold && worker->memory_.pinReply(bytes, size)) {
                worker->arenaReply_ = {bytes, size};
                return 0;
            }
        }
        appendValues(L, 1);
        return 0;
    }

    static int panic(lua_State* L) {
        const char* message = lua_tostring(L, -1);
        std::fprintf(stderr, "qel-lua-service: unprotected Lua error: %s\n",
                     message != nullptr ? message : "(not a string)");
        return 0; // Lua aborts
    }
};

LuaWorker::LuaWorker(const Limits& limits, ReplyBuffer::Storage* storage,
                     RunBudget::Deadline deadline, const Preload* preload, Arena* arena)
    : limits_(limits), memory_(limits.maxMemory, limits.stateLimit()),
      budget_(limits, &LuaWorkerAccess::hook, deadline), reply_(memory_, storage),
      preload_(preload != nullptr && !preload->empty() ? preload : nullptr) {
    if (!limits.trusted) memory_.setArena(arena);
}

LuaWorker::~LuaWorker() {
    // Finalizers run while the state closes get a budget of their own; the state closes
    // even without one (said on standard error), since it must.
    const bool budgeted = L_ != nullptr && budget_.start(L_);
    closeState();
    if (budgeted) budget_.finish();
}

bool LuaWorker::open(std::string& error) {
    if (L_ != nullptr || openState(0)) return true;
    error = openError_.empty() ? std::string(reply::kNoState) : openError_;
    return false;
}

bool LuaWorker::openState(unsigned sequence) {
    openError_.clear();
    L_ = lua_newstate(&MemoryBudget::allocate, &memory_);
    if (L_ == nullptr) return false;
    *static_cast<LuaWorker**>(lua_getextraspace(L_)) = this;
    lua_atpanic(L_, &LuaWorkerAccess::panic);
    lua_pushcfunction(L_, &LuaWorkerAccess::setup);
    if (lua_pcall(L_, 0, 0, 0) != LUA_OK) {
        closeState();
        return false;
    }
    if (preload_ != nullptr && !runPreload(sequence)) {
        closeState();
        return false;
    }
    collectedAt_ = memory_.used();
    return true;
}

// The files run as a request does, under its limits; what they leave once collected
// is the state's baseline, which --max-state is counted from.
bool LuaWorker::runPreload(unsigned sequence) {
    armHook();
    if (!budget_.start(L_, sequence)) {
        openError_ = reply::kNoTimer;
        return false;
    }
    lua_settop(L_, 0);
    lua_pushcfunction(L_, &LuaWorkerAccess::messageHandler);
    lua_pushcfunction(L_, &LuaWorkerAccess::preload);
    const int status = lua_pcall(L_, 0, 0, 1);
    if (status == LUA_OK) lua_gc(L_, LUA_GCCOLLECT);
    budget_.finish();
    const std::string running = preloading_ != nullptr ? preloading_ : "";
    preloading_ = nullptr;
    if (status != LUA_OK) {
        const char* message = lua_type(L_, -1) == LUA_TSTRING ? lua_tostring(L_, -1) : nullptr;
        openError_ = message != nullptr ? message : reply::kNoMessage;
        // An error Lua gives no position (memory, a limit) still names the file.
        if (!running.empty() && openError_.compare(0, running.size() + 1, running + ":") != 0) {
            openError_ = running + ": " + openError_;
        }
        return false;
    }
    lua_settop(L_, 0);
    memory_.setBaseline(memory_.used());
    return true;
}

void LuaWorker::armHook() {
    if (budget_.needsHook()) {
        lua_sethook(L_, &LuaWorkerAccess::hook, LUA_MASKCOUNT, budget_.hookPeriod());
    } else {
        lua_sethook(L_, nullptr, 0, 0);
    }
}

void LuaWorker::closeState() {
    if (L_ == nullptr) return;
    capturing_ = false;
    lua_close(L_);
    L_ = nullptr;
    cache_.reset();
    flushCache_ = false;
    sandbox_ = SandboxState{};
    memory_.setBaseline(0);
}

void LuaWorker::collect(unsigned sequence) {
    collectFully(sequence);
    // Finalizers may have stored into globals what no request will answer for.
    boundState(sequence, true);
}

void LuaWorker::collectFully(unsigned sequence) {
    if (L_ == nullptr) return;
    // Finalizers (only --trusted scripts can set them) get a budget, as when the state
    // closes; without one (said on standard error), the collection waits for later.
    if (!budget_.start(L_, sequence)) return;
    lua_gc(L_, LUA_GCCOLLECT);
    budget_.finish();
    collectedAt_ = memory_.used();
}

// What one request leaves in the state must not decide what every later request may
// use: past its bound, once garbage is ruled out, the state is dropped for a new one,
// as a replaced worker would have. The allocator's count is read first, so a state
// within its bound costs no collection at all.
//
// A collection costs what the state holds. Should the count pass the bound again before
// the heap has grown by half of what the last collection found, that state sits so
// close to its bound that collecting each time would make every later request pay for
// it (at worst each one, for a state kept just under the bound): it is rebuilt without
// one. So collections cost at most twice what Lua's own collector spends on the same
// growth at its default pause, and a state that collections keep within two thirds of
// the bound is never rebuilt for being near it.
void LuaWorker::boundState(unsigned sequence, bool collected) {
    if (L_ == nullptr || !memory_.overState()) return;
    const bool soon = memory_.used() < collectedAt_ + collectedAt_ / 2;
    if (!collected && !soon) collectFully(sequence);
    if (!memory_.overState() && (collected || !soon)) return;
    // Finalizers run while it closes get the request's budget (see the destructor).
    const bool budgeted = budget_.start(L_, sequence);
    closeState();
    if (budgeted) budget_.finish();
    rebuilt_ = true;
    // Made now, so the reply room kept for the next request sees it; should it not fit
    // (or the preloaded files fail in it), admit() tries again and answers why not.
    openState(sequence);
}

// A reply that will not go out from the arena lets go of its block at once.
void LuaWorker::dropArenaReply() {
    if (!inArena()) return;
    arenaReply_ = {};
    memory_.unpinReply();
}

void LuaWorker::fail(std::string_view message) {
    dropArenaReply();
    lastOk_ = false;
    reply_.clear();
    constexpr std::string_view prefix = reply::kErrorPrefix;
    if (!reply_.append(prefix.data(), prefix.size()) ||
        !reply_.append(message.data(), message.size())) {
        reply_.assign(reply::kNoMemoryReply.view());
    }
}

std::string_view LuaWorker::refuse(std::string_view message) {
    arenaReply_ = {}; // the last reply's, still pinned until replyReleased()
    fail(message);
    return reply_.view();
}

std::string_view LuaWorker::handle(std::string_view request, unsigned sequence) {
    lastOk_ = true;
    arenaReply_ = {}; // still pinned, until replyReleased()
    if (!reply_.clear()) {
        lastOk_ = false; // the base capacity is always there to say so
        reply_.assign(reply::kNoMemoryReply.view());
    } else if (admit(request, sequence)) {
        execute(request, sequence);
        afterRequest(sequence);
        if (rebuilt_) {
            rebuilt_ = false;
            constexpr std::string_view suffix = reply::kReplaced;
            // The warning follows the string's bytes, which the pin kept as they were.
            if (inArena()) {
                const std::string_view text = arenaReply_;
                arenaReply_ = {};
                if (!reply_.append(text.data(), text.size())) fail(reply::kNoMemory);
                memory_.unpinReply();
                if (!lastOk_) {
                    reply_.append(suffix.data(), suffix.size());
                    return reply_.view();
                }
            }
            if (!reply_.append(suffix.data(), suffix.size())) {
                // Only a reply within a few bytes of the limit gets here; it loses its
                // text rather than its warning, which the base capacity always holds.
                fail(reply::kNoMemory);
                reply_.append(suffix.data(), suffix.size());
            }
        }
    }
    return inArena() ? arenaReply_ : reply_.view();
}

bool LuaWorker::admit(std::string_view request, unsigned sequence) {
    if (limits_.maxRequest != 0 && request.size() > limits_.maxRequest) {
        fail(reply::TooLarge(request.size(), limits_.maxRequest).message());
        return false;
    }
    if (L_ == nullptr && !openState(sequence)) {
        fail(openError_.empty() ? std::string_view(reply::kNoState) : openError_);
        return false;
    }
    return true;
}

void LuaWorker::execute(std::string_view request, unsigned sequence) {
    armHook();
    if (!budget_.start(L_, sequence)) {
        fail(reply::kNoTimer);
        return;
    }
    Call call{request};
    lua_settop(L_, 0);
    lua_pushcfunction(L_, &LuaWorkerAccess::messageHandler);
    lua_pushcfunction(L_, &LuaWorkerAccess::run);
    lua_pushlightuserdata(L_, &call);
    capturing_ = true;
    const int status = lua_pcall(L_, 1, 0, 1);
    capturing_ = false;
    budget_.finish();
    if (status != LUA_OK) {
        std::size_t size = 0;
        const char* message =
            lua_type(L_, -1) == LUA_TSTRING ? lua_tolstring(L_, -1, &size) : nullptr;
        fail(message != nullptr ? std::string_view(message, size) : reply::kNoMessage);
        // Give the memory held by cached chunks back to the scripts.
        if (status == LUA_ERRMEM) flushCache_ = true;
    }
    lua_settop(L_, 0);
}

void LuaWorker::afterRequest(unsigned sequence) {
    if (limits_.fresh) {
        closeState();
    } else if (sandbox_.dirty()) {
        // What the request did to the collector or the random seed ends with it; the
        // state cannot be trusted further if that fails.
        lua_pushcfunction(L_, &restoreSandbox);
        if (lua_pcall(L_, 0, 0, 0) != LUA_OK) {
            closeState();
            rebuilt_ = true; // its globals went with it
        }
    }
    // A large reply's strings are garbage once it is written, and the incremental
    // collector frees them only a few requests later: one large reply after another
    // would keep several of them. Collecting now costs less than writing the reply did,
    // as long as the reply outweighs what the state holds.
    const std::size_t size = inArena() ? arenaReply_.size() : reply_.view().size();
    const bool collected =
        L_ != nullptr && size >= kCollectAfter &&
        (size >> kKiBShift) >= static_cast<std::size_t>(lua_gc(L_, LUA_GCCOUNT)) / 2;
    if (collected) collectFully(sequence); // still within the request's deadline
    boundState(sequence, collected);
}

} // namespace qel
