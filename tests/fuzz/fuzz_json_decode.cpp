// fuzz_json_decode.cpp - libFuzzer target for json.decode: arbitrary bytes as JSON text.
// Decoding must answer a value or an error, never crash or leak (the sanitizers see
// to that), and whatever it answers must encode to text that decodes again.
#include <cstdint>

#include "fuzz_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static qel::fuzz::JsonState json;
    lua_State* L = json.state();
    lua_pushlstring(L, reinterpret_cast<const char*>(data), size);
    if (json.convert("decode")) {
        json.roundTrip();
    }
    lua_gc(L, LUA_GCCOLLECT);
    return 0;
}
