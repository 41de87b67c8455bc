// The latest metrics of busdump, handed from the receiving thread to the HTTP server's threads:
// the receiving thread replaces the families of a rendering whole, the server threads take a
// reference to them. Both only ever hold the lock to swap or copy one pointer, so a slow HTTP
// client never holds up reception. The exposition texts are written from the families by the
// first server thread that asks for each format, not by the receiving thread: they are the
// largest part of the work (milliseconds for hundreds of senders), and wanted only when scraped.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "tools/busdump/metricsfamilies.h"

namespace busdump {

class MetricsSnapshot {
public:
    MetricsSnapshot();

    void publish(MetricsFamilies families);
    // The exposition of the families last published (none before the first), in `format`.
    std::shared_ptr<const std::string> text(MetricsFamilies::Format format) const;

private:
    struct Published;

    mutable std::mutex mutex_;
    std::shared_ptr<Published> latest_;
};

}  // namespace busdump
