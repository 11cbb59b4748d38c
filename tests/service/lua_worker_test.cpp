// lua_worker_test.cpp - the request core without any transport: reply format, state,
// the chunk cache's semantics, guards and sandbox. Each behaviour's full table is here;
// the service's own tests keep one case of each, end to end.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "arena.h"
#include "lua_chunk.h"
#include "lua_worker.h"
#include "preload.h"
#include "sandbox_surface.h"
#include "sanitizers.h"

using qel::Limits;
using qel::LuaWorker;

namespace {

bool isError(const std::string& reply) {
    return reply.rfind("error: ", 0) == 0;
}

Limits smallLimits() {
    Limits limits;
    limits.maxInstructions = 200000;
    limits.maxSeconds = 5;
    limits.maxMemory = std::size_t{16} << 20;
    return limits;
}

using Names = std::set<std::string>;

// Every name a script reaches from its globals and one level into each table they hold:
// "name" for a global, "library.member" for a member.
Names visibleSurface(LuaWorker& worker) {
    std::istringstream listing(
        worker.run("local names = {} for k, v in pairs(_G) do names[#names + 1] = tostring(k) "
                   "if type(v) == 'table' and v ~= _G then for m in pairs(v) do "
                   "names[#names + 1] = tostring(k) .. '.' .. tostring(m) end end end "
                   "return table.concat(names, ' ')"));
    return Names(std::istream_iterator<std::string>(listing), {});
}

// The same names as scriptSurface() lists them.
Names listedSurface(bool trusted) {
    Names names;
    for (const qel::SurfaceLibrary& library : qel::scriptSurface()) {
        const bool base = std::strcmp(library.name, "_G") == 0;
        const std::string prefix = base ? "" : std::string(library.name) + ".";
        for (const auto* list : {&library.sandboxed, &library.trustedOnly}) {
            if (list == &library.trustedOnly && !trusted) break;
            for (const char* member : *list)
                names.insert(prefix + member);
        }
        if (!base && (trusted || !library.sandboxed.empty())) names.insert(library.name);
    }
    return names;
}

std::string without(const Names& names, const Names& others) {
    std::string rest;
    for (const std::string& name : names) {
        if (others.count(name) == 0) rest += name + " ";
    }
    return rest;
}

// A --preload file named name.lua holding text, in the test's temporary folder.
std::string preloadFile(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name + ".lua";
    std::ofstream(path) << text;
    return path;
}

// The files read and compiled; the error when they cannot be.
std::string readPreload(qel::Preload& preload, const std::vector<std::string>& files) {
    std::string error;
    return preload.read(files, error) ? "" : error;
}

} // namespace

TEST(LuaWorkerReply, ReturnValuesAreTabSeparatedWithoutTrailingNewline) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run("return 6*7"), "42");
    EXPECT_EQ(worker.run("return 1, 'two', true, nil, 0.5"), "1\ttwo\ttrue\tnil\t0.5");
    EXPECT_EQ(worker.run("return nil"), "nil");
    EXPECT_EQ(worker.run("return setmetatable({}, {__tostring = function() return 'T' end})"), "T");
    EXPECT_TRUE(worker.lastOk());
}

TEST(LuaWorkerReply, PrintIsCapturedBeforeTheReturnValues) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run("print('a', 1, nil) print() print(2.5) return 'r', 3"),
              "a\t1\tnil\n\n2.5\nr\t3");
    EXPECT_EQ(worker.run("print('only')"), "only\n");
}

TEST(LuaWorkerReply, EmptyChunkAnswersAnEmptyMessage) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run(""), "");
    EXPECT_EQ(worker.run("local x = 1"), "");
    EXPECT_EQ(worker.run("return"), "");
}

TEST(LuaWorkerErrors, ARequestThatWasNotReadAnswersAnErrorNotASuccess) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run("return 1"), "1");
    EXPECT_EQ(worker.refuse("the request could not be read"),
              "error: the request could not be read");
    EXPECT_FALSE(worker.lastOk());
    EXPECT_EQ(worker.run("return 2"), "2");
    EXPECT_TRUE(worker.lastOk());
}

TEST(LuaWorkerErrors, RuntimeAndSyntaxErrorsAnswerErrorAndTheStateStaysUsable) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run("error('boom')"), "error: script:1: boom");
    EXPECT_FALSE(worker.lastOk());
    EXPECT_EQ(worker.run("error('plain', 0)"), "error: plain");
    EXPECT_EQ(worker.run("error({})"), "error: (error object is a table value)");
    EXPECT_EQ(worker.run("error(setmetatable({}, {__tostring = function() return 'obj' end}))"),
              "error: obj");
    const std::string syntax = worker.run("return +");
    EXPECT_EQ(syntax.rfind("error: script:1:", 0), 0u) << syntax;
    // Output printed before an error is not part of the error reply.
    EXPECT_EQ(worker.run("print('lost') error('late', 0)"), "error: late");
    EXPECT_EQ(worker.run("return 1"), "1");
    EXPECT_TRUE(worker.lastOk());
}

