// preload.h - the files that --preload names: read and compiled once per worker process,
// then run in every Lua state the worker makes, before that state serves. Reading is
// the one step that touches the files, so a reload is a new Preload read again.
#pragma once

#include <string>
#include <vector>

struct lua_State;

namespace qel {

class Preload {
  public:
    // Reads and compiles each file, in order. On failure, error says which file and why
    // ("app.lua:3: ..." for a syntax error), and the files read before stay as they were.
    bool read(const std::vector<std::string>& files, std::string& error);

    bool empty() const { return chunks_.empty(); }

    // Runs every chunk in L, in order, and raises the first error; running names the
    // file being run meanwhile. Protected mode only.
    void run(lua_State* L, const char*& running) const;

  private:
    struct Chunk {
        std::string name;     // the chunk name errors show: the file's own name
        std::string bytecode; // compiled with its debug information, for line numbers
    };
    std::vector<Chunk> chunks_;
};

} // namespace qel
