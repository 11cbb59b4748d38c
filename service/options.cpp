// options.cpp - parsing of qel-lua-service's flags; every value is checked so that a
// typo stops the service at start-up instead of running it with a surprising limit.
#include "options.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <netinet/in.h>
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

// More workers than this is taken for a typo: each is a process with a Lua state of its
// own, and the supervisor looks at every one on each turn of its loop.
constexpr std::uint64_t kMaxWorkers = 1024;
// 2^64, the first whole number a std::uint64_t cannot hold.
constexpr double kCountEnd = 18446744073709551616.0;
// What the suffixes k, M and G multiply by: powers of 1000 for counts, 1024 for bytes.
constexpr double kCountUnit = 1000;
constexpr double kByteUnit = 1024;
// The width of the help's option column.
constexpr int kHelpColumn = 22;

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
    if (!std::isfinite(value) || value < 0 || value != std::floor(value) || value >= kCountEnd) {
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
         const auto n = parseCount(text, kCountUnit);
         if (!n || *n < 1 || *n > kMaxWorkers) return false;
         o.workers = static_cast<int>(*n);
         return true;
     }},
    {"--fresh", nullptr, "a new Lua state for every request",
     [](const char*, ServiceOptions& o) { return o.limits.fresh = true; }},
    {"--max-instructions", "N", "VM instructions per request (default 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, kCountUnit);
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
         const auto n = parseCount(text, kByteUnit);
         if (n) o.limits.maxMemory = toSize(*n);
         return n.has_value();
     }},
    {"--max-state", "BYTES",
     "memory a Lua state may keep between requests; past it after a full\n"
     "collection the state is rebuilt, so every request has at least\n"
     "--max-memory minus this (default: half of --max-memory, 0 = none;\n"
     "at most --max-memory)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, kByteUnit);
         if (n) o.limits.maxState = toSize(*n);
         return n.has_value();
     }},
    {"--max-request", "BYTES", "size of a request (default 64M, 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, kByteUnit);
         if (n) o.limits.maxRequest = toSize(*n);
         return n.has_value();
     }},
    {"--max-unread", "BYTES",
     "reply bytes that all peers together may leave unread before peers\n"
     "holding more than their share that do not read are cut off (default:\n"
     "--max-memory, 0 = none)",
     [](const char* text, ServiceOptions& o) {
         const auto n = parseCount(text, kByteUnit);
         if (n) o.maxUnread = toSize(*n);
         return n.has_value();
     }},
    {"--user", "NAME", "account the workers run as when started as root (default nobody)",
     [](const char* text, ServiceOptions& o) {
         o.user = text;
         return getpwnam(text) != nullptr;
     }},
    {"--preload", "FILE",
     "run this Lua file in every Lua state before it serves; what it defines\n"
     "is read-only to requests (repeatable, run in the order given)",
     [](const char* text, ServiceOptions& o) {
         o.preload.emplace_back(text);
         return *text != '\0';
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
    {"--metrics", "ADDRESS:PORT",
     "serve Prometheus metrics at http://ADDRESS:PORT/metrics, a numeric\n"
     "address ([IPV6]:PORT for IPv6; port 0 for a free one, which is\n"
     "logged); off by default; no authentication, so keep it on loopback",
     [](const char* text, ServiceOptions& o) {
         o.metrics = MetricsAddress::parse(text);
         return o.metrics.has_value();
     }},
    {"--log-format", "FORMAT",
     "text (default) or json: each line the supervisor writes to standard\n"
     "error as one JSON object",
     [](const char* text, ServiceOptions& o) {
         const std::string_view format = text;
         if (format != "text" && format != "json") return false;
         o.logFormat = format == "json" ? LogFormat::Json : LogFormat::Text;
         return true;
     }},
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
            std::printf("  %-*s %s\n", kHelpColumn, start == 0 ? left.c_str() : "",
                        text.substr(start, end - start).c_str());
            start = end + 1;
        }
        std::printf("  %-*s %s\n", kHelpColumn, start == 0 ? left.c_str() : "",
                    text.c_str() + start);
    };
    for (const Option& option : kOptions)
        line(std::string(option.name) + (option.value ? std::string(" ") + option.value : ""),
             option.help);
    line("--help", "show this help and exit");
    line("--version", "show the version and exit");
    std::fputs("\nBYTES and N are whole numbers as strtod reads them (65536, 1e6, 0x10000, 1.5k),\n"
               "optionally followed by k, M or G (powers of 1024 for BYTES, of 1000 for N) and\n"
               "then B or iB. SIGINT or SIGTERM finish the requests that already arrived, answer\n"
               "them and exit with status 0.\n",
               stdout);
}

