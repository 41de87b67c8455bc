// Builds without an HTTP server library (the Windows builds: Debian offers libmicrohttpd for
// Linux only): --metrics is refused at start with the reason.
#include "tools/busdump/metricsserver.h"

namespace busdump {

struct MetricsServer::Daemon {};

bool MetricsServer::available() { return false; }

MetricsServer::MetricsServer(std::shared_ptr<const MetricsSnapshot> snapshot) : snapshot_(std::move(snapshot)) {}

MetricsServer::~MetricsServer() = default;

bool MetricsServer::start(const std::string&, uint16_t, std::string& error) {
    error = "this busdump was built without the metrics endpoint (no HTTP server library for this platform); "
            "run busdump on Linux for --metrics";
    return false;
}

void MetricsServer::stop() {}

}  // namespace busdump
