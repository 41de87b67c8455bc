#include "tools/busdump/metricssnapshot.h"

namespace busdump {

MetricsSnapshot::MetricsSnapshot() : texts_(std::make_shared<const Texts>(Texts{"# EOF\n", ""})) {}

void MetricsSnapshot::publish(Texts texts) {
    auto fresh = std::make_shared<const Texts>(std::move(texts));
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.swap(fresh);
    // The texts replaced are freed after the lock is released (or by the last reader).
}

std::shared_ptr<const MetricsSnapshot::Texts> MetricsSnapshot::latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

}  // namespace busdump
