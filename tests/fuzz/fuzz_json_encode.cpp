// fuzz_json_encode.cpp - libFuzzer target for json.encode: the bytes are a small program
// that builds a Lua value (shared and self-containing tables, sparse and huge keys, any
// number, long strings, unencodable values); text that encodes must decode again.
#include <cstdint>
#include <cstring>

#include "fuzz_json.h"

namespace {

struct Program {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;

    bool done() const { return at >= size; }
    std::uint8_t byte() { return done() ? 0 : data[at++]; }
    std::uint64_t word() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i)
            value = value << 8 | byte();
        return value;
    }
};

// Sets t[k] = v for the table t, key k and value v on top (v on top), popping k and v;
// pops them without setting when t is not a table or k cannot be a key.
void store(lua_State* L) {
    const bool keyable = lua_type(L, -2) != LUA_TNUMBER || lua_isinteger(L, -2) ||
                         lua_tonumber(L, -2) == lua_tonumber(L, -2);
    if (lua_istable(L, -3) && !lua_isnil(L, -2) && keyable) {
        lua_rawset(L, -3);
    } else {
        lua_pop(L, 2);
    }
}

// Runs the program in protected mode, since every step may allocate; answers the first
// value it made.
int build(lua_State* L) {
    Program& program = *static_cast<Program*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    lua_newtable(L);
    while (!program.done()) {
        // At least the root stays, and a store has its table, key and value.
        if (!lua_checkstack(L, 4) || lua_gettop(L) > 200) lua_settop(L, 1);
        const int top = lua_gettop(L);
        switch (program.byte() % 12) {
        case 0:
            lua_newtable(L);
            break;
        case 1: {
            const std::size_t length = std::size_t{program.byte()} * (program.byte() % 8u + 1);
            const std::uint8_t fill = program.byte();
            luaL_Buffer b;
            char* text = luaL_buffinitsize(L, &b, length);
            std::memset(text, fill, length);
            luaL_pushresultsize(&b, length);
            break;
        }
        case 2:
            lua_pushinteger(L, static_cast<lua_Integer>(program.word()));
            break;
        case 3: {
            const std::uint64_t bits = program.word();
            double number = 0;
            std::memcpy(&number, &bits, sizeof number);
            lua_pushnumber(L, number);
            break;
        }
        case 4:
            lua_pushboolean(L, program.byte() & 1);
            break;
        case 5:
            lua_pushlightuserdata(L, nullptr);
            break; // json.null
        case 6:
            lua_pushvalue(L, 1 + program.byte() % top);
            break; // shared or cyclic
        case 7:    // t[small integer] = v: arrays, sparse or not
            lua_pushinteger(L, program.byte());
            lua_insert(L, -2);
            if (top >= 2) store(L);
            break;
        case 8: // t["k" .. n] = v: objects
            lua_pushfstring(L, "k%d", program.byte());
            lua_insert(L, -2);
            if (top >= 2) store(L);
            break;
        case 9: // t[any integer] = v: keys past int
            lua_pushinteger(L, static_cast<lua_Integer>(program.word()));
            lua_insert(L, -2);
            if (top >= 2) store(L);
            break;
        case 10:
            lua_pushcfunction(L, build);
            break; // cannot be encoded
        default:
            lua_pushinteger(L, program.byte());
            break;
        }
    }
    lua_settop(L, 1);
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static qel::fuzz::JsonState json;
    lua_State* L = json.state();
    Program program{data, size};
    lua_pushcfunction(L, build);
    lua_pushlightuserdata(L, &program);
    if (lua_pcall(L, 1, 1, 0) == LUA_OK) {
        json.roundTrip();
    } else {
        lua_pop(L, 1);
    }
    lua_gc(L, LUA_GCCOLLECT);
    return 0;
}
