// sandbox_surface.h - every name a script can reach from its globals: the libraries, their
// members and the base functions, with what the sandbox keeps of each and what only
// --trusted adds. The sandbox is built from this list, and its test compares the list
// with what a script really sees, so nothing new reaches scripts without being listed.
#pragma once

#include <vector>

struct lua_State;
typedef int (*lua_CFunction)(lua_State* L);

namespace qel {

struct SurfaceLibrary {
    // The global the library is reached by. The base library's is "_G": it is the
    // globals table itself, so its members are globals.
    const char* name;
    lua_CFunction open;
    // Members a sandboxed script sees; a library with none is not opened in the sandbox.
    std::vector<const char*> sandboxed;
    // Members that only --trusted scripts see.
    std::vector<const char*> trustedOnly;
};

// The standard libraries in the order luaL_openlibs opens them, then json.
const std::vector<SurfaceLibrary>& scriptSurface();

} // namespace qel
