// The consumer side of the statistics notifications.
#pragma once

class Observable;

class Observer {
public:
    virtual ~Observer() = default;
    // Called by an observable that has new statistics, on that observable's statistics thread.
    virtual void update(Observable* source) = 0;
};