TEST(LuaWorkerState, GlobalsPersistUnlessFresh) {
    LuaWorker persistent{Limits{}};
    EXPECT_EQ(persistent.run("x = 41"), "");
    EXPECT_EQ(persistent.run("return x + 1"), "42");

    Limits fresh;
    fresh.fresh = true;
    LuaWorker worker{fresh};
    EXPECT_EQ(worker.run("x = 41"), "");
    EXPECT_EQ(worker.run("return x"), "nil");
}

// What a state may keep between requests (--max-state, by default half of
// --max-memory): past it after a full collection the state is rebuilt and the reply says
// so, and every request then has the rest of --max-memory. The limits are 16 MiB and
// 8 MiB; each table of strings takes about 1 MiB per entry, and 2 MiB more while one
// is being made. A full collection leaves the next cycle of Lua's own collector at
// twice the heap, so no garbage goes before these requests end.
TEST(LuaWorkerState, WhatAStateKeepsIsBoundedSoEveryRequestHasTheRest) {
    const std::string gone =
        "; its worker was replaced, so the globals of earlier requests are gone";
    // t holds n MiB in a global, or (need) in a local that is garbage afterwards.
    auto park = [](int n) {
        return "t = {} for i = 1, " + std::to_string(n) + " do t[i] = ('x'):rep(1 << 20) .. i end ";
    };
    auto need = [](int n) {
        return "local t = {} for i = 1, " + std::to_string(n) +
               " do t[i] = ('y'):rep(1 << 20) .. i end return #t";
    };
    enum class Mode { Default, Trusted, Fresh, Unbound };
    struct Step {
        std::string script; // empty: the idle collection
        std::string reply;
    };
    struct Case {
        const char* what;
        Mode mode;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"a state left past the bound is rebuilt, and every request has the rest again",
         Mode::Default,
         {{park(12) + "return #t", "12" + gone}, {"return t", "nil"}, {need(6), "6"}}},
        {"an error reply says so after its message",
         Mode::Default,
         {{park(12) + "error('boom', 0)", "error: boom" + gone}, {"return t", "nil"}}},
        {"a state within the bound keeps its globals",
         Mode::Default,
         {{park(6) + "return #t", "6"}, {"return #t", "6"}}},
        {"garbage past the bound is collected, not a reason to rebuild",
         Mode::Default,
         {{"x = 1 " + need(12), "12"}, {"return x", "1"}}},
        {"reply room kept between requests leaves the rest to the next request",
         Mode::Default,
         {{"return ('r'):rep(3 << 20)", std::string(std::size_t{3} << 20, 'r')},
          {park(7) + "return #t", "7"},
          {need(5), "5"},
          {"return #t", "7"}}},
        {"a state kept well within the bound is collected each time garbage takes it past",
         Mode::Default,
         {{park(4) + "local g = ('z'):rep(5 << 20) return #t", "4"},
          {"local g = ('z'):rep(5 << 20) return #t", "4"},
          {"local g = ('z'):rep(5 << 20) return #t", "4"}}},
        {"a state kept near the bound is rebuilt, not collected after every request",
         Mode::Default,
         {{park(6) + "local g = ('z'):rep(3 << 20) return #t", "6"},
          {"local g = ('z'):rep(2 << 20) return #t", "6" + gone}}},
        {"--trusted is bound as well", Mode::Trusted, {{park(12) + "return #t", "12" + gone}}},
        {"a finalizer that fills the state in an idle collection",
         Mode::Trusted,
         {{"x = 1 setmetatable({}, {__gc = function() " + park(12) + "end}) return x", "1"},
          {"", ""},
          {"return x, t", "nil\tnil" + gone},
          {"return x", "nil"}}},
        {"--fresh states end with their request anyway",
         Mode::Fresh,
         {{park(12) + "return #t", "12"}, {"return t", "nil"}}},
        {"--max-state 0 sets no bound",
         Mode::Unbound,
         {{park(12) + "return #t", "12"}, {"return #t", "12"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Limits limits;
        limits.maxSeconds = 10;
        limits.maxMemory = std::size_t{16} << 20;
        limits.trusted = c.mode == Mode::Trusted;
        limits.fresh = c.mode == Mode::Fresh;
        if (c.mode == Mode::Unbound) limits.maxState = 0;
        LuaWorker worker{limits};
        for (const Step& step : c.steps) {
            if (step.script.empty()) {
                worker.collect();
            } else {
                const std::string reply = worker.run(step.script);
                EXPECT_TRUE(reply == step.reply)
                    << step.script << "\nanswered " << reply.substr(0, 200);
            }
        }
    }
}

TEST(LuaWorkerIsolation, TheStandardLibraryIsReadOnlyAndScriptGlobalsPersist) {
    LuaWorker worker{Limits{}};
    const char* const poison[] = {
        "print = nil",
        "tostring = nil",
        "type = 1",
        "pcall = nil",
        "load = nil",
        "ipairs = nil",
        "function error() end",
        "_G.print = nil",
        "_ENV.tostring = nil",
        "math = {}",
        "string.rep = nil",
        "string.format = nil",
        "math.floor = nil",
        "table.insert = nil",
        "coroutine.wrap = nil",
        "utf8.char = nil",
        "os.time = nil",
        "getmetatable('').__index = {}",
        "getmetatable('').__tostring = tostring",
        "getmetatable('').__add = nil",
        "rawset(_G, 'print', nil)",
        "rawset(string, 'rep', nil)",
        "rawset(getmetatable(''), '__index', {})",
        "setmetatable(_G, nil)",
        "setmetatable(string, {})",
        "local _, t = pairs(string) t.rep = nil",
        // Every other way to a write: the table library, a __newindex chain, another
        // environment, a coroutine, integer and new keys, the metatable of a metatable.
        "table.insert(string, 'x')",
        "table.move({print}, 1, 1, 1, math)",
        "table.remove(string)",
        "rawset(math, 1, 1)",
        "rawset(_G, 'string', {})",
        "math.newfield = 1",
        "setmetatable({}, {__newindex = string}).rep = 1",
        "load('rep = 1', 'x', 't', string)()",
        "load('print = 1', 'x', 't', _G)()",
        "coroutine.wrap(function() string.rep = nil end)()",
        "for k in pairs(math) do math[k] = nil end",
        "local mt = getmetatable('') mt.__index.rep = 1",
        "setmetatable(getmetatable(''), {})",
        "_ENV['_G'] = nil",
        "local e = _ENV _ENV = {} e.print = nil",
        // After the globals table has grown and been rehashed.
        "for i = 1, 3000 do _G['g' .. i] = i end print = nil",
    };
    for (const char* script : poison) {
        const std::string reply = worker.run(script);
        EXPECT_TRUE(reply.find("read-only") != std::string::npos ||
                    reply == "error: cannot change a protected metatable")
            << script << ": " << reply;
    }
    EXPECT_EQ(worker.run("return type(print), tostring(12), ('b'):rep(2), ('%d'):format(3), "
                         "getmetatable('').__index == string, math.floor(2.5), #'abc'"),
              "function\t12\tbb\t3\ttrue\t2\t3");
    // Standard names show in pairs(_G) beside the script's own; argument errors still
    // name the function.
    EXPECT_EQ(worker.run("mine = 1 local std, own = 0, 0 for k in pairs(_G) do "
                         "if k == 'mine' then own = own + 1 elseif k == 'print' then std = 1 end "
                         "end return std, own, select(2, pcall(setmetatable, 1))"),
              "1\t1\tbad argument #1 to 'setmetatable' (table expected, got number)");
    EXPECT_EQ(worker.run("return mine + 41"), "42");
    // Reads are stock Lua's; the script's own globals change and go like any table's.
    EXPECT_EQ(worker.run("return rawget(string, 'rep') == string.rep, next(math) ~= nil, "
                         "getmetatable(string), getmetatable(_G), rawlen(string)"),
              "true\ttrue\tnil\tnil\t0");
    EXPECT_EQ(worker.run("mine = nil dofile = 2 _G[1] = 3 return mine, dofile, #_G"), "nil\t2\t1");
}

TEST(LuaWorkerIsolation, CollectorSettingsAndTheRandomSeedEndWithTheRequest) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run("collectgarbage('stop') collectgarbage('generational') "
                         "return collectgarbage('isrunning')"),
              "false");
    EXPECT_EQ(worker.run("return collectgarbage('isrunning'), collectgarbage('incremental')"),
              "true\tincremental");
    // A seed chosen by one request does not decide what the next one draws.
    EXPECT_EQ(worker.run("math.randomseed(7) first = math.random(1 << 40) "
                         "second = math.random(1 << 40) math.randomseed(7) math.random(1 << 40)"),
              "");
    EXPECT_EQ(worker.run("return math.random(1 << 40) ~= second"), "true");
}

