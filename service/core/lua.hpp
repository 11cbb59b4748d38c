// lua.hpp - Lua's C headers for C++ code, as Lua's release tarball ships it: Lua is
// compiled as C, so its declarations need C linkage.
#pragma once

extern "C" {
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
}
