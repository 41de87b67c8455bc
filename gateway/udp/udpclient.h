// The gateway's network output: empties the record queue into batched datagrams sent to one
// destination, watches whether datagrams still leave, and publishes UDPStats once per second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "gateway/monitoring/observable.h"
#include "gateway/repeatlimiter.h"
#include "gateway/queue/syncmappedqueue.h"
#include "gateway/udp/datagram.h"
#include "gateway/udp/udpstats.h"

class UDPClient : public Observable {
public:
    using RecordQueue = SyncMappedQueue<std::vector<char>>;

    static constexpr int SOCKET_BUFFER_SIZE = 1048576;
    static constexpr unsigned WTDOG_TICK_MS = 10;
    static constexpr unsigned WTDOG_LIFESIGN_FACTOR = 5;
    static constexpr unsigned SEND_ERROR_PAUSE_MS = 10;
    static constexpr unsigned IDLE_WAIT_MS = 10;  // max_evt 0: the flag is tested this often
    static constexpr unsigned WIRE_OVERHEAD = 42;  // Ethernet 14 + IPv4 20 + UDP 8
    static constexpr unsigned DROP_REPORT_INTERVAL_MS = 1000;
    static constexpr uint32_t MAX_BATCH = 1024;  // records taken from the queue under one lock

    // Throws boost::system::system_error ("open", "set_option") or, for an address text that is
    // not dotted-decimal IPv4, an invalid-argument error; no thread is started then.
    UDPClient(std::string ip, unsigned short port, bool broadcast, unsigned lifesign, int max_evt,
              std::shared_ptr<RecordQueue> queue, FILE* log);
    ~UDPClient() override;

    // The count of frames missing from the card's event indices since the start.
    using LostFrameCount = std::function<uint64_t()>;
    static constexpr unsigned LOSS_RECORD_PERIOD_MS = 1000;
    static constexpr unsigned LOSS_RECORD_SLACK_MS = 100;
    // From now on the transmit thread adds a loss record (common/stream/lossrecord.h) to its
    // datagrams: one at once, then one about every second, and a last one when it stops. The
    // record tells the card's lost frames, the records the queue refused and the datagrams (and
    // their records) whose send failed. Call once, from the thread that built the sender.
    void send_loss_records(LostFrameCount card_lost_frames);

    // A consistent copy of the statistics record, taken under a short lock.
    UDPStats stats() const;

    // Per-second figures: counter growth modulo 2^32.
    static uint32_t counter_growth(uint32_t now, uint32_t previous) { return now - previous; }

private:
    void _bkgd_tx_func();
    void _bkgd_wtdog_func();
    void _bkgd_per_sec_func();

    void add_record(Datagram& datagram, const std::vector<char>& record, uint32_t max_records, uint64_t& sequence);
    void send_datagram(Datagram& datagram, uint64_t& sequence);
    // Transmit thread: a loss record into the datagram when one is due (`last`: always).
    void add_loss_record(Datagram& datagram, uint32_t max_records, uint64_t& sequence, bool last);
    void on_send_success(std::size_t datagram_length);
    void on_send_failure(const boost::system::error_code& error, uint32_t records);
    // The unreachable-network warnings: one when datagrams start being dropped, one with the
    // drop count when sending works again (or the sender stops first).
    void note_unreachable(uint32_t records);
    void note_reachable_again(const char* how);
    std::string destination_text() const;
    void report_dropped_records();
    void refresh_stats();
    void reset_stats();
    // One watchdog wake-up; returns how long the watchdog may sleep before the next tick that
    // can end the activity.
    std::chrono::steady_clock::duration watchdog_tick();
    void reload_watchdog(std::chrono::steady_clock::time_point now);

    boost::asio::io_service io_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint destination_;
    boost::posix_time::time_duration act_accum_;
    boost::posix_time::time_duration inact_accum_;
    uint32_t wtdog_period_;
    int32_t wtdog_cnt_ = 0;
    // When the countdown, reloaded by the last successful send, goes below zero. The watchdog
    // sleeps until then instead of waking for every tick that cannot expire.
    std::chrono::steady_clock::time_point wtdog_expiry_;
    int32_t max_evt_;
    FILE* log_;
    std::shared_ptr<RecordQueue> queue_;

    // Guards stats_, the accumulators and the watchdog countdown; held only for short updates and copies.
    mutable std::mutex stats_mutex_;
    UDPStats stats_;
    uint32_t prev_pkt_sent_cnt_ = 0;
    uint32_t prev_pkt_rcvd_cnt_ = 0;
    uint32_t prev_pkt_err_cnt_ = 0;
    uint32_t prev_bytes_sent_cnt_ = 0;
    uint32_t prev_bytes_rcvd_cnt_ = 0;

    // Repeated send failures and short sends: a few lines a second, then a count.
    RepeatLimiter send_error_lines_;
    RepeatLimiter short_send_lines_;
    // Transmit thread only: datagrams and records dropped since the network became unreachable.
    bool unreachable_ = false;
    uint64_t unreachable_datagrams_ = 0;
    uint64_t unreachable_records_ = 0;

    // Loss records: the card's count is set once, before the flag is raised; the rest belongs
    // to the transmit thread.
    LostFrameCount card_lost_frames_;
    std::atomic<bool> loss_records_{false};
    uint32_t loss_record_counter_ = 0;
    std::chrono::steady_clock::time_point next_loss_record_;
    uint64_t send_failed_datagrams_ = 0;  // every failed send, the unreachable network's included
    uint64_t send_failed_records_ = 0;

    uint64_t reported_dropped_ = 0;
    boost::posix_time::ptime last_drop_report_;

    std::thread per_sec_thread_;
    std::atomic<bool> per_sec_running_{false};
    std::mutex per_sec_wait_mutex_;
    std::condition_variable per_sec_wakeup_;
    std::thread tx_thread_;
    std::atomic<bool> tx_running_{false};
    std::thread wtdog_thread_;
    std::atomic<bool> wtdog_running_{false};
    std::mutex wtdog_wait_mutex_;
    std::condition_variable wtdog_wakeup_;
};