TEST(LuaWorkerCache, RepeatedChunkGetsAFreshEnvironmentEachRun) {
    LuaWorker worker{Limits{}};
    const std::string script = "n = (n or 0) + 1; _ENV = nil";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(worker.run(script), "") << "run " << i;
    EXPECT_EQ(worker.run("return n"), "3");
}

TEST(LuaWorkerCache, ClosuresOfAnEarlierRunKeepTheirOwnEnvironment) {
    LuaWorker worker{Limits{}};
    const std::string script =
        "if not f then f = function() return tag end; _ENV = {tag = 'first'} end";
    EXPECT_EQ(worker.run(script), "");
    EXPECT_EQ(worker.run(script), "");
    EXPECT_EQ(worker.run("tag = 'global'; return f()"), "first");
}

TEST(LuaWorkerCache, RepeatedScriptsRunLikeFreshOnesAcrossEvictions) {
    LuaWorker worker{Limits{}};
    // More distinct scripts than the cache holds, each run several times.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 300; ++i) {
            const std::string script = "local c = (count" + std::to_string(i) +
                                       " or 0) + 1; count" + std::to_string(i) + " = c; return " +
                                       std::to_string(i) + ", c";
            ASSERT_EQ(worker.run(script), std::to_string(i) + "\t" + std::to_string(round + 1));
        }
    }
    // A syntax error is reported every time, never remembered as a success.
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(isError(worker.run("return +")));
}

TEST(LuaWorkerCache, BinaryChunkIsRefusedEvenAfterTheSameCodeRanAsText) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run("return 1"), "1");
    const std::string bytecode = bytecodeReturningOne();
    ASSERT_FALSE(bytecode.empty());
    EXPECT_EQ(worker.run(bytecode), "error: binary chunks are not accepted");
    EXPECT_EQ(worker.run("return 1"), "1");
}

