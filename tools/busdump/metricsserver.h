// busdump's metrics endpoint: an embedded HTTP server that answers GET /metrics with the latest
// snapshot, in OpenMetrics when the client asks for it (as Prometheus does) and in the Prometheus
// text format otherwise. The server's threads are its own: start() starts them, stop() and the
// destructor join them. They read the snapshot only; reception never waits on them.
// Built on libmicrohttpd where the build found it; elsewhere start() refuses with the reason.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/busdump/metricssnapshot.h"

namespace busdump {

class MetricsServer {
public:
    static constexpr const char* PATH = "/metrics";
    static constexpr const char* OPENMETRICS_TYPE = "application/openmetrics-text; version=1.0.0; charset=utf-8";
    static constexpr const char* PROMETHEUS_TYPE = "text/plain; version=0.0.4; charset=utf-8";

    explicit MetricsServer(std::shared_ptr<const MetricsSnapshot> snapshot);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on address:port (IPv4; port 0: any free one). False with the reason in `error`.
    bool start(const std::string& address, uint16_t port, std::string& error);
    void stop();
    // The port listened on, once started.
    uint16_t port() const { return port_; }

    // Whether this build has an HTTP server at all.
    static bool available();

private:
    struct Daemon;

    std::shared_ptr<const MetricsSnapshot> snapshot_;
    std::unique_ptr<Daemon> daemon_;
    uint16_t port_ = 0;
};

}  // namespace busdump
