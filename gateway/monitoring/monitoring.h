// The one consumer of statistics: keeps the latest copy of each producer's record and builds
// from them the periodic lifesign record and the console dashboard.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "common/stream/lifesignrecord.h"
#include "gateway/card/fipstats.h"
#include "gateway/monitoring/observer.h"
#include "gateway/system/systemstats.h"
#include "gateway/udp/udpstats.h"

template <typename T>
class SyncMappedQueue;

// Unit of a scaled byte count.
enum sz_scale { SZ_B = 0, SZ_KB = 1, SZ_MB = 2, SZ_GB = 3, SZ_TB = 4 };

class Monitoring : public Observer {
public:
    using Queue = SyncMappedQueue<std::vector<char>>;

    // The three statistics copies, taken together under the monitoring lock.
    struct Snapshot {
        SystemStats system_stats;
        UDPStats udp_stats;
        FIPStats fip_stats;
    };

    // lifesign_period_ms 0: no lifesign thread; stats_period_ms below 1: no dashboard thread.
    Monitoring(unsigned int lifesign_period_ms, long stats_period_ms, std::shared_ptr<Queue> queue);
    ~Monitoring() override;

    Monitoring(const Monitoring&) = delete;
    Monitoring& operator=(const Monitoring&) = delete;

    // Copies the statistics of a UDPClient, Linkscope or System; ignores anything else.
    void update(Observable* source) override;

    // One dashboard screen on standard output.
    void print();

    Snapshot snapshot() const;
    uint32_t lifesign_count() const { return lifesign_counter.load(std::memory_order_acquire); }
    bool lifesign_thread_started() const { return lifesign_thread.joinable(); }
    bool dashboard_thread_started() const { return print_thread.joinable(); }
    const std::map<sz_scale, std::string>& units() const { return unit_names; }

    // Writes one screen for the given figures; the stream's precision carries to the next one.
    static void print_screen(std::ostream& out, const Snapshot& stats, uint32_t lifesign_counter,
                             unsigned int lifesign_period);
    // Chooses the unit for a byte count; writes nothing unless both pointers are given.
    static void get_formatted_size_value(unsigned int bytes, float* value, sz_scale* scale);
    // "0" plainly, any other count in bold red.
    static void print_err_cnt(std::ostream& out, unsigned int n);
    static void print_err_cnt(unsigned int n);

    // Signed microseconds from 1970-01-01 00:00:00 to t, both on the local wall clock.
    static int64_t us_since_epoch(const boost::posix_time::ptime& t);
    // The lifesign record for one snapshot, its counter value and its creation time.
    static LifesignRecord make_lifesign(const Snapshot& stats, uint32_t counter,
                                        const boost::posix_time::ptime& created);

    static const std::map<sz_scale, std::string>& unit_table();

private:
    void _bkgd_lifesign_func();
    void _bkgd_print_func();
    void emit_lifesign();
    // Waits period_ms unless a stop comes first; returns false on a stop.
    bool wait_period(const std::atomic<bool>& running, uint64_t period_ms);
    void request_stop();

    std::shared_ptr<Queue> queue;
    mutable std::mutex stats_mutex;  // the monitoring lock: guards the three copies
    SystemStats system_stats;
    UDPStats udp_stats;
    FIPStats fip_stats;

    std::atomic<uint32_t> lifesign_counter{0};
    const unsigned int lifesign_period;
    const long stats_period;
    const std::map<sz_scale, std::string> unit_names;

    std::mutex wake_mutex;
    std::condition_variable wake;
    std::atomic<bool> lifesign_running{false};
    std::atomic<bool> print_running{false};
    std::thread lifesign_thread;
    std::thread print_thread;
};
