#include "gateway/monitoring/observable.h"

void Observable::attach(std::shared_ptr<Observer> observer) {
    std::lock_guard<std::mutex> lock(observers_mutex_);
    observers_.push_front(std::move(observer));
}

void Observable::notify_observers() {
    std::lock_guard<std::mutex> lock(observers_mutex_);
    // Clear before calling out, so that a change made while the observers run is not lost.
    if (changed_.exchange(false, std::memory_order_acq_rel))
        for (const auto& observer : observers_) observer->update(this);
}
