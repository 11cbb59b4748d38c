// sandbox.h - the library set a request sees: by default only what cannot reach files,
// processes, the environment or native code, made read-only so that no request changes
// what a later one gets; everything with --trusted. In both, the string, table and
// coroutine libraries charge their work to the running request.
#pragma once

struct lua_State;
typedef int (*lua_CFunction)(lua_State* L);

namespace qel {

// What a request changed that must not outlive it; set by the sandbox's wrappers.
struct SandboxState {
    bool collectorChanged = false; // collectgarbage("stop"), "generational", ...
    bool reseeded = false;         // math.randomseed
    bool dirty() const { return collectorChanged || reseeded; }
};

// Opens the libraries into L's globals and installs print as the global print. state
// must outlive L. Must run in protected mode (it allocates).
void openLibraries(lua_State* L, bool trusted, lua_CFunction print, SandboxState& state);

// Undoes what the last request did to the collector and the random generator. Run in
// protected mode after a request for which state.dirty() holds.
int restoreSandbox(lua_State* L);

} // namespace qel
