// lua_args_test.cpp - examples/lua_args.c against the real service: the hostile strings of
// tests/corpus/hostile_strings.txt arrive byte for byte, integers at both 64-bit ends and
// awkward floats arrive exactly, and the script keeps its own line numbers.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "-" is the empty value; anything else is two hexadecimal digits for each byte.
bool fromHex(const std::string& digits, std::string& bytes) {
    if (digits == "-") return true;
    if (digits.empty() || digits.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = hexDigit(digits[i]), low = hexDigit(digits[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

// The values of the corpus the bindings' tests read too: one a line, a note after a
// space, "#" lines and blank lines skipped. Any other line, or no value at all, fails the
// test rather than shrinking what it covers.
::testing::AssertionResult readCorpus(const std::string& path, std::vector<std::string>& values) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return ::testing::AssertionFailure() << path << " cannot be read";
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        std::string value;
        if (!fromHex(line.substr(0, line.find(' ')), value))
            return ::testing::AssertionFailure()
                   << path << ":" << number << ": not a value: " << line;
        values.push_back(value);
    }
    if (values.empty()) return ::testing::AssertionFailure() << path << " holds no value";
    return ::testing::AssertionSuccess();
}

// ctest names the corpus; run by hand, the test reads the source tree's.
std::string corpusPath() {
    const char* named = std::getenv("QEL_HOSTILE_STRINGS");
    return named && *named ? named : QEL_HOSTILE_STRINGS_DEFAULT;
}

std::string describe(double value) {
    if (std::isnan(value)) return "float nan";
    char text[64];
    std::snprintf(text, sizeof text, "float %a", value);
    return text;
}

} // namespace

TEST_F(LuaArgsTest, HostileStringsArriveByteForByte) {
    std::vector<std::string> strings;
    ASSERT_TRUE(readCorpus(corpusPath(), strings));
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
