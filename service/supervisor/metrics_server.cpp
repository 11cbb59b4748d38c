// metrics_server.cpp - the listener behind --metrics. libmicrohttpd polls on a thread of
// its own (epoll where it can, so the supervisor's high descriptor numbers are no
// problem), keeps few connections and drops idle ones, so scrapers cost the loop nothing.
#include "metrics_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>

namespace qel {

namespace {

// Scrapers connected at once, and how long an idle one keeps its connection.
constexpr unsigned kConnections = 16;
constexpr unsigned kIdleSeconds = 10;
constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

MHD_Result respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   const char* type) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
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
    MHD_stop_daemon(daemon);
}

MetricsServer::MetricsServer(const MetricsAddress& address, const Metrics& metrics) {
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
    daemon_.reset(MHD_start_daemon(
        flags, 1, nullptr, nullptr, &answer, const_cast<Metrics*>(&metrics), MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&storage), MHD_OPTION_CONNECTION_LIMIT, kConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_END));
    if (!daemon_)
        throw std::runtime_error("cannot listen for metrics on " + address.host + ":" +
                                 std::to_string(address.port) + ": " + std::strerror(errno));
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_LISTEN_FD);
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