TEST(LuaWorkerGuards, InstructionLimitStopsRunawayLoopsEvenUnderPcall) {
    LuaWorker worker{smallLimits()};
    EXPECT_EQ(worker.run("while true do end"), "error: instruction limit exceeded");
    EXPECT_EQ(worker.run("while true do pcall(function() while true do end end) end"),
              "error: instruction limit exceeded");
    EXPECT_EQ(worker.run("while true do coroutine.resume(coroutine.create(function() while true do "
                         "end end)) end"),
              "error: instruction limit exceeded");
    EXPECT_EQ(worker.run("local s = 0 for i = 1, 1000 do s = s + i end return s"), "500500");
}

TEST(LuaWorkerGuards, TimeLimitStopsALoopOnTheWallClock) {
    Limits limits;
    limits.maxInstructions = 0;
    limits.maxSeconds = 0.2;
    LuaWorker worker{limits};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(worker.run("while true do end"), "error: time limit exceeded");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.19);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(worker.run("return 2"), "2");
}

// The CPU time the calling thread, which runs the worker here, has used.
double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runaways that spend their time inside one library call, or in C code that runs no
// instruction of the request's own thread: the deadline reaches each at the next
// charge of that work, so it is stopped within the limit and a little. What is bounded
// is the CPU the run takes, which a loaded machine cannot stretch as it stretches the
// wall clock: a call that ran on to its end would take far more.
TEST(LuaWorkerGuards, TimeLimitStopsWorkInsideLibraryCalls) {
    constexpr double kLimit = 1.0;
    // Instrumented, one large copy or allocation runs on past the deadline to its end.
    constexpr double kPrompt = qel::kSanitized ? 3.0 : 0.75;
    const char* const kTimeLimit = "error: time limit exceeded";
    const struct {
        const char* what;
        const char* script;
        const char* reply;
    } rows[] = {
        {"message handler after the limit", "xpcall(error, function() while true do end end)",
         kTimeLimit},
        {"table.move of 1e15 elements", "table.move({}, 1, 1e15, 1)", kTimeLimit},
        {"table.insert under a huge __len",
         "table.insert(setmetatable({}, {__len = function() return 1e15 end}), 1, 1)", kTimeLimit},
        {"table.remove under a huge __len",
         "table.remove(setmetatable({}, {__len = function() return 1e15 end}), 1)", kTimeLimit},
        {"table.concat through a C __index",
         "return table.concat(setmetatable({}, {__index = table.concat}), '', 1, 1e15)",
         kTimeLimit},
        {"comparisons of NUL strings in a loop",
         "local z = string.rep('\\0', 16 * 2^20) while true do local _ = z < z end", kTimeLimit},
        // Each comparison takes over half the limit, so the deadline falls inside one.
        {"comparisons that each take most of the limit",
         "local z = string.rep('\\0', 48 * 2^20) return z < z, z < z, z < z, z < z", kTimeLimit},
        {"sort of NUL strings",
         "local z = string.rep('\\0', 64 * 2^20) local t = {} for i = 1, 16 do t[i] = z end "
         "table.sort(t)",
         kTimeLimit},
        {"the collector in a loop",
         "local t = {} for i = 1, 2e6 do t[i] = {} end while true do collectgarbage() end",
         kTimeLimit},
        {"gsub replacement", "return (string.gsub(string.rep('a', 1000), '', ('%0'):rep(5e6)))",
         kTimeLimit},
        {"string.rep of nothing", "return #string.rep('', 1e17)", "0"},
        // The parser runs the reader, a coroutine, in C: no instruction of the request's
        // own thread runs while the deadline passes.
        {"load reading from a coroutine",
         "local s = ('x = 1 '):rep(1000) "
         "load(coroutine.wrap(function() while true do coroutine.yield(s) end end))",
         kTimeLimit},
    };
    Limits limits;
    limits.maxInstructions = 0;
    limits.maxSeconds = kLimit;
    LuaWorker worker{limits};
    for (const auto& row : rows) {
        const double start = threadCpuSeconds();
        EXPECT_EQ(worker.run(row.script), row.reply) << row.what;
        EXPECT_LT(threadCpuSeconds() - start, kLimit + kPrompt) << row.what;
        EXPECT_EQ(worker.run("return 1"), "1") << row.what;
    }
}

