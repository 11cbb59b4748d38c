// pattern_test.cpp - string.find, match, gmatch and gsub under the guards: a pattern
// that backtracks for hours is stopped by the time and instruction limits like any Lua
// loop, and ordinary patterns answer exactly what stock Lua 5.4 answers.
#include <chrono>
#include <gtest/gtest.h>
#include <string>

#include "clients.h"
#include "lua_worker.h"
#include "service_process.h"
#include "timing.h"

using qel::Limits;
using qel::LuaWorker;

namespace {

// Each of these backtracks through about n^4 positions: hours of work in one C call.
const char* const kBombs[] = {
    "return string.find(string.rep('a', 3000), '.-.-.-.-b')",
    "return string.match(string.rep('a', 3000), '(.-)(.-)(.-)(.-)b')",
    "for w in string.gmatch(string.rep('a', 3000), '.-.-.-.-b') do end",
    "return string.gsub(string.rep('a', 3000), '.-.-.-.-b', '')",
    "return ('a'):rep(3000):find('.-.-.-.-b')",
    "return ('a'):rep(3000):gsub('.-.-.-.-b', function() end)",
};

Limits timeOnly(double seconds) {
    Limits limits;
    limits.maxInstructions = 0;
    limits.maxSeconds = seconds;
    return limits;
}

Limits instructionsOnly(std::uint64_t instructions) {
    Limits limits;
    limits.maxInstructions = instructions;
    limits.maxSeconds = 0;
    return limits;
}

// Ordinary uses and their replies from the stock lua5.4 interpreter (the chunk's return
// values converted with tostring, tab-separated): matching must not change at all.
struct Case {
    const char* script;
    const char* expected;
};

const Case kStockLua[] = {
    // A back-reference to a position capture compares nothing.
    {"return string.find(\"abc\", \"()%1\")", "nil"},
    {"return string.gsub(\"abc\", \"\", \"%0-\")", "-a-b-c-\t4"},
    // The other budgeted library functions: the same results, empty repetitions at once.
    {"return string.rep(\"ab\", 3, \",\"), string.rep(\"\", 1e17), string.rep(\"x\", 0), "
     "#string.rep(\"abc\", 1000, \"--\"), string.rep(\"\", 5, \"\")",
     "ab,ab,ab\t\t\t4998\t"},
    {"return table.concat({1, 2, 3}, \"-\", 2, 3), table.unpack({1, 2, 3}, 2)", "2-3\t2\t3"},
    {"local t = {1, 2, 3} table.insert(t, 2, 9) table.remove(t, 1) return table.concat(t, \",\")",
     "9,2,3"},
    {"return table.concat(table.move({1, 2, 3}, 1, 3, 2), \",\")", "1,1,2,3"},
    {"local t = {3, 1, 2} table.sort(t, function(a, b) return a > b end) return table.concat(t)",
     "321"},
    {"return (\"abc\"):upper(), (\"ABC\"):lower(), (\"abc\"):reverse(), \"a\\0b\" < \"a\\0c\", "
     "\"a\\0\" < \"a\"",
     "ABC\tabc\tcba\ttrue\tfalse"},
    {"return coroutine.wrap(function(...) return select('#', ...) end)(1, 2)", "2"},
    {"return string.find(\"hello world\", \"o w\")", "5\t7"},
    {"return string.find(\"hello world\", \"o\", 6)", "8\t8"},
    {"return string.find(\"hello world\", \"l+\")", "3\t4"},
    {"return string.find(\"hello\", \"l\", -2)", "4\t4"},
    {"return string.find(\"hello\", \"\", 10)", "nil"},
    {"return string.find(\"hello\", \"\", 6)", "6\t5"},
    {"return string.find(\"a.b\", \".\", 1, true)", "2\t2"},
    {"return string.find(\"a+b\", \"+\", 1, true)", "2\t2"},
    {"return string.find(\"abc\", \"b\", -100)", "2\t2"},
    {"return string.find(\"key = value\", \"(%w+)%s*=%s*(%w+)\")", "1\t11\tkey\tvalue"},
    {"return string.find(\"hello\", \"()ll()\")", "3\t4\t3\t5"},
    {"return string.find(\"a\\0b\", \"%z\")", "2\t2"},
    {"return string.find(\"a\\0b\\0c\", \"b\\0c\")", "3\t5"},
    {"return string.match(\"  trim me  \", \"^%s*(.-)%s*$\")", "trim me"},
    {"return string.match(\"2024-05-17\", \"(%d+)-(%d+)-(%d+)\")", "2024\t05\t17"},
    {"return string.match(\"hello\", \"^(h)(e)\")", "h\te"},
    {"return string.match(\"hello\", \"^e\")", "nil"},
    {"return string.match(\"hello\", \"o$\")", "o"},
    {"return string.match(\"a$b\", \"a$b\")", "a$b"},
    {"return string.match(\"f(a(b)c)d\", \"%b()\")", "(a(b)c)"},
    {"return string.match(\"THE (quick) fox\", \"%f[%a]%a+%f[%A]\")", "THE"},
    {"return string.match(\"abcabc\", \"(abc)%1\")", "abc"},
    {"return string.match(\"xyz\", \"()\")", "1"},
    {"return string.match(\"hello world\", \"%w+\", 6)", "world"},
    {"return string.match(\"[x]\", \"[%[%]x]+\")", "[x]"},
    {"return string.match(\"a-b_c\", \"[%w_%-]+\")", "a-b_c"},
    {"return string.match(\"0x1F\", \"^0[xX](%x+)$\")", "1F"},
    {"return string.match(\"ab12CD\", \"[^%d]+\", 3)", "CD"},
    {"return string.match(\"aaab\", \"a-b\")", "aaab"},
    {"return string.match(\"aaa\", \"a?a?a?a?\")", "aaa"},
    {"return string.match(\"Cats\", \"%u%l+\")", "Cats"},
    {"return string.match(\"tab\\there\", \"%c\")==\"\\t\", string.match(\"x,y\", \"%p\")",
     "true\t,"},
    {"return string.match(\"\303\251t\303\251\", \"[\\128-\\255]+\")", "\303\251"},
    {"return (\"x\"):rep(3):match(\"(x)(x)\")", "x\tx"},
    {"return string.gsub(\"hello world\", \"o\", \"0\")", "hell0 w0rld\t2"},
    {"return string.gsub(\"hello world\", \"(%w+)\", \"<%1>\")", "<hello> <world>\t2"},
    {"return string.gsub(\"hello world\", \"%w+\", \"%0 %0\", 1)", "hello hello world\t1"},
    {"return string.gsub(\"abc\", \"\", \"-\")", "-a-b-c-\t4"},
    {"return string.gsub(\"hello\", \"l\", {l = \"L\"})", "heLLo\t2"},
    {"return string.gsub(\"$name is $age\", \"%$(%w+)\", {name = \"Ann\", age = 7})",
     "Ann is 7\t2"},
    {"return string.gsub(\"a b c\", \"%w\", function(c) return c:upper() .. \"!\" end)",
     "A! B! C!\t3"},
    {"return string.gsub(\"a b c\", \"%w\", function(c) if c == \"b\" then return nil end return "
     "\"x\" end)",
     "x b x\t3"},
    {"return string.gsub(\"abc\", \"b\", false and \"\" or \"%%\")", "a%c\t1"},
    {"return string.gsub(\"hello\", \"()l\", \"%1\")", "he34o\t2"},
    {"return string.gsub(\"  x  \", \"^%s+\", \"\")", "x  \t1"},
    {"return string.gsub(\"one two\", \"(%w+) (%w+)\", \"%2 %1\")", "two one\t1"},
    {"return string.gsub(\"abc\", \".\", {a = 1, c = false})", "1bc\t3"},
    {"return pcall(string.gsub, \"abc\", \".\", {a = 1, b = true})",
     "false\tinvalid replacement value (a boolean)"},
    {"return string.gsub(\"abc\", \"%w\", \"%0%0\", 2)", "aabbc\t2"},
    {"return string.gsub(\"x = 1\", \"%s*=%s*\", \"=\")", "x=1\t1"},
    {"return string.gsub(\"ab\", \"a*\", \"-\")", "-b-\t2"},
    {"return string.gsub(123, 2, 9)", "193\t1"},
    {"local t = {} for w in string.gmatch(\"one two three\", \"%a+\") do t[#t+1] = w end return "
     "table.concat(t, \",\")",
     "one,two,three"},
    {"local t = {} for k, v in string.gmatch(\"a=1, b=2\", \"(%w+)=(%w+)\") do t[#t+1] = k .. v "
     "end return table.concat(t, \";\")",
     "a1;b2"},
    {"local t = {} for w in string.gmatch(\"one two three\", \"%a+\", 5) do t[#t+1] = w end return "
     "table.concat(t, \",\")",
     "two,three"},
    {"local t = {} for w in string.gmatch(\"abc\", \"\", -1) do t[#t+1] = \"[\" .. w .. \"]\" end "
     "return table.concat(t), #t",
     "[][]\t2"},
    {"local t = {} for p in string.gmatch(\"abc\", \"()\") do t[#t+1] = p end return "
     "table.concat(t, \",\")",
     "1,2,3,4"},
    {"local t = {} for w in (\"x,y,,z\"):gmatch(\"([^,]*)\") do t[#t+1] = \"<\" .. w .. \">\" end "
     "return table.concat(t)",
     "<x><y><><z>"},
    {"local t = {} for a in string.gmatch(\"abc\", \"^.\") do t[#t+1] = a end return "
     "table.concat(t, \",\")",
     ""},
    {"return pcall(string.find, \"a\", \"%\")", "false\tmalformed pattern (ends with '%')"},
    {"return pcall(string.find, \"a\", \"[a\")", "false\tmalformed pattern (missing ']')"},
    {"return pcall(string.match, \"a\", \"(a\")", "false\tunfinished capture"},
    {"return pcall(string.match, \"a\", \"a)\")", "false\tinvalid pattern capture"},
    {"return pcall(string.match, \"a\", \"%1\")", "false\tinvalid capture index %1"},
    {"return pcall(string.match, \"a\", \"%b\")",
     "false\tmalformed pattern (missing arguments to '%b')"},
    {"return pcall(string.match, \"a\", \"%fa\")", "false\tmissing '[' after '%f' in pattern"},
    {"return pcall(string.gsub, \"a\", \"a\", \"%2\")", "false\tinvalid capture index %2"},
    {"return pcall(string.gsub, \"a\", \"a\", \"%x\")",
     "false\tinvalid use of '%' in replacement string"},
    {"return pcall(string.gsub, \"a\", \"a\", {a = {}})",
     "false\tinvalid replacement value (a table)"},
    {"return pcall(string.gsub, \"a\", \"a\", true)",
     "false\tbad argument #3 to 'string.gsub' (string/function/table expected, got boolean)"},
    {"return pcall(string.match, string.rep(\"a\", 40), string.rep(\"(a)\", 33))",
     "false\ttoo many captures"},
    {"return pcall(string.find, string.rep(\"a\", 300), string.rep(\"a?\", 300) .. "
     "string.rep(\"a\", 300))",
     "false\tpattern too complex"},
    {"return pcall(string.find)",
     "false\tbad argument #1 to 'string.find' (string expected, got no value)"},
};

} // namespace

