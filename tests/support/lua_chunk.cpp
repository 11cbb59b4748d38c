// lua_chunk.cpp - bytecodeReturningOne through luaL_loadstring and lua_dump.
#include "lua_chunk.h"

#include <lua.hpp>

std::string bytecodeReturningOne() {
    std::string bytes;
    lua_State* L = luaL_newstate();
    if (L == nullptr) return bytes;
    if (luaL_loadstring(L, "return 1") == LUA_OK) {
        lua_dump(
            L,
            [](lua_State*, const void* p, size_t size, void* ud) {
                static_cast<std::string*>(ud)->append(static_cast<const char*>(p), size);
                return 0;
            },
            &bytes, 0);
    }
    lua_close(L);
    return bytes;
}
