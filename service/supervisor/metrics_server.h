// metrics_server.h - --metrics: an HTTP listener on its own thread (libmicrohttpd's) that
// answers GET /metrics with the Prometheus text of the loop's counters. It reads the
// counters and nothing else, so a slow or hostile scraper never reaches the loop.
#pragma once

#include <memory>

#include "metrics.h"
#include "options.h"

struct MHD_Daemon;

namespace qel {

class MetricsServer {
  public:
    // Binds exactly `address` and starts serving `metrics`, which must outlive it.
    // Throws std::runtime_error, saying why, when it cannot.
    MetricsServer(const MetricsAddress& address, const Metrics& metrics);
    // Stops the thread; a scrape in progress is finished or dropped first.
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // The port it listens on (the one chosen, for port 0).
    int port() const { return port_; }

  private:
    struct Stop {
        void operator()(MHD_Daemon* daemon) const;
    };
    std::unique_ptr<MHD_Daemon, Stop> daemon_;
    int port_ = 0;
};

} // namespace qel
