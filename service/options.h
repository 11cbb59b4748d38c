// options.h - the command line of qel-lua-service.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "address_range.h"
#include "log.h"
#include "request_limits.h"

namespace qel {

// --metrics: "ADDRESS:PORT" with a numeric IPv4 address, or "[IPV6]:PORT"; port 0 for
// any free one.
struct MetricsAddress {
    std::string host;
    int port = 0;
    bool ipv6 = false;

    static std::optional<MetricsAddress> parse(const std::string& text);
};

struct ServiceOptions {
    std::string bind = "tcp://127.0.0.1:5555";
    int workers = 1;
    Limits limits;
    // Reply bytes all peers together may leave unread (--max-unread; 0 for no bound);
    // without the flag, --max-memory.
    std::optional<std::size_t> maxUnread;
    std::vector<AddressRange> allow; // --allow ranges; empty admits every peer
    // --preload files, in the order given: each worker runs them in every Lua state.
    std::vector<std::string> preload;
    bool verbose = false;
    LogFormat logFormat = LogFormat::Text; // --log-format
    std::optional<MetricsAddress> metrics; // --metrics; none by default
    std::string user = "nobody";           // the workers' account when the service runs as root
    // The arguments as given, which each worker process is started with.
    std::vector<std::string> arguments;
    // In a worker process (the internal --worker=PID), its supervisor's pid; else 0.
    pid_t supervisor = 0;
};

enum class ParseOutcome { Run, ExitSuccess, ExitFailure };

// Parses argv into options. Help and version text go to standard output, errors
// to standard error, each naming the program.
ParseOutcome parseOptions(int argc, char** argv, ServiceOptions& options);

} // namespace qel