TEST(LuaWorkerGuards, TimeLimitOfMaxSeconds) {
    using std::chrono::steady_clock;
    const struct {
        double seconds;
        std::optional<steady_clock::duration> limit;
    } cases[] = {
        {0, std::nullopt},
        {-1, std::nullopt},
        {std::nan(""), std::nullopt},
        {qel::kNoTimeLimitFrom, std::nullopt},
        {1e300, std::nullopt},
        {0.25, std::chrono::milliseconds(250)},
        {1e-12, steady_clock::duration(1)}, // never a deadline that has already passed
        {1e8, std::chrono::seconds(100000000)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qel::timeLimit(c.seconds), c.limit) << c.seconds;
}

TEST(LuaWorkerGuards, MemoryLimitAnswersErrorsInsteadOfExhaustingTheProcess) {
    Limits limits = smallLimits();
    limits.maxInstructions = 50000000; // room to fill the memory
    // Near the limit a heap-backed capture grows by exact reallocations, each a copy
    // under a sanitizer's allocator: the clock must not decide which limit comes first.
    limits.maxSeconds = 0;
    LuaWorker worker{limits};
    EXPECT_TRUE(isError(worker.run("return #string.rep('x', 1e10)")));
    EXPECT_EQ(worker.run("return #string.rep('x', 1e9)"), "error: not enough memory");
    EXPECT_EQ(worker.run("local t = {} for i = 1, 1e8 do t[i] = i end"),
              "error: not enough memory");
    // Captured output counts against the same limit.
    EXPECT_EQ(worker.run("local s = string.rep('x', 1e5) for i = 1, 1e6 do print(s) end"),
              "error: not enough memory");
    EXPECT_EQ(worker.run("return 6*7"), "42");

    Limits tiny;
    tiny.maxMemory = 1000; // too small for a state at all
    LuaWorker starved{tiny};
    EXPECT_TRUE(isError(starved.run("return 1")));
}

// A large-block arena as a worker process has one: a shared mapping of a memfd.
class SharedArena {
  public:
    explicit SharedArena(std::size_t size) : size_(size) {
        const int fd = memfd_create("qel-test-arena", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) throw std::bad_alloc();
        base_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (base_ == MAP_FAILED) throw std::bad_alloc();
        arena = std::make_unique<qel::Arena>(static_cast<char*>(base_), size);
    }
    ~SharedArena() { munmap(base_, size_); }
    // Whether every page is free again: one block of the whole arena fits.
    bool allFree() {
        void* whole = arena->allocate(size_);
        if (whole != nullptr) arena->free(whole);
        return whole != nullptr;
    }
    std::unique_ptr<qel::Arena> arena;

  private:
    std::size_t size_;
    void* base_;
};

// A reply that is exactly one large string goes out from where Lua wrote it, byte for
// byte; every other reply is built as before. Until it is released its bytes stay, whatever
// the next request, a fresh state or the collector do, and then every block comes back.
TEST(LuaWorkerArena, OneLargeStringIsTheReplyInPlaceAndKeptUntilReleased) {
    const std::size_t n = std::size_t{1} << 20;
    std::string large;
    for (std::size_t i = 0; i < n; ++i)
        large += "ab";
    const struct {
        std::string script;
        std::string reply;
        bool inArena;
    } rows[] = {
        {"return string.rep('ab', " + std::to_string(n) + ")", large, true},
        {"print('p') return string.rep('ab', " + std::to_string(n) + ")", "p\n" + large, false},
        {"return string.rep('ab', " + std::to_string(n) + "), 1", large + "\t1", false},
        {"return string.rep('ab', 1000)", large.substr(0, 2000), false},
        {"return string.rep('ab', 1e8)", "error: not enough memory", false},
    };
    const std::string other = "return string.rep('c', " + std::to_string(2 * n) + ")";
    for (const bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "--fresh" : "persistent");
        SharedArena shared(std::size_t{64} << 20);
        Limits limits = smallLimits();
        limits.fresh = fresh;
        {
            LuaWorker worker(limits, nullptr, qel::RunBudget::Deadline::Timer, nullptr,
                             shared.arena.get());
            for (int round = 0; round < 6; ++round) {
                for (const auto& row : rows) {
                    SCOPED_TRACE(row.script);
                    const std::string_view first = worker.handle(row.script);
                    EXPECT_EQ(worker.inArena(), row.inArena);
                    EXPECT_EQ(first, row.reply);
                    if (!row.inArena) continue;
                    // Still being sent: the next replies are copied, and these bytes stay.
                    EXPECT_EQ(worker.refuse("unread"), "error: unread");
                    EXPECT_EQ(worker.run(other), std::string(2 * n, 'c'));
                    EXPECT_FALSE(worker.inArena());
                    EXPECT_EQ(first, row.reply);
                    worker.replyReleased();
                }
            }
            worker.collect();
            EXPECT_LT(worker.heapBytes(), std::size_t{1} << 20);
        }
        EXPECT_TRUE(shared.allFree());
    }
}

// A large block that shrinks keeps no more pages than its new size needs: its bytes are
// what the budget charges, and pages beyond them would be resident and charged to nobody.
TEST(LuaWorkerArena, AShrunkBlockKeepsOnlyThePagesItNeeds) {
    SharedArena shared(std::size_t{64} << 20);
    qel::MemoryBudget budget(0);
    budget.setArena(shared.arena.get());
    const std::size_t big = std::size_t{4} << 20;
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (const std::size_t smaller : {big - 100, qel::Arena::kThreshold + 1, std::size_t{1000}}) {
        SCOPED_TRACE(smaller);
        void* block = qel::MemoryBudget::allocate(&budget, nullptr, 0, big);
        ASSERT_NE(block, nullptr);
        static_cast<char*>(block)[0] = 'x';
        block = qel::MemoryBudget::allocate(&budget, block, big, smaller);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(static_cast<char*>(block)[0], 'x');
        EXPECT_EQ(budget.used(), smaller);
        if (shared.arena->contains(block)) {
            EXPECT_LT(shared.arena->capacity(block), smaller + page);
        }
        qel::MemoryBudget::allocate(&budget, block, smaller, 0);
    }
    EXPECT_TRUE(shared.allFree());
}