const Option* findOption(const std::string& name) {
    for (const Option& option : kOptions) {
        if (name == option.name) return &option;
    }
    return nullptr;
}

// Internal: this process is a worker of the supervisor with this pid.
bool takeWorker(const char* value, ServiceOptions& options) {
    const auto pid = parseCount(value, kCountUnit);
    if (!pid || *pid == 0 || *pid > static_cast<std::uint64_t>(INT32_MAX)) {
        fail("invalid value '%s' for option '%s'", value, "--worker");
        return false;
    }
    options.supervisor = static_cast<pid_t>(*pid);
    return true;
}

// Applies argv[i], an option, with its value given inline or as the next argument (i
// then moves past it); false, said on standard error, when the value is missing,
// unwanted or invalid.
bool takeOption(const Option& option, const char* inlineValue, int argc, char** argv, int& i,
                ServiceOptions& options) {
    options.arguments.emplace_back(argv[i]);
    const char* text = inlineValue;
    if (option.value == nullptr) {
        if (text != nullptr) {
            fail("option '%s' takes no value", option.name);
            return false;
        }
    } else if (text == nullptr) {
        if (i + 1 >= argc) {
            fail("option '%s' needs a value", option.name);
            return false;
        }
        text = argv[++i];
        options.arguments.emplace_back(text);
    }
    if (!option.apply(text, options)) {
        fail("invalid value '%s' for option '%s'", text, option.name);
        return false;
    }
    return true;
}

} // namespace

std::optional<MetricsAddress> MetricsAddress::parse(const std::string& text) {
    MetricsAddress address;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return std::nullopt;
    address.host = text.substr(0, colon);
    if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
        address.host = address.host.substr(1, address.host.size() - 2);
        address.ipv6 = true;
    }
    char* end = nullptr;
    const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535 || !std::isdigit(text[colon + 1]))
        return std::nullopt;
    address.port = static_cast<int>(port);
    unsigned char bytes[sizeof(in6_addr)];
    if (inet_pton(address.ipv6 ? AF_INET6 : AF_INET, address.host.c_str(), bytes) != 1)
        return std::nullopt;
    return address;
}

ParseOutcome parseOptions(int argc, char** argv, ServiceOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const std::size_t eq = arg.substr(0, 2) == "--" ? arg.find('=') : std::string_view::npos;
        const std::string name(arg.substr(0, eq));
        const char* inlineValue = eq != std::string_view::npos ? argv[i] + eq + 1 : nullptr;

        // A switch given a value is a typo, not a request for help or the version.
        if ((name == "--help" || name == "--version") && inlineValue != nullptr) {
            fail("option '%s' takes no value", name.c_str());
            return ParseOutcome::ExitFailure;
        }
        if (name == "--help" || name == "-h") {
            printUsage();
            return ParseOutcome::ExitSuccess;
        }
        if (name == "--version") {
            std::printf("qel-lua-service %s (%s)\n", QEL_SERVICE_VERSION, LUA_RELEASE);
            return ParseOutcome::ExitSuccess;
        }
        bool taken = false;
        if (name == "--worker" && inlineValue != nullptr) {
            taken = takeWorker(inlineValue, options);
        } else if (const Option* option = findOption(name)) {
            taken = takeOption(*option, inlineValue, argc, argv, i, options);
        } else {
            fail("unknown option '%s'", argv[i]);
        }
        if (!taken) return ParseOutcome::ExitFailure;
    }
    // Checked once both are known, whichever order they came in: a state allowed more
    // than the whole limit would promise requests less than nothing.
    const Limits& limits = options.limits;
    if (limits.maxState && limits.maxMemory != 0 && *limits.maxState > limits.maxMemory) {
        fail("option '%s' is above '%s'", "--max-state", "--max-memory");
        return ParseOutcome::ExitFailure;
    }
    return ParseOutcome::Run;
}

} // namespace qel
