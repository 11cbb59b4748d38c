// hand_off_parts.h - what the interleaving test's world is made of: the requests' records,
// the words a worker may forge, the steps either side or ZeroMQ's thread may take, and a
// worker's real reply areas and arena, cleared for each run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <sys/mman.h>
#include <vector>

#include "hand_off.h"
#include "reply_areas.h"

namespace handoff {

using qel::Control;
using qel::ReplyAreas;

constexpr int kRequests = 3;          // the most a world is given
constexpr int kFirstArenaRequest = 1; // from here on a reply is one large string, in the arena
constexpr std::size_t kAreaSize = 64 << 10;
constexpr std::size_t kArenaSize = 1 << 20;
constexpr std::uint64_t kArenaOffset = 4096;

// What a reply holds: whose it is, and which run built it.
struct Record {
    std::uint32_t id;
    std::uint32_t sequence;
};

// A worker writing a value of its choice into a word of the block it shares.
struct Forgery {
    const char* what;
    std::function<void(Control&)> write;
};

inline std::vector<Forgery> forgeries() {
    std::vector<Forgery> all;
    for (std::uint32_t value : {std::uint32_t{Control::kIdle}, std::uint32_t{Control::kRequest},
                                std::uint32_t{Control::kReply}, std::uint32_t{77}})
        all.push_back({"state", [value](Control& c) { c.state.store(value); }});
    for (std::uint32_t value : {std::uint32_t{Control::kEmpty}, std::uint32_t{Control::kPosted},
                                std::uint32_t{Control::kTaken}})
        all.push_back({"next", [value](Control& c) { c.next.store(value); }});
    for (int area = 0; area < 2; ++area) {
        for (std::uint64_t size : {std::uint64_t{1} << 40, UINT64_MAX, kAreaSize + 1})
            all.push_back({"replySize", [=](Control& c) { c.replySize[area] = size; }});
        all.push_back({"replyInArena", [=](Control& c) { c.replyInArena[area] = 1; }});
        for (std::uint64_t at : {UINT64_MAX - 2, std::uint64_t{kArenaSize - 4}})
            all.push_back({"replyOffset", [=](Control& c) {
                               c.replyInArena[area] = 1;
                               c.replyOffset[area] = at;
                           }});
    }
    all.push_back({"sequence", [](Control& c) { c.sequence = UINT32_MAX; }});
    all.push_back({"areas", [](Control& c) { c.requestArea = c.replyArea = UINT32_MAX; }});
    all.push_back({"ahead", [](Control& c) { c.aheadRequestArea = c.aheadReplyArea = 7; }});
    all.push_back({"sizes", [](Control& c) { c.requestSize = c.aheadSize = UINT64_MAX; }});
    return all;
}

enum Action : std::uint8_t {
    WorkerStep,
    Dispatch,
    PostAhead,
    Collect,
    TakeReplyInPlace,
    TakeReplyCopied,
    Answered,
    Withdraw,
    ReleaseFirst,
    ReleaseSecond,
    ReleaseArena,
    Die,
    Reap,
    Deadline,
    Sleep,
    Wake,
    Forge, // + the forgery's index
};

inline constexpr const char* kActionNames[] = {"worker step",
                                               "dispatch",
                                               "post ahead",
                                               "collect",
                                               "take reply in place",
                                               "take reply copied",
                                               "answered",
                                               "withdraw",
                                               "release first area",
                                               "release second area",
                                               "release arena",
                                               "worker dies",
                                               "reap",
                                               "deadline",
                                               "supervisor sleeps",
                                               "doorbell wakes it"};

inline std::string nameOf(int action) {
    return action < Forge ? kActionNames[action] : "forge " + std::to_string(action - Forge);
}

enum class Pool : std::uint8_t { Idle, Busy, Replied, Collecting, Down };

// The areas, made once: a world starts from them cleared.
struct Areas {
    ReplyAreas replies = ReplyAreas::create(kAreaSize, kArenaSize);
    char* mine[2]; // the worker's mappings of the two reply areas
    char* arena;   // and of the arena, which the supervisor maps read-only

    Areas() {
        for (int i = 0; i < 2; ++i)
            mine[i] = map(replies.fd(i), kAreaSize);
        arena = map(replies.arenaFd(), kArenaSize);
    }
    ~Areas() {
        munmap(mine[0], kAreaSize);
        munmap(mine[1], kAreaSize);
        munmap(arena, kArenaSize);
    }
    static char* map(int fd, std::size_t size) {
        void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        EXPECT_NE(at, MAP_FAILED);
        return static_cast<char*>(at);
    }
    void clear() {
        for (int i = 0; i < 2; ++i) {
            replies.built()->held = false;
            replies.advance();
            std::memset(mine[i], 0, sizeof(Record));
        }
        if (replies.current() != 0) replies.advance();
        replies.arena()->held = false;
        std::memset(arena + kArenaOffset, 0, sizeof(Record));
    }
    bool held(std::uint32_t area) {
        if (replies.current() == area) return replies.built()->held;
        return replies.otherHeld();
    }
};

// The doorbell: rings since the world began.
inline int rings = 0;
inline void ring() {
    ++rings;
}

} // namespace handoff
