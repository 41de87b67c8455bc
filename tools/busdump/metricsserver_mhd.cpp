// The metrics endpoint on libmicrohttpd: one internal polling thread, owned by the daemon that
// MHD_start_daemon starts and MHD_stop_daemon joins.
#include <microhttpd.h>

#include <boost/asio/ip/tcp.hpp>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/busdump/metricsserver.h"
#include "platform/threadpriority.h"

namespace busdump {

namespace {

// A scraper that stalls is dropped after this long; a few may be served at once.
constexpr unsigned CONNECTION_TIMEOUT_SECONDS = 10;
constexpr unsigned CONNECTION_LIMIT = 32;
constexpr const char* OPENMETRICS_ACCEPT = "application/openmetrics-text";
// What the server says at start is kept for the refusal; later lines (clients' faults) no more.
constexpr std::size_t ERROR_TEXT_LIMIT = 1024;

void keep_error(void* cls, const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    auto* error = static_cast<std::string*>(cls);
    if (error->size() > ERROR_TEXT_LIMIT) return;
    *error += line;
    while (!error->empty() && (error->back() == '\n' || error->back() == ' ')) error->pop_back();
    *error += "; ";
}

MHD_Result reply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type,
                 const char* allow = nullptr) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t* upload_size, void**) {
    const auto* snapshot = static_cast<const MetricsSnapshot*>(cls);
    // The server's thread writes the texts of hundreds of senders (milliseconds): below the
    // receiving thread, which it must never hold up where the two share a core.
    static thread_local const bool lowered = platform::lower_calling_thread_priority();
    (void)lowered;
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        // A body is never read: refuse at once.
        *upload_size = 0;
        return reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain", "GET, HEAD");
    }
    if (std::strcmp(url, MetricsServer::PATH) != 0)
        return reply(connection, MHD_HTTP_NOT_FOUND, "busdump serves /metrics\n", "text/plain");
    const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
    const bool openmetrics = accept && std::strstr(accept, OPENMETRICS_ACCEPT);
    const auto text = snapshot->text(openmetrics ? MetricsFamilies::Format::openmetrics : MetricsFamilies::Format::prometheus);
    return reply(connection, MHD_HTTP_OK, *text, openmetrics ? MetricsServer::OPENMETRICS_TYPE : MetricsServer::PROMETHEUS_TYPE);
}

}  // namespace

struct MetricsServer::Daemon {
    MHD_Daemon* handle = nullptr;
    std::string error;
};

bool MetricsServer::available() { return true; }

MetricsServer::MetricsServer(std::shared_ptr<const MetricsSnapshot> snapshot)
    : snapshot_(std::move(snapshot)), daemon_(std::make_unique<Daemon>()) {}

MetricsServer::~MetricsServer() { stop(); }

bool MetricsServer::start(const std::string& address, uint16_t port, std::string& error) {
    boost::system::error_code ec;
    const boost::asio::ip::address_v4 ip = boost::asio::ip::make_address_v4(address, ec);
    if (ec) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    boost::asio::ip::tcp::endpoint where(ip, port);
    daemon_->error.clear();
    daemon_->handle = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ERROR_LOG, port, nullptr, nullptr, &answer,
        const_cast<MetricsSnapshot*>(snapshot_.get()), MHD_OPTION_SOCK_ADDR, where.data(),
        MHD_OPTION_CONNECTION_TIMEOUT, CONNECTION_TIMEOUT_SECONDS, MHD_OPTION_CONNECTION_LIMIT, CONNECTION_LIMIT,
        MHD_OPTION_EXTERNAL_LOGGER, &keep_error, &daemon_->error, MHD_OPTION_END);
    if (!daemon_->handle) {
        error = daemon_->error.empty() ? "the HTTP server did not start" : daemon_->error;
        if (error.size() >= 2 && error.compare(error.size() - 2, 2, "; ") == 0) error.resize(error.size() - 2);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_->handle, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : port;
    return true;
}

void MetricsServer::stop() {
    if (!daemon_ || !daemon_->handle) return;
    MHD_stop_daemon(daemon_->handle);
    daemon_->handle = nullptr;
}

}  // namespace busdump
