// metrics_server.cpp - the listener behind --metrics. libmicrohttpd polls on a thread of
// its own (epoll where it can, so the supervisor's high descriptor numbers are no
// problem), keeps few connections and drops idle ones, so scrapers cost the loop nothing.
// The library is loaded here, only when a listener starts, rather than linked: linked, it
// and GnuTLS behind it would be mapped into every jailed worker, which never serves HTTP.
#include "metrics_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>

namespace qel {

namespace {

// Scrapers connected at once, and how long an idle one keeps its connection.
constexpr unsigned kConnections = 16;
constexpr unsigned kIdleSeconds = 10;
constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
// The soname of the ABI <microhttpd.h> describes; the package depends on its package.
constexpr char kLibrary[] = "libmicrohttpd.so.12";

// The functions of libmicrohttpd used here, typed from <microhttpd.h> so that a change of
// signature there fails the build instead of the call.
struct Microhttpd {
    decltype(&MHD_start_daemon) startDaemon = nullptr;
    decltype(&MHD_stop_daemon) stopDaemon = nullptr;
    decltype(&MHD_get_daemon_info) getDaemonInfo = nullptr;
    decltype(&MHD_create_response_from_buffer) createResponseFromBuffer = nullptr;
    decltype(&MHD_add_response_header) addResponseHeader = nullptr;
    decltype(&MHD_queue_response) queueResponse = nullptr;
    decltype(&MHD_destroy_response) destroyResponse = nullptr;
};

template <typename Function> void lookUp(void* library, Function& function, const char* name) {
    void* address = dlsym(library, name);
    if (address == nullptr)
        throw std::runtime_error(std::string("cannot use ") + kLibrary + " for --metrics: " + name +
                                 " is missing");
    function = reinterpret_cast<Function>(address);
}

// RTLD_LOCAL keeps its symbols, and those of what it pulls in, out of the names other
// libraries resolve against; RTLD_NOW binds them all here, so a library that cannot be
// used stops the start rather than a scrape.
Microhttpd load() {
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error(std::string("cannot load ") + kLibrary +
                                 " for --metrics: " + (why != nullptr ? why : "unknown error"));
    }
    Microhttpd functions;
    try {
        lookUp(library, functions.startDaemon, "MHD_start_daemon");
        lookUp(library, functions.stopDaemon, "MHD_stop_daemon");
        lookUp(library, functions.getDaemonInfo, "MHD_get_daemon_info");
        lookUp(library, functions.createResponseFromBuffer, "MHD_create_response_from_buffer");
        lookUp(library, functions.addResponseHeader, "MHD_add_response_header");
        lookUp(library, functions.queueResponse, "MHD_queue_response");
        lookUp(library, functions.destroyResponse, "MHD_destroy_response");
    } catch (const std::runtime_error&) {
        dlclose(library);
        throw;
    }
    return functions;
}

// Loaded once, by the first listener, and never unloaded: the library keeps state of its
// own (and GnuTLS's) for the life of the process, and unloading would gain nothing.
// Throws std::runtime_error, naming the library, when it cannot be had.
const Microhttpd& microhttpd() {
    static const Microhttpd functions = load();
    return functions;
}

MHD_Result respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   const char* type) {
    const Microhttpd& mhd = microhttpd();
    MHD_Response* response = mhd.createResponseFromBuffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    mhd.addResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    const MHD_Result queued = mhd.queueResponse(connection, status, response);
    mhd.destroyResponse(response);
    return queued;
}

// Called on libmicrohttpd's thread for each request; it must not throw into C.
MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
    try {
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            return respond(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain");
        }
        if (std::strcmp(url, "/metrics") != 0)
            return respond(connection, MHD_HTTP_NOT_FOUND, "see /metrics\n", "text/plain");
        return respond(connection, MHD_HTTP_OK, renderMetrics(*static_cast<const Metrics*>(cls)),
                       kContentType);
    } catch (const std::exception&) {
        return MHD_NO; // out of memory: the connection is closed
    }
}

} // namespace

void MetricsServer::Stop::operator()(MHD_Daemon* daemon) const {
    microhttpd().stopDaemon(daemon);
}

MetricsServer::MetricsServer(const MetricsAddress& address, const Metrics& metrics) {
    const Microhttpd& mhd = microhttpd();
    sockaddr_storage storage{};
    if (address.ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(address.port));
        inet_pton(AF_INET6, address.host.c_str(), &in6->sin6_addr);
    } else {
        auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<std::uint16_t>(address.port));
        inet_pton(AF_INET, address.host.c_str(), &in4->sin_addr);
    }
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD;
    if (address.ipv6) flags |= MHD_USE_IPv6;
    // The port argument is ignored when an address is given, but must not be 0 to the
    // library's checks; the address carries the real one.
    daemon_.reset(mhd.startDaemon(
        flags, 1, nullptr, nullptr, &answer, const_cast<Metrics*>(&metrics), MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&storage), MHD_OPTION_CONNECTION_LIMIT, kConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_END));
    if (!daemon_)
        throw std::runtime_error("cannot listen for metrics on " + address.host + ":" +
                                 std::to_string(address.port) + ": " + std::strerror(errno));
    const MHD_DaemonInfo* info = mhd.getDaemonInfo(daemon_.get(), MHD_DAEMON_INFO_LISTEN_FD);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (info != nullptr &&
        getsockname(info->listen_fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        port_ = ntohs(address.ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                   : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
}

MetricsServer::~MetricsServer() = default;

} // namespace qel