TEST(LuaWorkerGuards, OversizedRequestIsRefusedWithoutRunning) {
    Limits limits;
    limits.maxRequest = 16;
    LuaWorker worker{limits};
    EXPECT_EQ(worker.run("x = 1 -- padding padding"),
              "error: request too large: 24 bytes, limit 16");
    EXPECT_EQ(worker.run("return x"), "nil");
    EXPECT_EQ(worker.run("return 16"), "16");
}

// What a script could reach the host or make bytecode with: all of it out of the sandbox,
// all of it there under --trusted.
const char* const kHostReaching[] = {"io",        "os.execute", "os.getenv",   "os.exit",
                                     "os.remove", "require",    "package",     "debug",
                                     "dofile",    "loadfile",   "string.dump", "('').dump"};

TEST(LuaWorkerSandbox, HostReachingFunctionsAreAbsent) {
    LuaWorker worker{Limits{}};
    for (const char* name : kHostReaching)
        EXPECT_EQ(worker.run(std::string("return ") + name + " == nil"), "true") << name;
    EXPECT_EQ(worker.run("local n = 0 for _ in pairs(os) do n = n + 1 end return n"), "4");
    EXPECT_EQ(worker.run("return type(os.time()), type(os.clock()), os.date('!%Y', 0), "
                         "os.difftime(5, 2)"),
              "number\tnumber\t1970\t3.0");
    EXPECT_EQ(worker.run("return type(coroutine.wrap), utf8.char(72), math.max(1, 2), "
                         "table.concat({1, 2}, '-')"),
              "function\tH\t2\t1-2");
}

TEST(LuaWorkerSandbox, ScriptsSeeExactlyTheListedSurface) {
    for (const bool trusted : {false, true}) {
        Limits limits;
        limits.trusted = trusted;
        LuaWorker worker{limits};
        const Names visible = visibleSurface(worker);
        const Names listed = listedSurface(trusted);
        EXPECT_EQ(without(visible, listed), "") << "visible but not listed, trusted " << trusted;
        EXPECT_EQ(without(listed, visible), "") << "listed but not visible, trusted " << trusted;
    }
}

TEST(LuaWorkerSandbox, LoadAcceptsTextOnly) {
    LuaWorker worker{Limits{}};
    EXPECT_EQ(worker.run("return load('return 5')()"), "5");
    EXPECT_EQ(worker.run("return load('return x', 'n', 't', {x = 3})()"), "3");
    const std::string refused = "nil\tattempt to load a binary chunk (mode is 't')";
    EXPECT_EQ(worker.run("return load('\\27Lua')"), refused);
    EXPECT_EQ(worker.run("return load('\\27Lua', 'b', 'b')"), refused);
    EXPECT_EQ(worker.run("return load(coroutine.wrap(function() coroutine.yield('\\27Lua') end), "
                         "'r', 'bt')"),
              refused);
    // A text chunk refused by the script's own mode gets stock Lua's message, however it
    // is given.
    const std::string text = "nil\tattempt to load a text chunk (mode is 'b')";
    EXPECT_EQ(worker.run("return load('return 1', 'n', 'b')"), text);
    EXPECT_EQ(worker.run("return load(coroutine.wrap(function() coroutine.yield('return 1') "
                         "end), 'r', 'b')"),
              text);
    EXPECT_EQ(worker.run("local p = {'return 4', '2'} local i = 0 "
                         "return load(function() i = i + 1 return p[i] end)()"),
              "42");
}

TEST(LuaWorkerSandbox, TrustedOpensEverything) {
    Limits limits;
    limits.trusted = true;
    LuaWorker worker{limits};
    for (const char* name : kHostReaching)
        EXPECT_EQ(worker.run(std::string("return ") + name + " ~= nil"), "true") << name;
    EXPECT_EQ(worker.run("print('still captured') return 1"), "still captured\n1");
}

TEST(LuaWorkerSandbox, FinalizersAreRefusedSoNoCodeRunsOutsideTheGuards) {
    LuaWorker worker{smallLimits()};
    const std::string refused = worker.run("setmetatable({}, {__gc = function() end})");
    EXPECT_TRUE(isError(refused)) << refused;
    EXPECT_NE(refused.find("__gc"), std::string::npos) << refused;
    // A metatable without __gc when set can never make its object finalizable.
    EXPECT_EQ(worker.run("local mt = {} local t = setmetatable({}, mt) "
                         "mt.__gc = function() while true do end end t = nil "
                         "collectgarbage() return getmetatable(setmetatable({}, {__index = {v = "
                         "7}})).__index.v"),
              "7");
}

