// fuzz_json.h - what the json fuzz targets share: a Lua state on the service's memory
// budget with lua-cjson opened, protected calls of its functions, and the round trip
// every value that encodes must survive.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <lua.hpp>

#include "request_limits.h"

extern "C" int luaopen_cjson(lua_State* L);

namespace qel::fuzz {

class JsonState {
  public:
    // Room for a few MiB of text and what decoding it makes, so the memory errors of
    // both the module's buffers and Lua's own allocations are reached.
    static constexpr std::size_t kMemory = std::size_t{16} << 20;

    JsonState() : L_(lua_newstate(&MemoryBudget::allocate, &budget_)) {
        if (L_ == nullptr) fail("cannot make a Lua state");
        lua_pushcfunction(L_, openModule);
        if (lua_pcall(L_, 0, 1, 0) != LUA_OK) fail("cannot open the module");
        module_ = lua_gettop(L_);
    }
    ~JsonState() { lua_close(L_); }
    JsonState(const JsonState&) = delete;
    JsonState& operator=(const JsonState&) = delete;

    lua_State* state() const { return L_; }

    // Calls module function name on the value on top, replacing it with the result;
    // false, with the error popped, when the function raised one.
    bool convert(const char* name) {
        lua_getfield(L_, module_, name);
        lua_insert(L_, -2);
        if (lua_pcall(L_, 1, 1, 0) == LUA_OK) return true;
        if (lua_type(L_, -1) != LUA_TSTRING) fail("an error that is not a message");
        outOfMemory_ = std::strcmp(lua_tostring(L_, -1), "not enough memory") == 0;
        lua_pop(L_, 1);
        return false;
    }

    // The value on top encodes only to text that decodes, memory allowing; pops it.
    void roundTrip() {
        if (convert("encode") && !convert("decode") && !outOfMemory_) {
            fail("encoded text does not decode");
        }
        lua_settop(L_, module_);
    }

    [[noreturn]] static void fail(const char* what) {
        std::fprintf(stderr, "fuzz_json: %s\n", what);
        std::abort();
    }

  private:
    static int openModule(lua_State* L) { return luaopen_cjson(L); }

    MemoryBudget budget_{kMemory};
    lua_State* L_;
    int module_ = 0;
    bool outOfMemory_ = false;
};

} // namespace qel::fuzz
