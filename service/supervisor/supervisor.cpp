// supervisor.cpp - the supervisor process around its serving loop: signals and
// descriptors prepared before any thread starts, the public socket and its access
// control, the workers started, the endpoint announced, and everything closed in order.
#include "supervisor.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>

#include <zmq.hpp>

#include "access_control.h"
#include "channel.h"
#include "descriptors.h"
#include "log.h"
#include "loop.h"
#include "metrics_server.h"
#include "notify.h"
#include "reports.h"
#include "signals.h"

namespace qel {

namespace {

// Time the socket gets to deliver the last replies when the service closes.
constexpr int kLingerMs = 500;
// ZeroMQ's own queue of requests per connection, for what arrives while every worker is
// busy and before the supervisor takes it in; large enough that the socket's flow-control
// messages stay rare.
constexpr int kSocketHwm = 16;
// A single request part may be this many times --max-request before ZeroMQ drops the
// connection, so a request somewhat too large still gets its error reply.
constexpr std::size_t kPartFactor = 2;

// ZeroMQ's I/O threads: one unless QEL_IO_THREADS says otherwise, for measuring whether
// more help; nothing when its value is not a number from 1 to kMaxIoThreads.
constexpr long kMaxIoThreads = 16;
std::optional<int> ioThreads() {
    const char* text = std::getenv("QEL_IO_THREADS");
    if (text == nullptr) return 1;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < 1 || n > kMaxIoThreads)
        return std::nullopt;
    return static_cast<int>(n);
}

void configureFront(zmq::socket_t& front, const ServiceOptions& options) {
    front.set(zmq::sockopt::linger, kLingerMs);
    front.set(zmq::sockopt::rcvhwm, kSocketHwm);
    front.set(zmq::sockopt::router_mandatory, true);
    const std::size_t limit = options.limits.maxRequest;
    if (limit != 0 && limit < static_cast<std::size_t>(INT64_MAX) / kPartFactor) {
        front.set(zmq::sockopt::maxmsgsize, static_cast<int64_t>(limit * kPartFactor));
    }
    if (isIpv6Endpoint(options.bind)) front.set(zmq::sockopt::ipv6, true);
    if (!options.allow.empty()) front.set(zmq::sockopt::zap_domain, kZapDomain);
}

std::unique_ptr<ZapHandler> accessControl(zmq::context_t& context, const ServiceOptions& options) {
    if (!options.allow.empty())
        return std::make_unique<ZapHandler>(context, options.allow, options.verbose);
    if (!isLoopbackEndpoint(options.bind)) {
        LogLine("warning", formatted("warning: %s is not a loopback address and no --allow "
                                     "is given; any peer that reaches it can run Lua here",
                                     options.bind.c_str()))
            .with("bind", options.bind)
            .write();
    }
    return nullptr;
}

// The --metrics listener, bound and said where; nothing when it cannot be had (said).
std::unique_ptr<MetricsServer> startExporter(const MetricsAddress& address,
                                             const Metrics& metrics) {
    std::unique_ptr<MetricsServer> exporter;
    try {
        exporter = std::make_unique<MetricsServer>(address, metrics);
    } catch (const std::runtime_error& e) {
        LogLine("error", e.what()).write();
        return nullptr;
    }
    const std::string host = address.ipv6 ? "[" + address.host + "]" : address.host;
    LogLine("metrics", formatted("metrics on http://%s:%d/metrics", host.c_str(), exporter->port()))
        .with("address", address.host)
        .with("port", exporter->port())
        .write();
    return exporter;
}

// Binds, starts the workers, says where it listens and serves; the exit status.
int serveOn(zmq::context_t& context, const ServiceOptions& options, int doorbell, int exe,
            SignalReader& signals, double startTime,
            const std::atomic<std::uint64_t>* accessDecisions) {
    zmq::socket_t front(context, zmq::socket_type::router);
    configureFront(front, options);
    try {
        front.bind(options.bind);
    } catch (const zmq::error_t& e) {
        LogLine("error", formatted("cannot bind %s: %s", options.bind.c_str(), e.what()))
            .with("bind", options.bind)
            .write();
        return 1;
    }
    Metrics metrics;
    metrics.startTime = startTime;
    metrics.accessDecisions = accessDecisions;
    // As many as the pool can ever have (a reload that would need more fails).
    metrics.workerHeapSlots = maxWorkerSlots(options.workers);
    metrics.workerHeap = std::make_unique<Series[]>(metrics.workerHeapSlots);
    ServingLoop loop(options, front, doorbell, exe, signals, metrics);
    // Declared after what it reads, so it stops first; bound before the workers start, so
    // an address that cannot be had stops the service at once.
    std::unique_ptr<MetricsServer> exporter;
    if (options.metrics && !(exporter = startExporter(*options.metrics, metrics))) return 1;
    if (!loop.start()) { // stopped before it could serve
        notify("STOPPING=1\nSTATUS=stopped before serving");
        return 0;
    }
    const std::string endpoint = front.get(zmq::sockopt::last_endpoint);
    std::printf("%s\n", endpoint.c_str());
    std::fflush(stdout);
    // Only now: the socket is bound and every worker has said it can serve, so the first
    // request a dependent unit sends is answered without waiting for a start.
    reportServing(endpoint, options.workers);
    loop.serve();
    reportStopped();
    return 0;
}

// Seconds since the epoch, for the metrics' start time.
double wallClock() {
    timespec started{};
    clock_gettime(CLOCK_REALTIME, &started);
    return static_cast<double>(started.tv_sec) + started.tv_nsec / 1e9;
}

// The context, its access control and the serving on them; the exit status.
int serveWith(int threads, const ServiceOptions& options, int doorbell, int exe,
              SignalReader& signals, double startTime) {
    int status = 1;
    try {
        zmq::context_t context(threads);
        std::unique_ptr<ZapHandler> zap = accessControl(context, options);
        // Shut down before the access control's thread is joined, however serving ends:
        // that thread leaves its receive only when the context says so.
        struct ShutDown {
            zmq::context_t& context;
            ~ShutDown() { context.shutdown(); }
        } shutDown{context};
        status = serveOn(context, options, doorbell, exe, signals, startTime,
                         zap ? zap->decisions() : nullptr);
    } catch (const std::exception& e) {
        LogLine("error", e.what()).write();
        status = 1;
    }
    return status;
}

} // namespace

int runSupervisor(const ServiceOptions& options) {
    setLogFormat(options.logFormat);
    const double startTime = wallClock();
    // Before any thread starts, so that the threads ZeroMQ and the access control start
    // inherit the blocked signals too.
    SignalReader signals;
    if (!signals.install()) {
        LogLine("error", formatted("cannot take signals: %s", std::strerror(errno))).write();
        return 1;
    }
    if (!prepareDescriptors()) return 1; // it has said why
    openNotify();                        // before any thread starts: it changes the environment
    const int exe = highDescriptor(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    const int doorbell = highDescriptor(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (exe < 0 || doorbell < 0) {
        LogLine("error", formatted("cannot prepare the workers: %s", std::strerror(errno))).write();
        return 1;
    }
    const std::optional<int> threads = ioThreads();
    if (!threads) {
        LogLine("error", formatted("QEL_IO_THREADS must be a number from 1 to %ld", kMaxIoThreads))
            .write();
        close(doorbell);
        close(exe);
        return 1;
    }
    const int status = serveWith(*threads, options, doorbell, exe, signals, startTime);
    close(doorbell);
    close(exe);
    return status;
}

} // namespace qel
