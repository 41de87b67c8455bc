#include "tools/busdump/metricssnapshot.h"

namespace busdump {

namespace {

constexpr std::size_t FORMATS = 2;

std::size_t slot(MetricsFamilies::Format format) { return format == MetricsFamilies::Format::openmetrics ? 0 : 1; }

}  // namespace

struct MetricsSnapshot::Published {
    explicit Published(MetricsFamilies f) : families(std::move(f)) {}

    const MetricsFamilies families;
    // Each format's text, written once by the first reader that asks for it.
    std::once_flag written[FORMATS];
    std::string texts[FORMATS];
};

MetricsSnapshot::MetricsSnapshot() : latest_(std::make_shared<Published>(MetricsFamilies())) {}

void MetricsSnapshot::publish(MetricsFamilies families) {
    auto fresh = std::make_shared<Published>(std::move(families));
    std::lock_guard<std::mutex> lock(mutex_);
    latest_.swap(fresh);
    // The families replaced are freed after the lock is released (or by the last reader).
}

std::shared_ptr<const std::string> MetricsSnapshot::text(MetricsFamilies::Format format) const {
    std::shared_ptr<Published> published;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        published = latest_;
    }
    const std::size_t i = slot(format);
    std::call_once(published->written[i], [&] { published->texts[i] = published->families.text(format); });
    // Shares the ownership of the whole: the text lives as long as a reader holds it.
    return std::shared_ptr<const std::string>(published, &published->texts[i]);
}

}  // namespace busdump
