// differential_test.cpp - the service's Lua against stock Lua 5.4.8: each snippet runs in
// the stock interpreter and through the service, in the sandbox and with --trusted, and
// the replies must be the same except where a row names a deliberate sandbox difference;
// then Lua's own test files run through the service.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "clients.h"
#include "processes.h"
#include "sanitizers.h"
#include "service_process.h"

namespace {

// The worker processes of a service: the children its /proc entry lists.
std::vector<std::string> workersOf(pid_t service) {
    std::ifstream children("/proc/" + std::to_string(service) + "/task/" + std::to_string(service) +
                           "/children");
    std::vector<std::string> pids;
    for (std::string pid; children >> pid;)
        pids.push_back(pid);
    return pids;
}

std::string stockReply(const std::string& script) {
    const ProgramResult result = runProgram(QEL_LUA_STOCK, {QEL_LUA_STOCK_REPLY}, script);
    EXPECT_EQ(result.exitCode, 0) << script << "\n" << result.err;
    return result.out;
}

// A snippet, and where the sandbox answers otherwise on purpose: its reply and why.
struct Row {
    const char* script;
    const char* sandboxReply; // nullptr: as stock Lua
    const char* reason;
};

// Upstream reproducers of the faults fixed after 5.4.4 come first.
const Row kRows[] = {
    // A chain of coroutine.close calls, each closing the previous coroutine (how deep
    // the chain gets before the C stack is full depends on the host's own C calls).
    {"local co = false for i = 1, 1000 do local previous = co co = coroutine.create(function() "
     "local c <close> = setmetatable({}, {__close = function() if previous then "
     "assert(coroutine.close(previous)) end end}) coroutine.yield() end) "
     "assert(coroutine.resume(co)) end local ok, e = coroutine.close(co) "
     "return ok, (e:gsub('^[script:1 ]*', ''))",
     nullptr, nullptr},
    {"local _ENV <const> = {y = 7} return y", nullptr, nullptr},
    {"local function foo() local _ENV <const> = 11 X = 'hi' end return pcall(foo)", nullptr,
     nullptr},
    {"local code = {'local x = {'} for i = 1, 257 do code[#code + 1] = i .. '.1,' end "
     "code = table.concat(code) .. '};' local r = {} for _, e in ipairs{'return (1 ~ (2 or "
     "3))', 'return (1 | (2 or 3))', 'return (1 + (2 or 3))', 'return (1 << (2 or 3))'} do "
     "r[#r + 1] = load(code .. e)() end return table.unpack(r)",
     nullptr, nullptr},
    {"local closed = false local o = setmetatable({}, {__close = function() closed = true "
     "end}) local function test() for k, v in next, {}, nil, o do local function f() return k "
     "end break end return closed end return test()",
     nullptr, nullptr},
    {"return pcall(function() local n = 0 for _ in utf8.codes('ab\\x80') do n = n + 1 end "
     "return n end)",
     nullptr, nullptr},
    {"return pcall(utf8.len, '\\xF4\\x9F\\xBF\\xBF'), utf8.len('\\u{7FF}\\u{FFFF}')", nullptr,
     nullptr},
    {"local r = {} for _, s in ipairs{'a = \\na\\n+\\n{}', 'a = \\n3\\n+\\n(\\n4\\n/\\nprint)', "
     "'a\\n=\\n-\\n\\nprint\\n;', 'return (\\'_ENV\\').x + 1'} do "
     "r[#r + 1] = select(2, pcall(load(s, '=x'))) end return table.concat(r, '|')",
     nullptr, nullptr},
    {"_ENV[true] = 10 local function aux() return _ENV[1 < 2] end local r = aux() "
     "_ENV[true] = nil return r",
     nullptr, nullptr},
    {"return type(collectgarbage('step', math.maxinteger))", nullptr, nullptr},
    {"return string.packsize('i3j'), pcall(string.packsize, 'c' .. math.maxinteger)", nullptr,
     nullptr},
    {"return utf8.char(0x7FFFFFFF):byte(1, -1)", nullptr, nullptr},
    {"return pcall(utf8.codepoint, '\\xFD\\xBF\\xBF\\xBF\\xBF\\xBF', 1, 1, true)", nullptr,
     nullptr},
    // The read-only standard library reads as stock Lua's.
    {"return rawget(string, 'rep') == string.rep, rawget(_G, 'print') == print", nullptr, nullptr},
    {"local n = 0 for k in next, math do n = n + 1 end return n", nullptr, nullptr},
    {"return (pcall(next, _G, 'print')), type(next(math))", nullptr, nullptr},
    {"return getmetatable(string), getmetatable(_G), getmetatable('').__index == string", nullptr,
     nullptr},
    {"local n = 0 for k, v in pairs(table) do n = n + 1 end return n, #string.rep('ab', 3)",
     nullptr, nullptr},
    // Yields across pcall and xpcall; load's mode.
    {"local co = coroutine.wrap(function() return xpcall(coroutine.yield, tostring, 1) end) "
     "return co()",
     nullptr, nullptr},
    {"local co = coroutine.wrap(function() return pcall(coroutine.yield, 5) end) return co()",
     nullptr, nullptr},
    {"local co = coroutine.wrap(function(...) return xpcall(function(...) "
     "return coroutine.yield(...) end, tostring, ...) end) co(1, 2) return co(3, 4)",
     nullptr, nullptr},
    {"return xpcall(error, function(m) return 'handled ' .. tostring(m) end, 'x')", nullptr,
     nullptr},
    {"return load('return 1', 'x', 'b')", nullptr, nullptr},
    {"return load(coroutine.wrap(function() coroutine.yield('return 1') end), 'r', 'b')", nullptr,
     nullptr},
    {"local t = select(2, xpcall(error, debug.traceback, 'x')) return (t:match('^(.-main "
     "chunk)'))",
     "error: script:1: attempt to index a nil value (global 'debug')",
     "debug is not in the sandbox"},
    {"return load('return 1', 'x', 't')()", nullptr, nullptr},
    // Ordinary results and errors.
    {"print('a', 1, nil) return 1, nil, 'x', 2.5, 1e100", nullptr, nullptr},
    {"return math.maxinteger + 1 == math.mininteger, 7 // 2, -7 // 2, 7 % -3, 2^53, -0.0", nullptr,
     nullptr},
    {"local t = {5, 2, 8, 1} table.sort(t) return table.concat(t, ','), table.unpack(t, 2, 3)",
     nullptr, nullptr},
    {"return ('hello world'):gsub('o', '0'), ('%5.2f|%q'):format(1 / 3, 'a\\n')", nullptr, nullptr},
    {"error({})", nullptr, nullptr},
    {"local function f() error('boom', 2) end f()", nullptr, nullptr},
    {"return 1 +", nullptr, nullptr},
    {"x_global = nil return x_global, select('#', rawget(_G, 'x_global'))", nullptr, nullptr},
    // Deliberate differences.
    {"return type(io), type(debug), type(require), type(os.exit), type(string.dump)",
     "nil\tnil\tnil\tnil\tnil", "io, debug, package and most of os are not in the sandbox"},
    {"local ok, r = pcall(setmetatable, {}, {__gc = function() end}) "
     "return ok, type(r) == 'table' or r",
     "false\t__gc metamethods are not available in the sandbox",
     "finalizers would run with hooks off"},
    {"return type(load(('').dump(function() end)))",
     "error: script:1: attempt to call a nil value (field 'dump')",
     "string.dump is absent: bytecode could be forged"},
    {"string.rep = nil return 1", "error: the standard library is read-only (cannot set 'rep')",
     "the standard library is read-only"},
    {"rawset(_G, 'print', nil) return 1",
     "error: the standard library is read-only (cannot set 'print')",
     "the standard library is read-only"},
    {"local ok, r = pcall(setmetatable, string, {}) return ok, r == string or r",
     "false\tcannot change a protected metatable", "the standard library is read-only"},
    {"return pcall(table.insert, math, 1)",
     "false\tthe standard library is read-only (cannot set '?')",
     "the standard library is read-only"},
};

class Differential : public ::testing::TestWithParam<bool> {};

TEST_P(Differential, EverySnippetAnswersAsStockLua) {
    const bool trusted = GetParam();
    std::vector<std::string> args = {"--workers", "1"};
    if (trusted) args.push_back("--trusted");
    ServiceProcess service(args);
    LibraryClient client(service.port());
    const std::vector<std::string> workers = workersOf(service.pid());
    ASSERT_EQ(workers.size(), 1u);
    for (const Row& row : kRows) {
        const std::string expected =
            row.sandboxReply != nullptr && !trusted ? row.sandboxReply : stockReply(row.script);
        EXPECT_EQ(client.run(row.script), expected)
            << row.script << (row.reason != nullptr && !trusted ? "\n" : "")
            << (row.reason != nullptr && !trusted ? row.reason : "");
    }
    // No snippet cost the worker its life.
    EXPECT_EQ(workersOf(service.pid()), workers);
}

INSTANTIATE_TEST_SUITE_P(Modes, Differential, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Trusted" : "Sandbox"; });

// Lua's test files expect _port and _soft for the portable, soft subset, and libraries
// that the sandbox lacks: the prelude makes each absent library a table whose every use
// raises "absent in the sandbox: NAME" at the file's own line, and gives require the
// loaded libraries and a tracegc that does nothing (it needs __gc). One line, so that the
// files' line numbers stay theirs.
const char kPrelude[] =
    "local _port, _soft = true, true; "
    "local function absent(name) error('absent in the sandbox: ' .. name, 3) end; "
    "local function stub(lib) return setmetatable({}, {__index = function(_, k) "
    "absent(lib .. '.' .. k) end}) end; "
    "local debug, io, package = debug or stub('debug'), io or stub('io'), package or "
    "stub('package'); "
    "local os = setmetatable({}, {__index = function(_, k) return _G.os[k] or absent('os.' .. "
    "k) end}); "
    "local modules = {debug = debug, io = io, package = package, os = os, tracegc = {start = "
    "function() end, stop = function() end}}; "
    "local require = function(name) return _G[name] or modules[name] or absent(\"require '\" .. "
    "name .. \"'\") end; "
    "local dofile, loadfile = function() absent('dofile') end, function() absent('loadfile') "
    "end; ";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A test file and how it ends in the sandbox: nullptr when it runs to its end, else the
// reply where it first needs what the sandbox lacks.
struct TestFile {
    const char* name;
    const char* sandboxStop;
};

const TestFile kTestFiles[] = {
    {"math", nullptr},
    {"sort", nullptr},
    {"tpack", nullptr},
    {"vararg", nullptr},
    {"code", nullptr},
    {"cstack", nullptr},
    {"pm", nullptr},
    {"utf8", nullptr},
    {"api", nullptr},
    {"big", nullptr},
    {"verybig", nullptr},
    // A __close handler calls debug.getinfo while an error unwinds.
    {"coroutine", "error: script:237: assertion failed!"},
    {"nextvar", "error: script:297: absent in the sandbox: package.loaded"},
    {"events", "error: script:196: absent in the sandbox: io.stdin"},
    {"closure", "error: script:253: absent in the sandbox: debug.upvalueid"},
    {"goto", "error: script:188: absent in the sandbox: debug.upvalueid"},
    {"calls", "error: script:314: absent in the sandbox: debug.getinfo"},
    {"strings", "error: script:171: absent in the sandbox: io.stdin"},
    {"literals", "error: [string \"\"]:2: attempt to call a nil value (global 'require')"},
    {"constructs", "error: script:306: absent in the sandbox: debug.getinfo"},
    // bwcoercion sets the strings' metamethods, which the sandbox keeps read-only.
    {"bitwise", "error: script:6: absent in the sandbox: require 'bwcoercion'"},
    {"locals", "error: script:74: absent in the sandbox: debug.getupvalue"},
    // It expects require's own loaded table and every library in it.
    {"attrib", "error: script:10: assertion failed!"},
    // Its checks match messages of chunks loaded through a global `load` with debug.
    {"errors", "error: script:30: assertion failed!"},
    {"db", "error: script:16: absent in the sandbox: debug.gethook"},
    {"gc", "error: script:312: __gc metamethods are not available in the sandbox"},
    {"gengc", "error: script:51: __gc metamethods are not available in the sandbox"},
    {"files", "error: script:8: absent in the sandbox: os.getenv"},
};

TEST(LuaTestFiles, RunInTheSandboxUntilTheyNeedWhatItLacks) {
    ServiceProcess service({"--workers", "1"});
    LibraryClient client(service.port());
    for (const TestFile& file : kTestFiles) {
        const std::string reply =
            client.run(kPrelude + readFile(std::string(QEL_LUA_TESTES) + "/" + file.name + ".lua"));
        if (file.sandboxStop == nullptr) {
            EXPECT_NE(reply.rfind("error: ", 0), 0u) << file.name << ": " << reply;
        } else {
            EXPECT_EQ(reply, file.sandboxStop) << file.name;
        }
    }
}

// Under ThreadSanitizer every request runs with a count hook, which reads the time limit
// from the clock, and db.lua starts by checking that no hook is set.
constexpr bool kRequestsHooked = qel::kThreadSanitized;

// Under --trusted every file that needs neither the test library T nor a shell runs
// from its own file, as all.lua runs it, in a copy of the folder (some write files).
TEST(LuaTestFiles, RunUnderTrusted) {
    namespace fs = std::filesystem;
    const fs::path work = fs::path(QEL_LUA_TESTES_WORK);
    fs::remove_all(work);
    fs::copy(QEL_LUA_TESTES, work, fs::copy_options::recursive);
    const fs::path here = fs::current_path();
    fs::current_path(work);
    // Some files write beside themselves, in a folder of the test's own account, so the
    // workers keep that account.
    const passwd* account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    ServiceProcess service({"--workers", "1", "--trusted", "--user", account->pw_name});
    fs::current_path(here);
    LibraryClient client(service.port());
    for (const TestFile& file : kTestFiles) {
        if (kRequestsHooked && std::string_view(file.name) == "db") continue;
        const std::string reply = client.run(
            std::string("_port, _soft = true, true return dofile('") + file.name + ".lua')");
        EXPECT_NE(reply.rfind("error: ", 0), 0u) << file.name << ": " << reply;
    }
}

} // namespace