// What the preloaded files define: there in every state, and out of every request's
// reach, module tables and metatables included, but for the tables marked writable.
TEST(LuaWorkerPreload, WhatTheFilesDefineNoRequestCanChange) {
    qel::Preload preload;
    ASSERT_EQ(
        readPreload(preload,
                    {preloadFile("qel_preload_app",
                                 "M = {sub = {x = 1, deep = {y = 2}}, log = writable({})}\n"
                                 "setmetatable(M.sub, {__index = function() return 0 end})\n"
                                 "local count = 0\n"
                                 "function helper() count = count + 1 return count end\n"),
                     preloadFile("qel_preload_more",
                                 "function M.note(v) M.log[#M.log + 1] = v return #M.log end\n")}),
        "");
    const std::string check =
        "return type(helper), M.sub.x, M.sub.deep.y, M.sub.none, type(M.note)";
    const std::string intact = "function\t1\t2\t0\tfunction";
    const char* const attacks[] = {
        "helper = nil",
        "rawset(_G, 'helper', nil)",
        "_ENV.helper = print",
        "M = {}",
        "M.note = nil",
        "M.sub.x = 9",
        "M.sub.deep.y = 9",
        "M.sub.none = 9",
        "rawset(M.sub, 'x', 9)",
        "setmetatable(M, nil)",
        "setmetatable(M.sub, nil)",
        "getmetatable(M.sub).__index = nil",
        "table.insert(M.sub.deep, 1)",
        "for k in pairs(M) do M[k] = nil end",
        "load('helper = 1', 'x', 't', _G)()",
    };
    for (const bool fresh : {false, true}) {
        Limits limits = smallLimits();
        limits.fresh = fresh;
        LuaWorker worker(limits, nullptr, qel::RunBudget::Deadline::Timer, &preload);
        std::string error;
        ASSERT_TRUE(worker.open(error)) << error;
        for (const char* attack : attacks) {
            const std::string reply = worker.run(attack);
            EXPECT_TRUE(reply.find("read-only") != std::string::npos ||
                        reply == "error: cannot change a protected metatable")
                << attack << ": " << reply;
            EXPECT_EQ(worker.run(check), intact) << "after " << attack;
        }
        // writable() is gone once the files have run; what it marked stays writable,
        // per state; a function's upvalues stay its own.
        EXPECT_EQ(worker.run("return writable, debug, M.note('a'), M.note('b')"), "nil\tnil\t1\t2");
        EXPECT_EQ(worker.run("M.log[1] = 'z' return M.log[1], #M.log, helper()"),
                  fresh ? "z\t1\t1" : "z\t2\t1");
    }
    // --trusted opens everything, the definitions included.
    Limits trusted = smallLimits();
    trusted.trusted = true;
    LuaWorker open(trusted, nullptr, qel::RunBudget::Deadline::Timer, &preload);
    EXPECT_EQ(open.run("helper = nil M.sub.x = 9 return helper, M.sub.x"), "nil\t9");
}

