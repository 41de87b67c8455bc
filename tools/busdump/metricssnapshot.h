// The latest exposition of busdump's metrics, handed from the receiving thread to the HTTP
// server's threads: the receiving thread replaces it whole, the server threads take a reference
// to the text they send. Both only ever hold the lock to swap or copy one pointer, so a slow
// HTTP client never holds up reception.
#pragma once

#include <memory>
#include <mutex>
#include <string>

namespace busdump {

class MetricsSnapshot {
public:
    struct Texts {
        std::string openmetrics;
        std::string prometheus;  // text format 0.0.4
    };

    MetricsSnapshot();

    void publish(Texts texts);
    // The texts last published (empty expositions before the first).
    std::shared_ptr<const Texts> latest() const;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Texts> texts_;
};

}  // namespace busdump
