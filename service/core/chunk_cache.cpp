// chunk_cache.cpp - reuse of compiled chunks. A main chunk has exactly one upvalue,
// _ENV, and may assign to it; each reuse therefore gets a new upvalue cell, made by a
// tiny factory closure, so no run sees what an earlier run did to its _ENV.
#include "chunk_cache.h"

#include <lua.hpp>

namespace qel {

namespace {

// Each call returns a closure whose single upvalue is a new cell holding the argument.
constexpr char kEnvFactory[] = "local env = ... return function() return env end";

} // namespace

ChunkCache::ChunkCache() : envFactory_(LUA_NOREF) {}

bool ChunkCache::push(lua_State* L, std::string_view text) {
    const auto found = index_.find(text);
    if (found == index_.end()) return false;
    entries_.splice(entries_.begin(), entries_, found->second);
    const int ref = found->second->ref;

    if (envFactory_ == LUA_NOREF) {
        if (luaL_loadbufferx(L, kEnvFactory, sizeof kEnvFactory - 1, "=env", "t") != LUA_OK) {
            lua_error(L);
        }
        envFactory_ = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
    lua_rawgeti(L, LUA_REGISTRYINDEX, envFactory_);
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lua_call(L, 1, 1);
    lua_upvaluejoin(L, -2, 1, -1, 1);
    lua_pop(L, 1);
    return true;
}

void ChunkCache::insert(lua_State* L, std::string_view text) {
    if (!cacheable(text) || index_.count(text) != 0) return;
    while (!entries_.empty() &&
           (entries_.size() >= kMaxEntries || bytes_ + text.size() > kMaxBytes)) {
        evictOldest(L);
    }
    lua_pushvalue(L, -1);
    const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    bool stored = false;
    try {
        entries_.push_front(Entry{std::string(text), ref});
        try {
            index_.emplace(entries_.front().text, entries_.begin());
            stored = true;
        } catch (...) {
            entries_.pop_front();
        }
    } catch (...) {
    }
    if (!stored) {
        luaL_unref(L, LUA_REGISTRYINDEX, ref);
        return;
    }
    bytes_ += text.size();
}

void ChunkCache::evictOldest(lua_State* L) {
    Entry& oldest = entries_.back();
    luaL_unref(L, LUA_REGISTRYINDEX, oldest.ref);
    bytes_ -= oldest.text.size();
    index_.erase(oldest.text);
    entries_.pop_back();
}

void ChunkCache::clear(lua_State* L) {
    while (!entries_.empty())
        evictOldest(L);
}

void ChunkCache::reset() {
    index_.clear();
    entries_.clear();
    bytes_ = 0;
    envFactory_ = LUA_NOREF;
}

} // namespace qel
