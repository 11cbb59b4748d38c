// sandbox_surface.cpp - the list behind sandbox_surface.h. The sandbox leaves out what
// reaches files, processes, the environment or native code, and what runs or makes
// bytecode, which a script could forge; the rest is Lua 5.4's as released, and json
// (lua-cjson's encode, decode and null).
#include "sandbox_surface.h"

#include <lua.hpp>

extern "C" int luaopen_cjson(lua_State* L); // third_party/lua-cjson-2.1.0, patched

namespace qel {

namespace {

// lua-cjson's module, of which scripts get the two conversions and null: its
// configuration functions would let one request change how the next one converts. Its
// settings live in the module instance, which only these closures reach.
int openJson(lua_State* L) {
    luaopen_cjson(L);
    lua_createtable(L, 0, 3);
    for (const char* name : {"decode", "encode", "null"}) {
        lua_getfield(L, -2, name);
        lua_setfield(L, -2, name);
    }
    return 1;
}

// Read only through scriptSurface(), never while static objects are initialized.
const std::vector<SurfaceLibrary> kSurface = {
    {LUA_GNAME,
     luaopen_base,
     {"_G",       "_VERSION", "assert", "collectgarbage", "error",  "getmetatable",
      "ipairs",   "load",     "next",   "pairs",          "pcall",  "print",
      "rawequal", "rawget",   "rawlen", "rawset",         "select", "setmetatable",
      "tonumber", "tostring", "type",   "warn",           "xpcall"},
     // Files; require is the package library's, set as a global when it opens.
     {"dofile", "loadfile", "require"}},
    {LUA_LOADLIBNAME,
     luaopen_package,
     {},
     {"config", "cpath", "loaded", "loadlib", "path", "preload", "searchers", "searchpath"}},
    {LUA_COLIBNAME,
     luaopen_coroutine,
     {"close", "create", "isyieldable", "resume", "running", "status", "wrap", "yield"},
     {}},
    {LUA_TABLIBNAME,
     luaopen_table,
     {"concat", "insert", "move", "pack", "remove", "sort", "unpack"},
     {}},
    {LUA_IOLIBNAME,
     luaopen_io,
     {},
     {"close", "flush", "input", "lines", "open", "output", "popen", "read", "stderr", "stdin",
      "stdout", "tmpfile", "type", "write"}},
    // The clock and the calendar only.
    {LUA_OSLIBNAME,
     luaopen_os,
     {"clock", "date", "difftime", "time"},
     {"execute", "exit", "getenv", "remove", "rename", "setlocale", "tmpname"}},
    // dump makes bytecode. The string table is also the strings' __index, so leaving
    // it out removes ("").dump too.
    {LUA_STRLIBNAME,
     luaopen_string,
     {"byte", "char", "find", "format", "gmatch", "gsub", "len", "lower", "match", "pack",
      "packsize", "rep", "reverse", "sub", "unpack", "upper"},
     {"dump"}},
    // With the 5.3 compatibility functions (atan2, cosh, ...) the build enables.
    {LUA_MATHLIBNAME,
     luaopen_math,
     {"abs",   "acos", "asin",  "atan",  "atan2",      "ceil",       "cos",
      "cosh",  "deg",  "exp",   "floor", "fmod",       "frexp",      "huge",
      "ldexp", "log",  "log10", "max",   "maxinteger", "min",        "mininteger",
      "modf",  "pi",   "pow",   "rad",   "random",     "randomseed", "sin",
      "sinh",  "sqrt", "tan",   "tanh",  "tointeger",  "type",       "ult"},
     {}},
    {LUA_UTF8LIBNAME,
     luaopen_utf8,
     {"char", "charpattern", "codepoint", "codes", "len", "offset"},
     {}},
    {LUA_DBLIBNAME,
     luaopen_debug,
     {},
     {"debug", "gethook", "getinfo", "getlocal", "getmetatable", "getregistry", "getupvalue",
      "getuservalue", "setcstacklimit", "sethook", "setlocal", "setmetatable", "setupvalue",
      "setuservalue", "traceback", "upvalueid", "upvaluejoin"}},
    // Not a standard library: lua-cjson's JSON conversions, opened last.
    {"json", openJson, {"decode", "encode", "null"}, {}},
};

} // namespace

const std::vector<SurfaceLibrary>& scriptSurface() {
    return kSurface;
}

} // namespace qel
