// preload.cpp - compiling the --preload files to bytecode once, and loading that bytecode
// in each new state. Requests never reach this loader: they stay text-only.
#include "preload.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <lua.hpp>
#include <memory>
#include <new>
#include <utility>

namespace qel {

namespace {

struct StateCloser {
    void operator()(lua_State* L) const { lua_close(L); }
};

// lua_dump's writer; no C++ exception may cross the Lua frames it is called from.
int appendBytes(lua_State*, const void* bytes, std::size_t size, void* ud) {
    try {
        static_cast<std::string*>(ud)->append(static_cast<const char*>(bytes), size);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

// The name after the last '/': errors a request may see then show no server paths.
std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// A folder opens as a file and fails only when read, which this sees too.
bool readFile(const std::string& path, std::string& text, std::string& error) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (file) {
        char block[4096];
        std::size_t got = 0;
        while ((got = std::fread(block, 1, sizeof block, file.get())) > 0)
            text.append(block, got);
        if (std::ferror(file.get()) == 0) return true;
    }
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool readPreloadSources(const std::vector<std::string>& files, std::vector<PreloadSource>& sources,
                        std::string& error) {
    std::vector<PreloadSource> read;
    for (const std::string& path : files) {
        PreloadSource source{path, {}};
        if (!readFile(path, source.text, error)) return false;
        read.push_back(std::move(source));
    }
    sources = std::move(read);
    return true;
}

bool Preload::read(const std::vector<std::string>& files, std::string& error) {
    std::vector<PreloadSource> sources;
    return readPreloadSources(files, sources, error) && compile(sources, error);
}

bool Preload::compile(const std::vector<PreloadSource>& sources, std::string& error) {
    if (sources.empty()) {
        chunks_.clear();
        return true;
    }
    // A plain state, only for the compiler: nothing runs in it.
    const std::unique_ptr<lua_State, StateCloser> compiler(luaL_newstate());
    if (!compiler) {
        error = "cannot create a Lua state to compile the preloaded files";
        return false;
    }
    lua_State* L = compiler.get();
    std::vector<Chunk> chunks;
    for (const PreloadSource& source : sources) {
        std::string text = source.text;
        Chunk chunk{baseName(source.path), {}};
        // Like the stand-alone interpreter, a first line starting with '#' is skipped,
        // its newline kept so that line numbers stay the file's.
        if (!text.empty() && text.front() == '#') text.erase(0, text.find('\n'));
        const std::string chunkName = "@" + chunk.name;
        if (luaL_loadbufferx(L, text.data(), text.size(), chunkName.c_str(), "t") != LUA_OK ||
            lua_dump(L, appendBytes, &chunk.bytecode, 0) != 0) {
            const char* message = lua_tostring(L, -1);
            error = message != nullptr && lua_type(L, -1) == LUA_TSTRING
                        ? message
                        : "cannot compile " + chunk.name;
            return false;
        }
        lua_settop(L, 0);
        chunks.push_back(std::move(chunk));
    }
    chunks_ = std::move(chunks);
    return true;
}

void Preload::run(lua_State* L, const char*& running, void (*afterEach)(lua_State*)) const {
    for (const Chunk& chunk : chunks_) {
        running = chunk.name.c_str();
        if (luaL_loadbufferx(L, chunk.bytecode.data(), chunk.bytecode.size(), chunk.name.c_str(),
                             "b") != LUA_OK) {
            lua_error(L);
        }
        lua_call(L, 0, 0);
        if (afterEach != nullptr) afterEach(L);
    }
}

} // namespace qel
