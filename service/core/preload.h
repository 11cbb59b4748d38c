// preload.h - the files that --preload names: their bytes read once per generation of
// workers (by the supervisor, which never compiles them), compiled once per worker
// process, then run in every Lua state the worker makes, before that state serves.
#pragma once

#include <string>
#include <vector>

struct lua_State;

namespace qel {

// One --preload file as it was read: the path it was named by, and its bytes.
struct PreloadSource {
    std::string path;
    std::string text;
};

// Reads each file's bytes, in order, and nothing else: no Lua runs. On failure, error
// says "cannot read PATH: reason".
bool readPreloadSources(const std::vector<std::string>& files, std::vector<PreloadSource>& sources,
                        std::string& error);

class Preload {
  public:
    // Reads and compiles each file, in order, as readPreloadSources() and compile().
    bool read(const std::vector<std::string>& files, std::string& error);
    // Compiles each source, in order. On failure, error says which file and why
    // ("app.lua:3: ..." for a syntax error), and what was compiled before stays.
    bool compile(const std::vector<PreloadSource>& sources, std::string& error);

    bool empty() const { return chunks_.empty(); }

    // Runs every chunk in L, in order, and raises the first error; running names the
    // file being run meanwhile. afterEach, when given, runs after each chunk, with
    // running still naming it, so that what it raises is put on that file. Protected
    // mode only.
    void run(lua_State* L, const char*& running, void (*afterEach)(lua_State*) = nullptr) const;

  private:
    struct Chunk {
        std::string name;     // the chunk name errors show: the file's own name
        std::string bytecode; // compiled with its debug information, for line numbers
    };
    std::vector<Chunk> chunks_;
};

} // namespace qel
