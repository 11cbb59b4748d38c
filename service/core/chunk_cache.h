// chunk_cache.h - compiled chunks of one Lua state, keyed by their exact script text,
// so that a script sent again is not parsed again. Bounded in entries and bytes,
// least recently used first out.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

struct lua_State;

namespace qel {

class ChunkCache {
  public:
    // Room for the distinct scripts a host sends again and again, while a stream of
    // scripts that never repeat passes through without holding much.
    static constexpr std::size_t kMaxEntries = 256;
    static constexpr std::size_t kMaxBytes = std::size_t{1} << 20; // sum of script sizes
    // Larger scripts are compiled every time: one of them would push out many others.
    static constexpr std::size_t kMaxScript = std::size_t{64} << 10;

    ChunkCache();
    ChunkCache(const ChunkCache&) = delete;
    ChunkCache& operator=(const ChunkCache&) = delete;

    static bool cacheable(std::string_view text) { return text.size() <= kMaxScript; }

    // When text is cached: pushes its chunk, bound to a fresh _ENV cell that holds
    // the globals table, exactly as a new load would be, and returns true. Otherwise
    // pushes nothing and returns false. Must run in protected mode (it may allocate).
    bool push(lua_State* L, std::string_view text);

    // Remembers the chunk on top of the stack (left there) under text. Protected mode.
    void insert(lua_State* L, std::string_view text);

    // Forgets every chunk. The entries' registry slots are released in L.
    void clear(lua_State* L);
    // Forgets every entry without touching a state, for when the state is gone.
    void reset();

  private:
    struct Entry {
        std::string text;
        int ref;
    };
    using List = std::list<Entry>;

    void evictOldest(lua_State* L);

    List entries_; // most recently used first
    std::unordered_map<std::string_view, List::iterator> index_;
    std::size_t bytes_ = 0;
    int envFactory_; // LUA_NOREF until first use
};

} // namespace qel
