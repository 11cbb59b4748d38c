// options.cpp - parsing of qel-lua-service's flags; every value is checked so that a
// typo stops the service at start-up instead of running it with a surprising limit.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include <lua.hpp>

#include "address_range.h"

#ifndef QEL_SERVICE_VERSION
#define QEL_SERVICE_VERSION "unknown"
#endif

namespace qel {

namespace {

constexpr char kUsage[] =
    "Usage: qel-lua-service [OPTION]...\n"
    "Runs each ZeroMQ request message as a Lua 5.4 chunk and answers with its output.\n"
    "\n"
    "  --bind ENDPOINT         endpoint to bind (default tcp://127.0.0.1:5555);\n"
    "                          the bound endpoint is printed on the first output line\n"
    "  --workers N             worker processes, each with its own Lua state (default 1)\n"
    "  --fresh                 a new Lua state for every request\n"
    "  --max-instructions N    VM instructions per request (default 0 = none)\n"
    "  --max-seconds S         wall-clock seconds per request (default 30, 0 = none)\n"
    "  --max-memory BYTES      memory per Lua state and its reply (default 256M, 0 = none)\n"
    "  --max-request BYTES     size of a request (default 64M, 0 = none)\n"
    "  --trusted               open all standard libraries (no sandbox)\n"
    "  --allow CIDR            admit only peers in this address range (repeatable)\n"
    "  --verbose               log one line per request to standard error\n"
    "  --help                  show this help and exit\n"
    "  --version               show the version and exit\n"
    "\n"
    "BYTES and N accept a suffix k, M or G (powers of 1024 for BYTES, of 1000 for N)\n"
    "and N also a decimal exponent (1e9). SIGINT or SIGTERM finish the requests that\n"
    "already arrived, answer them and exit with status 0.\n";

// A non-negative whole number, with an optional exponent or unit suffix.
std::optional<std::uint64_t> parseCount(const char* text, double unit) {
    errno = 0;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || errno == ERANGE) return std::nullopt;
    if (*end != '\0') {
        double scale = 1;
        switch (*end) {
        case 'k':
        case 'K':
            scale = unit;
            break;
        case 'm':
        case 'M':
            scale = unit * unit;
            break;
        case 'g':
        case 'G':
            scale = unit * unit * unit;
            break;
        default:
            return std::nullopt;
        }
        if (end[1] != '\0' && std::strcmp(end + 1, "iB") != 0 && std::strcmp(end + 1, "B") != 0) {
            return std::nullopt;
        }
        value *= scale;
    }
    if (!std::isfinite(value) || value < 0 || value != std::floor(value) ||
        value >= 18446744073709551616.0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

std::optional<double> parseSeconds(const char* text) {
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value < 0) {
        return std::nullopt;
    }
    return value;
}

void fail(const char* format, const char* a, const char* b = "") {
    std::fputs("qel-lua-service: ", stderr);
    std::fprintf(stderr, format, a, b);
    std::fputs("\nTry 'qel-lua-service --help' for more information.\n", stderr);
}

std::size_t toSize(std::uint64_t value) {
    return value > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                           : static_cast<std::size_t>(value);
}

} // namespace

ParseOutcome parseOptions(int argc, char** argv, ServiceOptions& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const char* inlineValue = nullptr;
        std::string name;
        if (arg.substr(0, 2) == "--" && arg.find('=') != std::string_view::npos) {
            const std::size_t eq = arg.find('=');
            name = std::string(arg.substr(0, eq));
            inlineValue = argv[i] + eq + 1;
        } else {
            name = std::string(arg);
        }
        // Fetches the flag's value, from "--flag=value" or the next argument.
        auto value = [&]() -> const char* {
            if (inlineValue != nullptr) return inlineValue;
            if (i + 1 >= argc) return nullptr;
            return argv[++i];
        };
        auto noValue = [&]() {
            if (inlineValue == nullptr) return true;
            fail("option '%s' takes no value", name.c_str());
            return false;
        };

        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return ParseOutcome::ExitSuccess;
        }
        if (name == "--version") {
            std::printf("qel-lua-service %s (%s)\n", QEL_SERVICE_VERSION, LUA_RELEASE);
            return ParseOutcome::ExitSuccess;
        }
        if (name != "--worker") options.arguments.emplace_back(argv[i]);
        if (name == "--fresh" || name == "--trusted" || name == "--verbose") {
            if (!noValue()) return ParseOutcome::ExitFailure;
            if (name == "--fresh") options.limits.fresh = true;
            if (name == "--trusted") options.limits.trusted = true;
            if (name == "--verbose") options.verbose = true;
            continue;
        }
        if (name == "--worker" && inlineValue != nullptr) {
            // Internal: this process is a worker of the supervisor with this pid.
            const auto pid = parseCount(inlineValue, 1000);
            if (!pid || *pid == 0 || *pid > static_cast<std::uint64_t>(INT32_MAX)) {
                fail("invalid value '%s' for option '%s'", inlineValue, name.c_str());
                return ParseOutcome::ExitFailure;
            }
            options.supervisor = static_cast<pid_t>(*pid);
            continue;
        }
        const bool takesValue = name == "--bind" || name == "--workers" ||
                                name == "--max-instructions" || name == "--max-seconds" ||
                                name == "--max-memory" || name == "--max-request" ||
                                name == "--allow";
        if (!takesValue) {
            fail("unknown option '%s'", argv[i]);
            return ParseOutcome::ExitFailure;
        }
        const char* text = value();
        if (text != nullptr && inlineValue == nullptr) options.arguments.emplace_back(text);
        if (text == nullptr) {
            fail("option '%s' needs a value", name.c_str());
            return ParseOutcome::ExitFailure;
        }
        bool ok = true;
        if (name == "--bind") {
            options.bind = text;
            ok = !options.bind.empty();
        } else if (name == "--workers") {
            const auto n = parseCount(text, 1000);
            ok = n && *n >= 1 && *n <= 1024;
            if (ok) options.workers = static_cast<int>(*n);
        } else if (name == "--max-instructions") {
            const auto n = parseCount(text, 1000);
            ok = n.has_value();
            if (ok) options.limits.maxInstructions = *n;
        } else if (name == "--max-seconds") {
            const auto s = parseSeconds(text);
            ok = s.has_value();
            if (ok) options.limits.maxSeconds = *s;
        } else if (name == "--max-memory" || name == "--max-request") {
            const auto n = parseCount(text, 1024);
            ok = n.has_value();
            if (ok) {
                (name == "--max-memory" ? options.limits.maxMemory : options.limits.maxRequest) =
                    toSize(*n);
            }
        } else if (name == "--allow") {
            ok = AddressRange::parse(text).has_value();
            if (ok) options.allow.emplace_back(text);
        }
        if (!ok) {
            fail("invalid value '%s' for option '%s'", text, name.c_str());
            return ParseOutcome::ExitFailure;
        }
    }
    return ParseOutcome::Run;
}

} // namespace qel
