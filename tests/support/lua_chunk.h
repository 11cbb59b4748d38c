// lua_chunk.h - a real Lua 5.4 binary chunk, for the tests that the service refuses
// bytecode; made by the Lua library itself so that it is never out of date.
#pragma once

#include <string>

// The bytecode of `return 1`; empty if Lua could not make it.
std::string bytecodeReturningOne();
