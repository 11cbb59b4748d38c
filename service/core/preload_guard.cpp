// preload_guard.cpp - one walk over what the --preload files left reachable from the
// globals, used twice: after each file, to refuse a coroutine a request could reach, and
// after the last, to make every table the files defined read-only.
#include "preload_guard.h"

#include <cstddef>
#include <lua.hpp>

namespace qel {

namespace {

// Registry key of the set of tables the preloaded files marked writable; there only
// while they run.
char kWritableKey;

// The globals table keeps only short strings read-only (LUAI_MAXSHORTLEN in llimits.h):
// longer names are interned apart and cannot carry the mark.
constexpr std::size_t kLongestFixedName = 40;

// writable(t): t is the application's to change from requests; returns t.
int markWritable(lua_State* L) {
    luaL_checktype(L, 1, LUA_TTABLE);
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &kWritableKey) != LUA_TTABLE) {
        return luaL_error(L, "writable is available only while the preloaded files run");
    }
    lua_pushvalue(L, 1);
    lua_pushboolean(L, 1);
    lua_rawset(L, -3);
    lua_settop(L, 1);
    return 1;
}

// Every object the globals reach, each once, in no particular order: tables through
// their keys, values and metatables, never into a writable one; with `deep`, also
// functions through their upvalues, userdata through their metatables and user values,
// and coroutines, which hold nothing the walk follows. Its tables sit on the stack from
// `writable` up, `todo` an array of `pending` objects still to visit.
struct Reach {
    bool deep;
    int writable = 0;
    int seen = 0;
    int todo = 0;
    int globals = 0;
    lua_Integer pending = 0;

    // Pushes the walk's tables and the globals, marked seen. The globals have no
    // metatable to follow: the standard library's protection refuses them one.
    void start(lua_State* L) {
        lua_rawgetp(L, LUA_REGISTRYINDEX, &kWritableKey);
        writable = lua_gettop(L);
        lua_newtable(L);
        seen = lua_gettop(L);
        lua_newtable(L);
        todo = lua_gettop(L);
        lua_pushglobaltable(L);
        globals = lua_gettop(L);
        lua_pushvalue(L, globals);
        lua_pushboolean(L, 1);
        lua_rawset(L, seen);
    }

    bool follows(int type) const {
        return type == LUA_TTABLE ||
               (deep && (type == LUA_TFUNCTION || type == LUA_TUSERDATA || type == LUA_TTHREAD));
    }

    // Queues the value at idx unless the walk leaves it out or has it already.
    void queue(lua_State* L, int idx) {
        if (!follows(lua_type(L, idx))) return;
        idx = lua_absindex(L, idx);
        lua_pushvalue(L, idx);
        const bool skip = lua_rawget(L, writable) != LUA_TNIL;
        lua_pushvalue(L, idx);
        const bool known = lua_rawget(L, seen) != LUA_TNIL;
        lua_pop(L, 2);
        if (skip || known) return;
        lua_pushvalue(L, idx);
        lua_pushboolean(L, 1);
        lua_rawset(L, seen);
        lua_pushvalue(L, idx);
        lua_rawseti(L, todo, ++pending);
    }

    // Pushes the next queued object, having queued what it refers to; false when the
    // queue is empty.
    bool next(lua_State* L) {
        if (pending == 0) return false;
        lua_rawgeti(L, todo, pending);
        lua_pushnil(L);
        lua_rawseti(L, todo, pending--);
        const int object = lua_gettop(L);
        const int type = lua_type(L, object);
        if (type == LUA_TTABLE) {
            lua_pushnil(L);
            while (lua_next(L, object) != 0) {
                queue(L, -2);
                queue(L, -1);
                lua_pop(L, 1);
            }
        } else if (type == LUA_TFUNCTION) {
            for (int n = 1; lua_getupvalue(L, object, n) != nullptr; ++n) {
                queue(L, -1);
                lua_pop(L, 1);
            }
        } else if (type == LUA_TUSERDATA) {
            for (int n = 1; lua_getiuservalue(L, object, n) != LUA_TNONE; ++n) {
                queue(L, -1);
                lua_pop(L, 1);
            }
            lua_pop(L, 1);
        }
        if ((type == LUA_TTABLE || type == LUA_TUSERDATA) && lua_getmetatable(L, object) != 0) {
            queue(L, -1);
            lua_pop(L, 1);
        }
        return true;
    }

    void finish(lua_State* L) const { lua_settop(L, writable - 1); }
};

// Every table reachable from the globals is made read-only, the standard library again
// with the rest; then the globals table, guarded again, marks the new names as fixed.
void protectPreloaded(lua_State* L) {
    Reach reach{false};
    reach.start(L);
    lua_pushnil(L);
    while (lua_next(L, reach.globals) != 0) {
        if (lua_type(L, -2) != LUA_TSTRING || lua_rawlen(L, -2) > kLongestFixedName) {
            luaL_error(L, "a preloaded global must be named by a string of at most %d bytes",
                       static_cast<int>(kLongestFixedName));
        }
        reach.queue(L, -1);
        lua_pop(L, 1);
    }
    while (reach.next(L)) {
        lua_setreadonly(L, -1);
        lua_pop(L, 1);
    }
    lua_setreadonly(L, reach.globals);
    reach.finish(L);
}

// The error for the global whose key is at idx. The key is named only when it is a
// string; protectPreloaded() would refuse any other a little later anyway.
void refuseCoroutine(lua_State* L, int idx) {
    const char* const what = "reaches a coroutine, which every request could resume or close";
    if (lua_type(L, idx) == LUA_TSTRING)
        luaL_error(L, "global '%s' %s", lua_tostring(L, idx), what);
    luaL_error(L, "a global keyed by a %s %s", luaL_typename(L, idx), what);
}

// Visits what is queued, refusing a coroutine as reached from the global at key.
void drainRefusing(lua_State* L, Reach& reach, int key) {
    while (reach.next(L)) {
        const bool coroutine = lua_type(L, -1) == LUA_TTHREAD;
        lua_pop(L, 1);
        if (coroutine) refuseCoroutine(L, key);
    }
}

} // namespace

void beginPreload(lua_State* L) {
    lua_newtable(L);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kWritableKey);
    lua_pushcfunction(L, markWritable);
    lua_setglobal(L, "writable");
}

void refuseSharedCoroutines(lua_State* L) {
    Reach reach{true};
    reach.start(L);
    // Global by global, so that the error names the first one that reaches it.
    lua_pushnil(L);
    while (lua_next(L, reach.globals) != 0) {
        reach.queue(L, -2);
        reach.queue(L, -1);
        drainRefusing(L, reach, lua_absindex(L, -2));
        lua_pop(L, 1);
    }
    reach.finish(L);
}

void finishPreload(lua_State* L, bool trusted) {
    lua_pushnil(L);
    lua_setglobal(L, "writable");
    if (!trusted) protectPreloaded(L);
    lua_pushnil(L);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kWritableKey);
}

} // namespace qel