TEST(PatternGuards, TimeLimitStopsEveryPatternFunction) {
    LuaWorker worker{timeOnly(1)};
    for (const char* bomb : kBombs) {
        const auto start = Clock::now();
        EXPECT_EQ(worker.run(bomb), "error: time limit exceeded") << bomb;
        const double seconds = secondsSince(start);
        EXPECT_GE(seconds, 0.99) << bomb;
        EXPECT_LT(seconds, 5.0) << bomb;
        EXPECT_EQ(worker.run("return 6*7"), "42") << "after " << bomb;
    }
}

TEST(PatternGuards, InstructionLimitCountsMatcherSteps) {
    LuaWorker worker{instructionsOnly(10000000)};
    for (const char* bomb : kBombs) {
        EXPECT_EQ(worker.run(bomb), "error: instruction limit exceeded") << bomb;
        EXPECT_EQ(worker.run("return 6*7"), "42") << "after " << bomb;
    }
    // Quadratic without any backtracking: %b rescans the subject from every start, and a
    // plain search compares a long needle at every candidate position.
    EXPECT_EQ(worker.run("return string.find(string.rep('(', 100000), '%b()')"),
              "error: instruction limit exceeded");
    EXPECT_EQ(worker.run("local s = string.rep('a', 1000000) "
                         "return s:find(string.rep('a', 100000) .. 'b', 1, true)"),
              "error: instruction limit exceeded");
    // Ordinary matching over a long subject stays far below the limit.
    std::string replaced;
    for (int i = 0; i < 5000; ++i)
        replaced += "ac";
    EXPECT_EQ(worker.run("return (string.rep('ab', 5000):gsub('b', 'c'))"), replaced);
}

