// sandbox.cpp - opening the standard libraries, then removing or wrapping whatever
// could touch the host or escape the guards: io, package, debug, most of os, file
// loading, bytecode, finalizers, pattern matching that runs no VM instructions.
#include "sandbox.h"

#include <cstddef>
#include <initializer_list>
#include <lua.hpp>

#include "lua_pattern.h"
#include "request_limits.h"

namespace qel {

namespace {

// load with the mode argument forced to "t": a script can build and run text chunks
// but never hand the VM precompiled bytecode, which it could forge.
int textOnlyLoad(lua_State* L) {
    const int nargs = lua_gettop(L) < 3 ? 3 : lua_gettop(L);
    lua_settop(L, nargs); // keeps an explicit env (4th argument) if one was given
    lua_pushliteral(L, "t");
    lua_replace(L, 3);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, nargs, LUA_MULTRET);
    return lua_gettop(L);
}

// setmetatable refusing __gc: Lua runs finalizers with hooks switched off, so a
// finalizer could loop forever out of reach of the instruction and time limits. An
// object is only ever finalized if its metatable had __gc when it was set, so
// refusing such metatables here rules finalizers out entirely.
int setmetatableWithoutGc(lua_State* L) {
    if (lua_type(L, 2) == LUA_TTABLE) {
        lua_pushliteral(L, "__gc");
        if (lua_rawget(L, 2) != LUA_TNIL) {
            return luaL_error(L, "__gc metamethods are not available in the sandbox");
        }
        lua_pop(L, 1);
    }
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

void openLibrary(lua_State* L, const char* name, lua_CFunction open) {
    luaL_requiref(L, name, open, 1);
    lua_pop(L, 1);
}

void removeGlobal(lua_State* L, const char* name) {
    lua_pushnil(L);
    lua_setglobal(L, name);
}

// Called from the C matcher, which raises the Lua error itself: only reads and
// updates the budget, never throws.
const char* chargePattern(void* ud, std::size_t steps) noexcept {
    return static_cast<RunBudget*>(ud)->charge(steps);
}

// One string.find or string.gsub call runs no VM instructions, so the count hook
// cannot stop a pattern that backtracks for hours; the replacements count their steps.
// The string table is also the strings' __index, which covers ("x"):find(...) too.
void budgetPatterns(lua_State* L, RunBudget& budget) {
    lua_getglobal(L, LUA_STRLIBNAME);
    qel_pattern_install(L, -1, chargePattern, &budget);
    lua_pop(L, 1);
}

} // namespace

void openLibraries(lua_State* L, bool trusted, lua_CFunction print, RunBudget& budget) {
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

        lua_getglobal(L, "load");
        lua_pushcclosure(L, textOnlyLoad, 1);
        lua_setglobal(L, "load");
        lua_getglobal(L, "setmetatable");
        lua_pushcclosure(L, setmetatableWithoutGc, 1);
        lua_setglobal(L, "setmetatable");
    }
    budgetPatterns(L, budget);
    lua_pushcfunction(L, print);
    lua_setglobal(L, "print");
}

} // namespace qel
