#include <gtest/gtest.h>

#include <vector>

#include "gateway/monitoring/observable.h"

namespace {

class RecordingObserver : public Observer {
public:
    RecordingObserver(std::vector<int>& calls, int id) : calls_(calls), id_(id) {}
    void update(Observable* source) override {
        calls_.push_back(id_);
        last_source = source;
    }
    Observable* last_source = nullptr;

private:
    std::vector<int>& calls_;
    int id_;
};

class Producer : public Observable {};

}  // namespace

TEST(Observable, UnchangedNotifiesNobody) {
    std::vector<int> calls;
    Producer p;
    p.attach(std::make_shared<RecordingObserver>(calls, 1));
    p.notify_observers();
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(p.has_changed());
}

TEST(Observable, LaterAttachedObserverIsCalledFirstWithTheSource) {
    std::vector<int> calls;
    Producer p;
    auto first = std::make_shared<RecordingObserver>(calls, 1);
    auto second = std::make_shared<RecordingObserver>(calls, 2);
    p.attach(first);
    p.attach(second);
    p.set_changed();
    p.notify_observers();
    EXPECT_EQ(calls, (std::vector<int>{2, 1}));
    EXPECT_EQ(first->last_source, &p);
    EXPECT_FALSE(p.has_changed());
    p.notify_observers();
    EXPECT_EQ(calls.size(), 2u);
}

TEST(Observable, NoObserverOnlyClearsTheFlag) {
    Producer p;
    p.set_changed();
    p.notify_observers();
    EXPECT_FALSE(p.has_changed());
}

TEST(Observable, HoldsItsObserversAlive) {
    std::vector<int> calls;
    Producer p;
    std::weak_ptr<RecordingObserver> weak;
    {
        auto o = std::make_shared<RecordingObserver>(calls, 7);
        weak = o;
        p.attach(o);
    }
    ASSERT_FALSE(weak.expired());
    p.set_changed();
    p.notify_observers();
    EXPECT_EQ(calls, (std::vector<int>{7}));
}
