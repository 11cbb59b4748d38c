// lua_args_test.cpp - examples/lua_args.c against the real service: hostile strings arrive
// byte for byte, integers at both 64-bit ends and awkward floats arrive exactly, and the
// script keeps its own line numbers.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "clients.h"
#include "lua_args.h"
#include "service_process.h"

namespace {

class LuaArgsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { service_ = std::make_unique<ServiceProcess>(); }
    static void TearDownTestSuite() { service_.reset(); }

    // Runs SCRIPT with the arguments WRITE puts into the call.
    template <typename Write> static std::string call(const char* script, Write write) {
        lua_args args;
        lua_args_begin(&args, script);
        write(args);
        const std::unique_ptr<char, decltype(&std::free)> text(lua_args_end(&args), std::free);
        if (!text) return "(out of memory)";
        return LibraryClient(service_->port()).run(text.get());
    }

    static std::unique_ptr<ServiceProcess> service_;
};

std::unique_ptr<ServiceProcess> LuaArgsTest::service_;

std::string hex(const std::string& bytes) {
    std::string out;
    char pair[3];
    for (const unsigned char byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        out += pair;
    }
    return out;
}

// What the service is asked to say about a number argument, and what the test expects.
constexpr char kDescribeNumber[] =
    "local x = ... return math.type(x) .. ' ' .. (x ~= x and 'nan' or "
    "math.type(x) == 'integer' and string.format('%d', x) or string.format('%a', x))";

std::string describe(double value) {
    if (std::isnan(value)) return "float nan";
    char text[64];
    std::snprintf(text, sizeof text, "float %a", value);
    return text;
}

} // namespace

TEST_F(LuaArgsTest, HostileStringsArriveByteForByte) {
    std::string everyByte;
    for (int byte = 0; byte < 256; ++byte)
        everyByte += static_cast<char>(byte);
    const std::vector<std::string> strings = {
        "",
        "plain text",
        "\"'",
        "]]",
        "]=]",
        "[==[",
        "\\",
        "\\n\\\\",
        "\n",
        "\r\n",
        std::string("a\0b", 3),
        std::string("\0"
                    "123",
                    4), // an escaped byte followed by digits
        "\\z   x",
        "end) os.exit() (function()",
        "\"..os.exit()..\"",
        "\xff\xfe\x80 caf\xc3\xa9",
        everyByte,
    };
    for (const std::string& s : strings) {
        const std::string answer =
            call("return select('#', ...) .. ' ' .. "
                 "((...):gsub('.', function(c) return string.format('%02x', c:byte()) end))",
                 [&](lua_args& args) { lua_args_string(&args, s.data(), s.size()); });
        EXPECT_EQ(answer, "1 " + hex(s)) << hex(s);
    }
}

TEST_F(LuaArgsTest, NumbersArriveExactly) {
    for (const std::int64_t n :
         {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::min() + 1,
          std::int64_t{-1}, std::int64_t{0}, std::numeric_limits<std::int64_t>::max()}) {
        EXPECT_EQ(call(kDescribeNumber, [&](lua_args& args) { lua_args_integer(&args, n); }),
                  "integer " + std::to_string(n));
    }
    for (const double x :
         {0.0, -0.0, 1.0, -2.5, 0.1, DBL_MAX, -DBL_MAX, DBL_MIN,
          std::numeric_limits<double>::denorm_min(), HUGE_VAL, -HUGE_VAL, std::nan("")}) {
        EXPECT_EQ(call(kDescribeNumber, [&](lua_args& args) { lua_args_number(&args, x); }),
                  describe(x));
    }
}

TEST_F(LuaArgsTest, SeveralValuesAndATable) {
    const std::string answer =
        call("local a, b, c, t = ... return select('#', ...), tostring(a), tostring(b), "
             "tostring(c), #t, t[2], t['k\\0'] + 1",
             [](lua_args& args) {
                 lua_args_nil(&args);
                 lua_args_raw(&args, ", ");
                 lua_args_boolean(&args, 1);
                 lua_args_raw(&args, ", ");
                 lua_args_boolean(&args, 0);
                 lua_args_raw(&args, ", {");
                 lua_args_integer(&args, 7);
                 lua_args_raw(&args, ", ");
                 lua_args_string(&args, "two", 3);
                 lua_args_raw(&args, ", [");
                 lua_args_string(&args, "k\0", 2);
                 lua_args_raw(&args, "]=");
                 lua_args_number(&args, -1.5);
                 lua_args_raw(&args, "}");
             });
    EXPECT_EQ(answer, "4\tnil\ttrue\tfalse\t2\ttwo\t-0.5");
}

TEST_F(LuaArgsTest, TheScriptKeepsItsLineNumbers) {
    const char script[] = "local x = ...\n\nerror('on line 3')";
    EXPECT_EQ(call(script, [](lua_args& args) { lua_args_integer(&args, 1); }),
              LibraryClient(service_->port()).run(script));
}
