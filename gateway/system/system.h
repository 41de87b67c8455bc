// The host sampler: measures CPU load and temperature, memory and storage once a second and
// publishes them to its observers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

#include "gateway/monitoring/observable.h"
#include "gateway/system/systemstats.h"
#include "platform/hostmetrics.h"

class System : public Observable {
public:
    explicit System(FILE* log);
    ~System() override;

    // A consistent copy of the current record.
    SystemStats stats() const;

    // Memory and storage figures from byte counts, as one round stores them.
    static void fill_memory(SystemStats* stats, uint64_t total_bytes, uint64_t available_bytes);
    static void fill_storage(SystemStats* stats, uint64_t capacity_bytes, uint64_t available_bytes);
    // Takes a temperature from `read`; when the reading fails the previous value stays.
    static void sample_temperature(SystemStats* stats, bool (*read)(float* celsius));

private:
    void _bkgd_per_sec_func();
    void sample_round();
    void sample_cpu(SystemStats* next);
    void sample_storage(SystemStats* next);
    // Sleeps for span unless a stop comes first; returns false on a stop.
    bool wait_for_stop(std::chrono::milliseconds span);

    FILE* log;
    mutable std::mutex stats_mutex;
    SystemStats stats_;
    platform::CpuLoadMeter cpu_load_meter;
    // Last good load reading; a failed read repeats it.
    double counter_value = SystemStats::unset;

    std::atomic<bool> running{false};
    std::mutex wake_mutex;
    std::condition_variable wake;
    std::thread per_sec_thread;
};
