// The producer side of the statistics notifications: an observer list and a changed flag.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>

#include "gateway/monitoring/observer.h"

class Observable {
public:
    Observable() = default;
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;
    virtual ~Observable() = default;

    // Inserts at the front: the list runs from the most recently attached observer to the first.
    void attach(std::shared_ptr<Observer> observer);

    // When changed, calls update(this) on every observer in list order; clears changed in any case.
    void notify_observers();

    void set_changed() { changed_.store(true, std::memory_order_release); }
    bool has_changed() const { return changed_.load(std::memory_order_acquire); }

private:
    std::mutex observers_mutex_;  // held while inserting and while walking the list
    std::list<std::shared_ptr<Observer>> observers_;
    std::atomic<bool> changed_{false};
};
