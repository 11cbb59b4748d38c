// sandbox.cpp - opening the standard libraries, then removing or wrapping whatever could
// touch the host or escape the guards (io, package, debug, most of os, file loading,
// bytecode, finalizers, a message handler run after a limit), and making the rest
// read-only so that one request cannot change what the next one gets.
#include "sandbox.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <lua.hpp>
#include <sys/random.h>

#include "lua_budget.h"

namespace qel {

namespace {

// Registry keys: the function that undoes a request's changes, and the set of tables
// that scripts must not write to (proxies map to true, the globals table to "globals").
char kRestoreKey;
char kProtectedKey;

// Lua 5.4's own collector settings (lgc.h): what every request starts with.
constexpr int kGcPause = 200;
constexpr int kGcStepMul = 100;
constexpr int kGcStepSize = 13;
constexpr int kGenMinorMul = 20;
constexpr int kGenMajorMul = 100;

SandboxState& stateOf(lua_State* L) {
    return *static_cast<SandboxState*>(lua_touserdata(L, lua_upvalueindex(1)));
}

// Calls the function in upvalue `original` with every argument and returns what it
// returns. A wrapper checks the arguments the way the original does before this: an
// error the original raised itself would be reported against a nameless function,
// since it was called from C.
int callOriginal(lua_State* L, int original) {
    lua_pushvalue(L, lua_upvalueindex(original));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

// load with the mode argument forced to "t": a script can build and run text chunks
// but never hand the VM precompiled bytecode, which it could forge.
int textOnlyLoad(lua_State* L) {
    if (!lua_isstring(L, 1)) luaL_checktype(L, 1, LUA_TFUNCTION);
    luaL_optstring(L, 2, nullptr);
    const int nargs = lua_gettop(L) < 3 ? 3 : lua_gettop(L);
    lua_settop(L, nargs); // keeps an explicit env (4th argument) if one was given
    lua_pushliteral(L, "t");
    lua_replace(L, 3);
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

// xpcall's message handler runs where the error was raised. When that is the count hook
// raising a crossed limit, hooks are off, so a handler that loops would never be
// stopped; once a limit is crossed the handler is skipped and the error passes as is.
int guardedHandler(lua_State* L) {
    if (qel_budget_crossed()) return 1;
    return callOriginal(L, 1);
}

int guardedXpcall(lua_State* L) {
    luaL_checktype(L, 2, LUA_TFUNCTION);
    lua_pushvalue(L, 2);
    lua_pushcclosure(L, guardedHandler, 1);
    lua_replace(L, 2);
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

// --- read-only views ---------------------------------------------------------------

int refuseWrite(lua_State* L) {
    const char* key = lua_type(L, 2) == LUA_TSTRING ? lua_tostring(L, 2) : "?";
    return luaL_error(L, "the standard library is read-only (cannot set '%s')", key);
}

// next over the table in upvalue 1, so that the table itself never reaches a script.
int nextOfHidden(lua_State* L) {
    lua_settop(L, 2);
    if (lua_next(L, lua_upvalueindex(1)) != 0) return 2;
    lua_pushnil(L);
    return 1;
}

int pairsOfHidden(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_pushcclosure(L, nextOfHidden, 1);
    lua_pushvalue(L, 1);
    lua_pushnil(L);
    return 3;
}

// Marks the table on top of the stack in the protected set with kind on top of it.
void markProtected(lua_State* L, int table) {
    table = lua_absindex(L, table);
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kProtectedKey);
    lua_pushvalue(L, table);
    lua_pushvalue(L, -3);
    lua_rawset(L, -3);
    lua_pop(L, 2); // the set and the kind
}

// Pushes an empty table that reads through to the table at idx and refuses writes.
void pushReadOnlyView(lua_State* L, int idx) {
    idx = lua_absindex(L, idx);
    lua_newtable(L);
    lua_createtable(L, 0, 4);
    lua_pushvalue(L, idx);
    lua_setfield(L, -2, "__index");
    lua_pushcfunction(L, refuseWrite);
    lua_setfield(L, -2, "__newindex");
    lua_pushvalue(L, idx);
    lua_pushcclosure(L, pairsOfHidden, 1);
    lua_setfield(L, -2, "__pairs");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    lua_setmetatable(L, -2);
    lua_pushboolean(L, 1);
    markProtected(L, -2);
}

// Assignment to a global that the standard library defines; script globals pass.
int guardGlobal(lua_State* L) {
    lua_pushvalue(L, 2);
    if (lua_rawget(L, lua_upvalueindex(1)) != LUA_TNIL) return refuseWrite(L);
    lua_settop(L, 3);
    lua_rawset(L, 1);
    return 0;
}

// pairs over the globals: the standard names first, then the script's own.
int nextGlobal(lua_State* L) {
    const int standard = lua_upvalueindex(1);
    lua_settop(L, 2);
    bool inStandard = lua_isnil(L, 2);
    if (!inStandard) {
        lua_pushvalue(L, 2);
        inStandard = lua_rawget(L, standard) != LUA_TNIL;
        lua_pop(L, 1);
    }
    if (inStandard) {
        lua_pushvalue(L, 2);
        if (lua_next(L, standard) != 0) return 2;
        lua_pushnil(L); // the standard names are done: start on the script's
        lua_replace(L, 2);
    }
    if (lua_next(L, 1) != 0) return 2;
    lua_pushnil(L);
    return 1;
}

int pairsOfGlobals(lua_State* L) {
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_pushcclosure(L, nextGlobal, 1);
    lua_pushvalue(L, 1);
    lua_pushnil(L);
    return 3;
}

// rawset, refusing the protected tables: a raw write into a view would shadow the
// library behind it, and one into the globals would shadow a standard name.
int guardedRawset(lua_State* L) {
    luaL_checktype(L, 1, LUA_TTABLE);
    luaL_checkany(L, 2);
    luaL_checkany(L, 3);
    {
        lua_rawgetp(L, LUA_REGISTRYINDEX, &kProtectedKey);
        lua_pushvalue(L, 1);
        const int kind = lua_rawget(L, -2);
        if (kind == LUA_TBOOLEAN) return refuseWrite(L);
        if (kind == LUA_TSTRING) { // the globals: standard names are refused
            lua_pushvalue(L, 2);
            if (lua_rawget(L, lua_upvalueindex(2)) != LUA_TNIL) return refuseWrite(L);
        }
        lua_settop(L, 3);
    }
    return callOriginal(L, 1);
}

// Moves every global into a table of standard names, replaces each library table by a
// read-only view, and gives the (now empty) globals table a metatable that reads the
// standard names through and refuses to overwrite them. Scripts still define globals of
// their own, which live in the globals table as before.
void protectStandardLibrary(lua_State* L) {
    lua_newtable(L);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kProtectedKey);

    lua_pushglobaltable(L);
    const int globals = lua_gettop(L);
    lua_newtable(L);
    const int standard = lua_gettop(L);
    lua_getfield(L, globals, "rawset");
    lua_pushvalue(L, standard);
    lua_pushcclosure(L, guardedRawset, 2);
    lua_setfield(L, globals, "rawset");
    // Error messages name a function called from C by finding it in the loaded
    // libraries; the originals stay findable there under _G.
    luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    lua_newtable(L);
    lua_pushnil(L);
    while (lua_next(L, globals) != 0) {
        lua_pushvalue(L, -2);
        lua_pushvalue(L, -2);
        lua_rawset(L, -5); // the names table for error messages
        if (lua_type(L, -1) == LUA_TTABLE && !lua_rawequal(L, -1, globals)) {
            pushReadOnlyView(L, -1);
            lua_replace(L, -2);
        }
        lua_pushvalue(L, -2);
        lua_insert(L, -2);
        lua_rawset(L, standard);
    }
    lua_setfield(L, -2, LUA_GNAME);
    lua_pop(L, 1);
    // Emptied after the walk: next() must not meet keys removed under it.
    lua_pushnil(L);
    while (lua_next(L, standard) != 0) {
        lua_pop(L, 1);
        lua_pushvalue(L, -1);
        lua_pushnil(L);
        lua_rawset(L, globals);
    }

    lua_createtable(L, 0, 4);
    lua_pushvalue(L, standard);
    lua_setfield(L, -2, "__index");
    lua_pushvalue(L, standard);
    lua_pushcclosure(L, guardGlobal, 1);
    lua_setfield(L, -2, "__newindex");
    lua_pushvalue(L, standard);
    lua_pushcclosure(L, pairsOfGlobals, 1);
    lua_setfield(L, -2, "__pairs");
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "__metatable");
    lua_setmetatable(L, globals);
    lua_pushliteral(L, "globals");
    markProtected(L, globals);

    // The strings' metatable is reachable through getmetatable(""): scripts see a
    // read-only copy whose __index is the read-only string library, while the VM keeps
    // using the real one.
    lua_pushliteral(L, "");
    lua_getmetatable(L, -1);
    lua_newtable(L);
    lua_pushnil(L);
    while (lua_next(L, -3) != 0) {
        lua_pushvalue(L, -2);
        lua_insert(L, -2);
        lua_rawset(L, -4);
    }
    lua_getfield(L, standard, LUA_STRLIBNAME);
    lua_setfield(L, -2, "__index");
    pushReadOnlyView(L, -1);
    lua_setfield(L, -3, "__metatable");
    lua_pop(L, 3);
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
    wrap(L, -1, "xpcall", guardedXpcall, nullptr);
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
