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
#include <pwd.h>
#include <string_view>

#include <lua.hpp>

#include "address_range.h"

#ifndef QEL_SERVICE_VERSION
#define QEL_SERVICE_VERSION "unknown"
#endif

namespace qel {

namespace {

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

// Each option once: its name, its value's name (none for a switch), its help, and how
// its value is checked and stored. The help text is made from this table too.
struct Option {
    const char* name;
    const char* value;
    const char* help;
    bool (*apply)(const char* text, ServiceOptions& options);
};

const Option kOptions[] = {
    {"--bind", "ENDPOINT",
     "endpoint to bind (default tcp://127.0.0.1:5555); the bound endpoint\n"
     "is printed on the first output line",
     [](const char* text, ServiceOptions& o) {
         o.bind = text;
         return !o.bind.empty();
     }},
    {"--workers", "N", "worker processes, each with its own Lua state (default 1)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, 1000);
         if (!n || *n < 1 || *n > 1024) return false;
         o.workers = static_cast<int>(*n);
         return true;
     }},
    {"--fresh", nullptr, "a new Lua state for every request",
     [](const char*, ServiceOptions& o) { return o.limits.fresh = true; }},
    {"--max-instructions", "N", "VM instructions per request (default 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, 1000);
         if (n) o.limits.maxInstructions = *n;
         return n.has_value();
     }},
    {"--max-seconds", "S", "wall-clock seconds per request (default 30, 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto s = parseSeconds(text);
         if (s) o.limits.maxSeconds = *s;
         return s.has_value();
     }},
    {"--max-memory", "BYTES", "memory per Lua state and its reply (default 256M, 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, 1024);
         if (n) o.limits.maxMemory = toSize(*n);
         return n.has_value();
     }},
    {"--max-request", "BYTES", "size of a request (default 64M, 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, 1024);
         if (n) o.limits.maxRequest = toSize(*n);
         return n.has_value();
     }},
    {"--max-unread", "BYTES",
     "reply bytes that all peers together may leave unread before new\n"
     "requests are answered busy (default: --max-memory, 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, 1024);
         if (n) o.maxUnread = toSize(*n);
         return n.has_value();
     }},
    {"--user", "NAME", "account the workers run as when started as root (default nobody)",
     [](const char* text, ServiceOptions& o) {
         o.user = text;
         return getpwnam(text) != nullptr;
     }},
    {"--trusted", nullptr, "open all standard libraries (no sandbox)",
     [](const char*, ServiceOptions& o) { return o.limits.trusted = true; }},
    {"--allow", "CIDR", "admit only peers in this address range (repeatable)",
     [](const char* text, ServiceOptions& o) {
         auto range = AddressRange::parse(text);
         if (range) o.allow.push_back(*range);
         return range.has_value();
     }},
    {"--verbose", nullptr, "log one line per request to standard error",
     [](const char*, ServiceOptions& o) { return o.verbose = true; }},
};

void printUsage() {
    std::fputs("Usage: qel-lua-service [OPTION]...\n"
               "Runs each ZeroMQ request message as a Lua 5.4 chunk and answers with its "
               "output.\n\n",
               stdout);
    auto line = [](const std::string& left, const char* help) {
        std::string text(help);
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;) {
            std::printf("  %-22s %s\n", start == 0 ? left.c_str() : "",
                        text.substr(start, end - start).c_str());
            start = end + 1;
        }
        std::printf("  %-22s %s\n", start == 0 ? left.c_str() : "", text.c_str() + start);
    };
    for (const Option& option : kOptions)
        line(std::string(option.name) + (option.value ? std::string(" ") + option.value : ""),
             option.help);
    line("--help", "show this help and exit");
    line("--version", "show the version and exit");
    std::fputs("\nBYTES and N accept a suffix k, M or G (powers of 1024 for BYTES, of 1000 for N)\n"
               "and N also a decimal exponent (1e9). SIGINT or SIGTERM finish the requests that\n"
               "already arrived, answer them and exit with status 0.\n",
               stdout);
}

} // namespace

ParseOutcome parseOptions(int argc, char** argv, ServiceOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const std::size_t eq = arg.substr(0, 2) == "--" ? arg.find('=') : std::string_view::npos;
        const std::string name(arg.substr(0, eq));
        const char* inlineValue = eq != std::string_view::npos ? argv[i] + eq + 1 : nullptr;

        if (name == "--help" || name == "-h") {
            printUsage();
            return ParseOutcome::ExitSuccess;
        }
        if (name == "--version") {
            std::printf("qel-lua-service %s (%s)\n", QEL_SERVICE_VERSION, LUA_RELEASE);
            return ParseOutcome::ExitSuccess;
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
        const Option* option = nullptr;
        for (const Option& candidate : kOptions) {
            if (name == candidate.name) option = &candidate;
        }
        if (option == nullptr) {
            fail("unknown option '%s'", argv[i]);
            return ParseOutcome::ExitFailure;
        }
        options.arguments.emplace_back(argv[i]);
        const char* text = inlineValue;
        if (option->value == nullptr) {
            if (text != nullptr) {
                fail("option '%s' takes no value", name.c_str());
                return ParseOutcome::ExitFailure;
            }
        } else if (text == nullptr) {
            if (i + 1 >= argc) {
                fail("option '%s' needs a value", name.c_str());
                return ParseOutcome::ExitFailure;
            }
            text = argv[++i];
            options.arguments.emplace_back(text);
        }
        if (!option->apply(text, options)) {
            fail("invalid value '%s' for option '%s'", text, name.c_str());
            return ParseOutcome::ExitFailure;
        }
    }
    return ParseOutcome::Run;
}

} // namespace qel
