// sandbox.h - the library set a request sees: by default only what cannot reach
// files, processes, the environment or native code; everything with --trusted. In
// both, pattern matching is charged to the request's budget.
#pragma once

struct lua_State;
typedef int (*lua_CFunction)(lua_State* L);

namespace qel {

class RunBudget;

// Opens the libraries into L's globals and installs print as the global print. The
// pattern functions of the string library charge their work to budget, which must
// outlive L. Must run in protected mode (it allocates).
void openLibraries(lua_State* L, bool trusted, lua_CFunction print, RunBudget& budget);

} // namespace qel
