// sandbox.h - the library set a request sees: by default only what cannot reach
// files, processes, the environment or native code; everything with --trusted.
#pragma once

struct lua_State;
typedef int (*lua_CFunction)(lua_State* L);

namespace qel {

// Opens the libraries into L's globals and installs print as the global print.
// Must run in protected mode (it allocates).
void openLibraries(lua_State* L, bool trusted, lua_CFunction print);

} // namespace qel
