// preload_test.cpp - what the --preload files may leave behind for requests: no
// coroutine a request could resume, and globals named by reserved words kept as fixed
// as any other. The rest of the files' protection is in lua_worker_test.cpp.
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "lua_worker.h"
#include "preload.h"

using qel::Limits;
using qel::LuaWorker;

namespace {

Limits preloadLimits(bool trusted = false) {
    Limits limits;
    limits.maxInstructions = 200000;
    limits.maxSeconds = 5;
    limits.maxMemory = std::size_t{16} << 20;
    limits.trusted = trusted;
    return limits;
}

// The --preload file name.lua holding text, in the test's temporary folder.
std::string writeFile(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name + ".lua";
    std::ofstream(path) << text;
    return path;
}

} // namespace

// Each row runs as the second of two files, so the error must name the right one.
TEST(LuaWorkerPreload, AFileThatLeavesACoroutineWithinReachStopsTheStart) {
    struct Case {
        const char* text;
        const char* reach; // what the error names; nullptr when the file is accepted
    };
    const Case cases[] = {
        {"co = coroutine.create(function() end)", "global 'co'"},
        {"gen = coroutine.wrap(function() local n = 0 while true do n = n + 1 "
         "coroutine.yield(n) end end)",
         "global 'gen'"},
        {"M = {jobs = {coroutine.create(print)}}", "global 'M'"},
        {"local co = coroutine.create(print)\nfunction step() return coroutine.resume(co) end",
         "global 'step'"},
        {"M = setmetatable({}, {__index = {co = coroutine.create(print)}})", "global 'M'"},
        {"_G[coroutine.create(print)] = 1", "a global keyed by a thread"},
        // Made per call, or kept in a table that requests share by design: accepted.
        {"function gen() return coroutine.wrap(function() coroutine.yield(1) end) end\n"
         "shared = writable({co = coroutine.create(print)})",
         nullptr},
    };
    const std::string first = writeFile("qel_preload_first", "first = 1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        qel::Preload preload;
        std::string error;
        ASSERT_TRUE(preload.read({first, writeFile("qel_preload_co", c.text)}, error)) << error;
        LuaWorker worker(preloadLimits(), nullptr, qel::RunBudget::Deadline::Timer, &preload);
        if (c.reach == nullptr) {
            ASSERT_TRUE(worker.open(error)) << error;
            EXPECT_EQ(worker.run("return gen()(), gen()()"), "1\t1");
            continue;
        }
        EXPECT_FALSE(worker.open(error));
        EXPECT_EQ(error, std::string("qel_preload_co.lua: ") + c.reach +
                             " reaches a coroutine, which every request could resume or close");
        // --trusted protects nothing the files define, so it refuses nothing either.
        LuaWorker trusted(preloadLimits(true), nullptr, qel::RunBudget::Deadline::Timer, &preload);
        EXPECT_TRUE(trusted.open(error)) << error;
    }
}

// The lexer keeps a reserved word's token where other global names keep their mark, so
// these names get one of their own.
TEST(LuaWorkerPreload, AGlobalNamedByAReservedWordIsFixedLikeAnyOther) {
    qel::Preload preload;
    std::string error;
    ASSERT_TRUE(preload.read(
        {writeFile("qel_preload_reserved", "_G['end'] = 1 _G['while'] = {n = 2}")}, error))
        << error;
    const std::string check = "return _G['end'], _G['while'].n";
    const struct {
        const char* attack;
        const char* name;
    } attacks[] = {
        {"_G['end'] = 9", "end"},       {"_G['end'] = nil", "end"},
        {"_ENV['end'] = 9", "end"},     {"rawset(_G, 'end', nil)", "end"},
        {"_G['while'] = nil", "while"}, {"rawset(_G, 'while', {})", "while"},
        {"_G['while'].n = 9", "n"},
    };
    LuaWorker worker(preloadLimits(), nullptr, qel::RunBudget::Deadline::Timer, &preload);
    ASSERT_TRUE(worker.open(error)) << error;
    EXPECT_EQ(worker.run(check), "1\t2");
    for (const auto& a : attacks) {
        EXPECT_EQ(worker.run(a.attack),
                  std::string("error: the standard library is read-only (cannot set '") + a.name +
                      "')")
            << a.attack;
        EXPECT_EQ(worker.run(check), "1\t2") << "after " << a.attack;
    }
    // A request's own global named so is still its own to change and remove.
    EXPECT_EQ(worker.run("_G['do'] = 3 _G['do'] = 4 return _G['do']"), "4");
    EXPECT_EQ(worker.run("_G['do'] = nil return _G['do']"), "nil");
}
