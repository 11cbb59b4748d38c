// sandbox.cpp - opening the standard libraries, then removing or wrapping whatever could
// touch the host or escape the guards (io, package, debug, most of os, file loading,
// bytecode, finalizers, a message handler run after a limit), and making the rest
// read-only so that one request cannot change what the next one gets.
#include "sandbox.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <lua.hpp>
#include <sys/random.h>

namespace qel {

namespace {

// Registry key of the function that undoes a request's changes.
char kRestoreKey;

// Lua 5.4's own collector settings (lgc.h): what every request starts with.
constexpr int kGcPause = 200;
constexpr int kGcStepMul = 100;
constexpr int kGcStepSize = 13;
constexpr int kGenMinorMul = 20;
constexpr int kGenMajorMul = 100;

SandboxState& stateOf(lua_State* L) {
    return *static_cast<SandboxState*>(lua_touserdata(L, lua_upvalueindex(1)));
}

int returnAll(lua_State* L, int, lua_KContext) {
    return lua_gettop(L);
}

// Calls the function in upvalue `original` with every argument and returns what it
// returns; with a continuation, so that what it calls may yield as from Lua. A wrapper
// checks the arguments the way the original does before this: an error the original
// raised itself would be reported against a nameless function, since it was called
// from C.
int callOriginal(lua_State* L, int original) {
    lua_pushvalue(L, lua_upvalueindex(original));
    lua_insert(L, 1);
    lua_callk(L, lua_gettop(L) - 1, LUA_MULTRET, 0, returnAll);
    return lua_gettop(L);
}

// The message Lua gives a chunk that its mode refuses; precompiled chunks always get it
// as if the mode were "t".
constexpr const char* kBinaryRefused = "attempt to load a binary chunk (mode is 't')";

// The reader that load is given for a script's reader function: it passes the pieces on
// and refuses a chunk whose first piece starts as bytecode. Lua decides text or binary
// on that first byte alone, so this sees what Lua's own mode check sees.
int textOnlyReader(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_call(L, 0, 1);
    if (lua_toboolean(L, lua_upvalueindex(2)) == 0) {
        lua_pushboolean(L, 1);
        lua_replace(L, lua_upvalueindex(2));
        std::size_t size = 0;
        const char* piece = lua_tolstring(L, -1, &size);
        if (piece != nullptr && size > 0 && piece[0] == LUA_SIGNATURE[0]) {
            lua_pushstring(L, kBinaryRefused);
            return lua_error(L); // load catches it and returns nil and the message
        }
    }
    return 1;
}

// load refusing precompiled bytecode, which a script could forge, whatever the mode; a
// text chunk loads or is refused by Lua's own mode check, with the script's own mode, as
// in stock Lua.
int textOnlyLoad(lua_State* L) {
    std::size_t size = 0;
    const char* text = lua_tolstring(L, 1, &size);
    if (text == nullptr) luaL_checktype(L, 1, LUA_TFUNCTION);
    luaL_optstring(L, 2, nullptr);
    const char* mode = luaL_optstring(L, 3, "bt");
    if (text != nullptr) {
        if (size > 0 && text[0] == LUA_SIGNATURE[0] && std::strchr(mode, 'b') != nullptr) {
            luaL_pushfail(L);
            lua_pushstring(L, kBinaryRefused);
            return 2;
        }
    } else if (std::strchr(mode, 'b') != nullptr) {
        lua_pushvalue(L, 1);
        lua_pushboolean(L, 0); // whether the first piece has been seen
        lua_pushcclosure(L, textOnlyReader, 2);
        lua_replace(L, 1);
    }
    return callOriginal(L, 1);
}

// setmetatable refusing __gc: Lua runs finalizers with hooks switched off, so a
// finalizer could loop forever out of reach of the instruction and time limits. An
// object is only ever finalized if its metatable had __gc when it was set, so
// refusing such metatables here rules finalizers out entirely.
int setmetatableWithoutGc(lua_State* L) {
    luaL_checktype(L, 1, LUA_TTABLE);
    const int type = lua_type(L, 2);
    luaL_argexpected(L, type == LUA_TNIL || type == LUA_TTABLE, 2, "nil or table");
    if (type == LUA_TTABLE) {
        lua_pushliteral(L, "__gc");
        if (lua_rawget(L, 2) != LUA_TNIL) {
            return luaL_error(L, "__gc metamethods are not available in the sandbox");
        }
        lua_pop(L, 1);
    }
    return callOriginal(L, 1);
}

// collectgarbage: options that change how the collector runs are allowed, and undone
// after the request.
int guardedCollect(lua_State* L) {
    // Lua 5.4's options, how many integer arguments each takes, and which of them
    // change how the collector runs.
    static const char* const options[] = {"stop",         "restart",     "collect",    "count",
                                          "step",         "setpause",    "setstepmul", "isrunning",
                                          "generational", "incremental", nullptr};
    static const int integers[] = {0, 0, 0, 0, 1, 1, 1, 0, 2, 3};
    static const bool changes[] = {true, true, false, false, false, true, true, false, true, true};
    const int option = luaL_checkoption(L, 1, "collect", options);
    for (int i = 0; i < integers[option]; ++i)
        luaL_optinteger(L, 2 + i, 0);
    if (changes[option]) stateOf(L).collectorChanged = true;
    return callOriginal(L, 2);
}

// math.randomseed: the seed is the request's own; the next request gets a fresh one.
int guardedRandomseed(lua_State* L) {
    if (!lua_isnone(L, 1)) {
        luaL_checkinteger(L, 1);
        luaL_optinteger(L, 2, 0);
    }
    stateOf(L).reseeded = true;
    return callOriginal(L, 2);
}

int restore(lua_State* L) {
    SandboxState& state = stateOf(L);
    if (state.collectorChanged) {
        lua_gc(L, LUA_GCGEN, kGenMinorMul, kGenMajorMul);
        lua_gc(L, LUA_GCINC, kGcPause, kGcStepMul, kGcStepSize);
        lua_gc(L, LUA_GCRESTART);
        state.collectorChanged = false;
    }
    if (state.reseeded) {
        lua_Integer seed[2] = {0, 0};
        if (getrandom(seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
            seed[0] = static_cast<lua_Integer>(reinterpret_cast<std::uintptr_t>(&state));
        }
        lua_pushvalue(L, lua_upvalueindex(2));
        lua_pushinteger(L, seed[0]);
        lua_pushinteger(L, seed[1]);
        lua_call(L, 2, 0);
        state.reseeded = false;
    }
    return 0;
}

// Replaces field `name` of the table at idx with closure(upvalues..., original).
void wrap(lua_State* L, int idx, const char* name, lua_CFunction wrapper, SandboxState* state) {
    idx = lua_absindex(L, idx);
    int upvalues = 0;
    if (state != nullptr) {
        lua_pushlightuserdata(L, state);
        ++upvalues;
    }
    lua_getfield(L, idx, name);
    lua_pushcclosure(L, wrapper, upvalues + 1);
    lua_setfield(L, idx, name);
}

void openLibrary(lua_State* L, const char* name, lua_CFunction open) {
    luaL_requiref(L, name, open, 1);
    lua_pop(L, 1);
}

void removeGlobal(lua_State* L, const char* name) {
    lua_pushnil(L);
    lua_setglobal(L, name);
}

// Makes the standard library read-only in the core (lua_setreadonly): every library
// table, the strings' metatable and the standard names of the globals table refuse
// writes with "the standard library is read-only (cannot set 'NAME')", and refuse a
// new metatable. Reads are untouched, so rawget, next, pairs, # and getmetatable answer
// as in stock Lua; scripts still define globals of their own.
void protectStandardLibrary(lua_State* L) {
    lua_pushglobaltable(L);
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        if (lua_type(L, -1) == LUA_TTABLE) lua_setreadonly(L, -1);
        lua_pop(L, 1);
    }
    lua_setreadonly(L, -1); // the globals themselves (_G is among the tables above)
    lua_pop(L, 1);
    lua_pushliteral(L, "");
    lua_getmetatable(L, -1);
    lua_setreadonly(L, -1);
    lua_pop(L, 2);
}

} // namespace

void openLibraries(lua_State* L, bool trusted, lua_CFunction print, SandboxState& state) {
    if (trusted) {
        luaL_openlibs(L);
    } else {
        openLibrary(L, LUA_GNAME, luaopen_base);
        openLibrary(L, LUA_COLIBNAME, luaopen_coroutine);
        openLibrary(L, LUA_TABLIBNAME, luaopen_table);
        openLibrary(L, LUA_STRLIBNAME, luaopen_string);
        openLibrary(L, LUA_MATHLIBNAME, luaopen_math);
        openLibrary(L, LUA_UTF8LIBNAME, luaopen_utf8);

        // os: only the clock and calendar functions, in a table of their own.
        luaL_requiref(L, LUA_OSLIBNAME, luaopen_os, 0);
        lua_createtable(L, 0, 4);
        for (const char* name : {"time", "clock", "date", "difftime"}) {
            lua_getfield(L, -2, name);
            lua_setfield(L, -2, name);
        }
        lua_setglobal(L, LUA_OSLIBNAME);
        lua_pop(L, 1);

        removeGlobal(L, "dofile");
        removeGlobal(L, "loadfile");
        // The string table is also the strings' __index, so this removes ("").dump too.
        lua_getglobal(L, LUA_STRLIBNAME);
        lua_pushnil(L);
        lua_setfield(L, -2, "dump");
        lua_pop(L, 1);
    }

    lua_pushglobaltable(L);
    if (!trusted) {
        wrap(L, -1, "load", textOnlyLoad, nullptr);
        wrap(L, -1, "setmetatable", setmetatableWithoutGc, nullptr);
        wrap(L, -1, "collectgarbage", guardedCollect, &state);
        lua_getfield(L, -1, LUA_MATHLIBNAME);
        lua_pushlightuserdata(L, &state);
        lua_getfield(L, -2, "randomseed");
        lua_pushcclosure(L, restore, 2);
        lua_rawsetp(L, LUA_REGISTRYINDEX, &kRestoreKey);
        wrap(L, -1, "randomseed", guardedRandomseed, &state);
        lua_pop(L, 1);
    }
    lua_pushcfunction(L, print);
    lua_setfield(L, -2, "print");
    lua_pop(L, 1);

    if (!trusted) protectStandardLibrary(L);
}

int restoreSandbox(lua_State* L) {
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kRestoreKey);
    if (lua_isnil(L, -1)) return 0;
    lua_call(L, 0, 0);
    return 0;
}

} // namespace qel