TEST(LuaWorkerPreload, AFileThatFailsNamesItselfAndMostlyItsLine) {
    struct Case {
        const char* text;
        const char* error; // what follows the file's name
    };
    const Case cases[] = {
        {"x = 1\nlocal f\nf()\n", ":3: attempt to call a nil value (local 'f')"},
        {"x = = 1\n", ":1: unexpected symbol near '='"},
        {"#!/usr/bin/lua\n\nerror('two')\n", ":3: two"},
        {"error('plain', 0)", ": plain"},
        {"while true do end", ":1: instruction limit exceeded"},
        {"x = ('x'):rep(1 << 30)", ": not enough memory"},
        {"writable(1)", ":1: bad argument #1 to 'writable' (table expected, got number)"},
        {"_G[('n'):rep(41)] = 1",
         ": a preloaded global must be named by a string of at most 40 bytes"},
        {"_G[1] = 1", ": a preloaded global must be named by a string of at most 40 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        qel::Preload preload;
        std::string error = readPreload(preload, {preloadFile("qel_preload_bad", c.text)});
        if (error.empty()) {
            LuaWorker worker(smallLimits(), nullptr, qel::RunBudget::Deadline::Timer, &preload);
            EXPECT_FALSE(worker.open(error));
            // A state made later for a request says the same in its reply.
            EXPECT_EQ(worker.run("return 1"), "error: " + error);
        }
        EXPECT_EQ(error, std::string("qel_preload_bad.lua") + c.error);
    }
    for (const auto& [path, reason] :
         {std::pair<std::string, std::string>{::testing::TempDir() + "qel_no_such.lua",
                                              "No such file or directory"},
          {::testing::TempDir(), "Is a directory"}}) {
        qel::Preload preload;
        EXPECT_EQ(readPreload(preload, {path}), "cannot read " + path + ": " + reason);
    }
}

// --max-state counts what requests keep above the preloaded state. Limits of 16 MiB and
// 8 MiB; the files keep 4 MiB, each entry of a table parked by a request 1 MiB.
TEST(LuaWorkerPreload, TheStateBoundCountsFromThePreloadedState) {
    const std::string gone =
        "; its worker was replaced, so the globals of earlier requests are gone";
    qel::Preload preload;
    ASSERT_EQ(readPreload(preload,
                          {preloadFile("qel_preload_big", "big = {} for i = 1, 4 do "
                                                          "big[i] = ('b'):rep(1 << 20) .. i end")}),
              "");
    Limits limits;
    limits.maxMemory = std::size_t{16} << 20;
    LuaWorker worker(limits, nullptr, qel::RunBudget::Deadline::Timer, &preload);
    auto park = [](int n) {
        return "t = {} for i = 1, " + std::to_string(n) +
               " do t[i] = ('x'):rep(1 << 20) .. i end " + "return #t, #big";
    };
    EXPECT_EQ(worker.run(park(6)), "6\t4");
    EXPECT_EQ(worker.run(park(9)), "9\t4" + gone);
    EXPECT_EQ(worker.run("return t, #big"), "nil\t4");
}
// json (lua-cjson): values round-trip; a huge table or text meets the memory limit, the
// conversion's own work the instruction limit; nesting is bounded; and no request
// changes what the next one gets. Each row runs, in order, on the worker of its limits.
TEST(LuaWorkerJson, ConvertsWithinTheGuardsAndNoRequestChangesIt) {
    Limits sandboxed = smallLimits();
    Limits trusted = sandboxed;
    trusted.trusted = true;
    Limits fresh = sandboxed;
    fresh.fresh = true;
    Limits memory = smallLimits(); // 16 MiB, no instruction or time limit: only memory stops it
    memory.maxInstructions = 0;
    memory.maxSeconds = 0;
    Limits counted = smallLimits(); // room for the whole result: only the count stops it
    counted.maxMemory = std::size_t{64} << 20;
    const Limits* const kinds[] = {&sandboxed, &trusted, &fresh, &memory, &counted};
    const char* const roundTrip =
        R"(local v = json.decode(json.encode({1, 2.5, -0.0, 'a\0"\\/', true, false, )"
        R"(json.null, {k = {}}, math.mininteger})) return math.type(v[1]), v[2], v[3], )"
        R"(v[4] == 'a\0"\\/', v[5], v[6], v[7] == json.null, next(v[8].k), v[9], #v)";
    const char* const roundTripped =
        "integer\t2.5\t-0.0\ttrue\ttrue\tfalse\ttrue\tnil\t-9223372036854775808\t9";
    const char* const readOnly = "the standard library is read-only";
    const struct {
        const Limits* limits;
        const char* script;
        const char* reply;
        bool exact = true; // else an error reply that contains reply
    } rows[] = {
        {&sandboxed, roundTrip, roundTripped},
        {&trusted, roundTrip, roundTripped},
        {&fresh, roundTrip, roundTripped},
        {&sandboxed, R"(return json.encode({a = {1, 2.5, 'x/', json.null}}))",
         R"({"a":[1,2.5,"x\/",null]})"},
        {&sandboxed,
         R"(return table.unpack(json.decode('[1e2, -0, 9007199254740993, "\\u00e9"]')))",
         "100.0\t-0.0\t9007199254740993\t\xc3\xa9"},
        {&sandboxed, "local t = {} t[1] = {t} return json.encode(t)",
         "error: script:1: Cannot serialise, excessive nesting (1001)"},
        {&sandboxed, "return #json.encode(json.decode(('['):rep(1000) .. (']'):rep(1000)))",
         "2000"},
        {&sandboxed, "return json.decode(('['):rep(1001) .. (']'):rep(1001))",
         "error: script:1: Found too many nested data structures (1001) at character 1001"},
        {&memory, "local t = {} for i = 1, 30 do t = {t, t} end return #json.encode(t)",
         "error: not enough memory"},
        {&memory, R"(return #json.decode('"' .. ('x'):rep(7e6) .. '"'))",
         "error: not enough memory"},
        {&memory, "return #json.encode({('x'):rep(1000)})", "1004"},
        {&counted, "local t = {} for i = 1, 22 do t = {t, t} end return #json.encode(t)",
         "error: instruction limit exceeded"},
        {&counted, "return #json.decode('[' .. ('1,'):rep(1e6) .. '1]')",
         "error: instruction limit exceeded"},
        {&sandboxed, "json.encode = nil", readOnly, false},
        {&sandboxed, "json.null = 1", readOnly, false},
        {&sandboxed, "rawset(json, 'encode_max_depth', print)", readOnly, false},
        {&sandboxed, "json.encode_max_depth(1)", "attempt to call a nil value", false},
        {&sandboxed, "return json.decode_invalid_numbers, json.encode_keep_buffer, json.new",
         "nil\tnil\tnil"},
        {&sandboxed, "return json.encode({{json.null}}), json.null == json.decode('null')",
         "[[null]]\ttrue"},
    };
    std::vector<std::unique_ptr<LuaWorker>> workers;
    for (const Limits* kind : kinds)
        workers.push_back(std::make_unique<LuaWorker>(*kind));
    for (const auto& row : rows) {
        LuaWorker& worker =
            *workers[std::find(std::begin(kinds), std::end(kinds), row.limits) - std::begin(kinds)];
        const std::string reply = worker.run(row.script);
        if (row.exact) {
            EXPECT_EQ(reply, row.reply) << row.script;
        } else {
            EXPECT_TRUE(isError(reply) && reply.find(row.reply) != std::string::npos)
                << row.script << ": " << reply;
        }
        EXPECT_EQ(worker.run("return 1"), "1") << row.script;
    }
}
