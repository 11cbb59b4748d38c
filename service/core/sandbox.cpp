// sandbox.cpp - opening the libraries that scriptSurface() lists and keeping only their
// listed members (no io, package or debug, four os functions, no file loading or
// string.dump), wrapping whatever could escape the guards (bytecode, finalizers,
// collector settings and the seed), and making the rest read-only so that one request
// cannot change what the next one gets.
#include "sandbox.h"

#include "sandbox_surface.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <lua.hpp>
#include <sys/random.h>
#include <vector>

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

// The sandbox's wrappers: the functions that would let a script escape the guards
// (bytecode, finalizers) or outlast its request (collector settings, the seed).
struct Guarded {
    const char* library; // LUA_GNAME for a global
    const char* name;
    lua_CFunction wrapper;
    bool needsState; // the wrapper records in SandboxState what restore() must undo
};
constexpr Guarded kGuarded[] = {
    {LUA_GNAME, "load", textOnlyLoad, false},
    {LUA_GNAME, "setmetatable", setmetatableWithoutGc, false},
    {LUA_GNAME, "collectgarbage", guardedCollect, true},
    {LUA_MATHLIBNAME, "randomseed", guardedRandomseed, true},
};

bool listed(const std::vector<const char*>& names, const char* name) {
    for (const char* listedName : names) {
        if (std::strcmp(listedName, name) == 0) return true;
    }
    return false;
}

bool sandboxedGlobal(const char* name) {
    for (const SurfaceLibrary& library : scriptSurface()) {
        const bool base = std::strcmp(library.name, LUA_GNAME) == 0;
        if (base ? listed(library.sandboxed, name)
                 : !library.sandboxed.empty() && std::strcmp(library.name, name) == 0) {
            return true;
        }
    }
    return false;
}

// Removes every field of the table at idx whose key is not a name that keep accepts.
// Clearing a field during the traversal is allowed; it allocates nothing.
template <typename Keep> void keepOnly(lua_State* L, int idx, Keep keep) {
    idx = lua_absindex(L, idx);
    lua_pushnil(L);
    while (lua_next(L, idx) != 0) {
        lua_pop(L, 1);
        // Only a string key is read as one: lua_tostring would turn a number into a
        // string in place and lose the traversal.
        if (lua_type(L, -1) != LUA_TSTRING || !keep(lua_tostring(L, -1))) {
            lua_pushvalue(L, -1);
            lua_pushnil(L);
            lua_rawset(L, idx);
        }
    }
}

// Opens the libraries that scriptSurface() lists for the sandbox (all of them with
// --trusted) and, in the sandbox, takes out each member it does not list.
void openListed(lua_State* L, bool trusted) {
    for (const SurfaceLibrary& library : scriptSurface()) {
        if (!trusted && library.sandboxed.empty()) continue;
        luaL_requiref(L, library.name, library.open, 1);
        lua_pop(L, 1);
    }
    if (trusted) return;
    for (const SurfaceLibrary& library : scriptSurface()) {
        if (library.sandboxed.empty() || std::strcmp(library.name, LUA_GNAME) == 0) continue;
        lua_getglobal(L, library.name);
        keepOnly(L, -1, [&library](const char* name) { return listed(library.sandboxed, name); });
        lua_pop(L, 1);
    }
    lua_pushglobaltable(L);
    keepOnly(L, -1, sandboxedGlobal);
    lua_pop(L, 1);
}

// Installs kGuarded, and the function that undoes what a request changed, which keeps
// the original randomseed to draw a fresh seed.
void installGuards(lua_State* L, SandboxState& state) {
    lua_getglobal(L, LUA_MATHLIBNAME);
    lua_pushlightuserdata(L, &state);
    lua_getfield(L, -2, "randomseed");
    lua_pushcclosure(L, restore, 2);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kRestoreKey);
    lua_pop(L, 1);
    for (const Guarded& guarded : kGuarded) {
        if (std::strcmp(guarded.library, LUA_GNAME) == 0) {
            lua_pushglobaltable(L);
        } else {
            lua_getglobal(L, guarded.library);
        }
        wrap(L, -1, guarded.name, guarded.wrapper, guarded.needsState ? &state : nullptr);
        lua_pop(L, 1);
    }
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
    openListed(L, trusted);
    if (!trusted) installGuards(L, state);
    lua_pushcfunction(L, print);
    lua_setglobal(L, "print");
    if (!trusted) protectStandardLibrary(L);
}

int restoreSandbox(lua_State* L) {
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kRestoreKey);
    if (lua_isnil(L, -1)) return 0;
    lua_call(L, 0, 0);
    return 0;
}

} // namespace qel