TEST(PatternGuards, PcallCannotSwallowTheLimit) {
    LuaWorker worker{instructionsOnly(10000000)};
    EXPECT_EQ(worker.run("local ok = pcall(string.find, string.rep('a', 3000), '.-.-.-.-b') "
                         "return 'carried on', ok"),
              "error: instruction limit exceeded");
    EXPECT_EQ(worker.run("for i = 1, 3 do pcall(string.gsub, string.rep('a', 3000), "
                         "'.-.-.-.-b', '') end return 'carried on'"),
              "error: instruction limit exceeded");
    EXPECT_EQ(worker.run("return 'next'"), "next");
}

TEST(PatternGuards, TrustedModeIsGuardedToo) {
    Limits limits = instructionsOnly(10000000);
    limits.trusted = true;
    LuaWorker worker{limits};
    EXPECT_EQ(worker.run(kBombs[0]), "error: instruction limit exceeded");
    EXPECT_EQ(worker.run("return io ~= nil, string.find('hello', 'l+')"), "true\t3\t4");
}

TEST(PatternGuards, ServiceAnswersTheBombAndTheNextRequest) {
    ServiceProcess service({"--max-seconds", "1"});
    LibraryClient client(service.port());
    const auto start = Clock::now();
    EXPECT_EQ(client.run(kBombs[0]), "error: time limit exceeded");
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_EQ(client.run("return ('x = 1'):match('(%w+) = (%d)')"), "x\t1");
}

TEST(PatternSemantics, SameResultsAsStockLua) {
    for (const bool trusted : {false, true}) {
        Limits limits;
        limits.trusted = trusted;
        LuaWorker worker{limits};
        for (const Case& c : kStockLua) {
            EXPECT_EQ(worker.run(c.script), c.expected)
                << c.script << (trusted ? " (trusted)" : "");
        }
    }
}

TEST(PatternSemantics, GmatchIteratorSurvivesInterruptedCalls) {
    // A call stopped by the limit leaves its match half done; the iterator lives on in a
    // global, so each later call must start from a clean recursion depth instead of
    // running out of it ("pattern too complex") after a few hundred interruptions.
    LuaWorker worker{instructionsOnly(100000)};
    EXPECT_EQ(worker.run("it = string.gmatch(string.rep('a', 3000), '.-.-.-.-b')"), "");
    for (int i = 0; i < 250; ++i) {
        ASSERT_EQ(worker.run("return it()"), "error: instruction limit exceeded") << "call " << i;
    }
    EXPECT_EQ(worker.run("return 6*7"), "42");
}
