// The gateway's handle of one Linkscope card: listing, start and stop, the acquisition thread
// that queues every event record, and the card statistics with their watchdog.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "common/driver/continuity.h"
#include "common/driver/deviceinfos.h"
#include "common/driver/eventrecord.h"
#include "gateway/card/fipcalculator.h"
#include "gateway/card/fipstats.h"
#include "gateway/monitoring/observable.h"
#include "gateway/repeatlimiter.h"
#include "gateway/queue/bufferusage.h"
#include "platform/deviceio.h"

template <class T>
class SyncMappedQueue;

class Linkscope : public Observable {
public:
    using Queue = SyncMappedQueue<std::vector<char>>;

    // Starts the per-second and the watchdog threads; the card is not touched.
    Linkscope(FILE* log, std::shared_ptr<Queue> queue);
    ~Linkscope() override;

    // *index >= 0: whether that card opens. *index < 0: the first of cards 0 to 15 that opens
    // is written to *index. No request is sent, nothing printed.
    static bool is_available(int* index);
    // Prints the identity of every card found on standard output (the -l listing), then a line
    // for each card that exists but is held by another program.
    static void list();
    // index >= 0: that index when its card exists but is held by another program (or handle);
    // index < 0: the first such index among cards 0 to 15. -1 when there is none.
    static int held_elsewhere(int index);
    // "linkscope: device (idx=N) exists but is held by another program\n"
    static const char* const HELD_ELSEWHERE_FORMAT;

    // Opens and starts card `index`: 0 on success, 13 when it cannot be opened, -1 otherwise.
    int start(int index);
    // -1 when no card is held; otherwise stops the sniffer and the acquisition and closes the card.
    int stop();

    // True from a successful start until stop, a failed start, or the card ceasing to answer.
    bool opened() const { return opened_.load(std::memory_order_acquire); }

    // Frames whose indices the card skipped since the start (unlike lost_frame_cnt, which adds
    // one more per gap), safe from any thread.
    uint64_t missing_frames() const { return missing_frames_.load(std::memory_order_relaxed); }
    // A consistent copy of the statistics, safe from any thread.
    FIPStats stats() const;

    // Identity of the card that was last started (controlling thread only).
    const linkscope::device_infos& infos() const { return infos_; }

    // Counter values at the previous per-second refresh.
    struct PerSecondBaseline {
        uint32_t frames = 0;
        uint32_t bytes = 0;
    };
    // The per-second step on a record: rates from the baseline (modulo 2^32) and buffer figures.
    // With a total of 0 the percentages are those the queue kept from its last computation.
    static void refresh_stats(FIPStats& stats, PerSecondBaseline& baseline, const BufferUsage& usage);

    // What the acquisition thread does with one EVENT_BLOCK_SIZE block read from the card:
    // walks it, checks and counts its records, queues them. Only the acquisition thread calls
    // it while a card is started; without one, a test or fuzzer may stand in for that thread.
    void process_block(const uint8_t* block);

private:
    void _bkgd_irq_func();
    void _bkgd_wtdog_func();
    void _bkgd_per_sec_func();
    void refresh_stats();

    struct BlockTally;
    void walk_block(const uint8_t* block, BlockTally& tally);
    static void fill_record_buffer(std::vector<char>& buffer, const linkscope::EventRecord& record);
    void count_record(const uint8_t* record, std::size_t length, BlockTally& tally) const;
    void check_continuity(uint64_t index, BlockTally& tally);
    void mark_block_with_events();
    void apply_tally(const BlockTally& tally);
    void watchdog_tick();
    void reset_stats(bool with_card_identity);
    int fail_started_card(bool request_failed);
    void end_acquisition();
    void release_card();
    // Sleeps for `period` unless `running` is cleared first; true when it is still set.
    bool pause_unless_stopped(std::atomic<bool>& running, std::chrono::milliseconds period);

    linkscope::device_infos infos_{};
    platform::DeviceHandle dev_ = platform::INVALID_DEVICE_HANDLE;
    FILE* log_;
    // Frame loss lines: a few a second, then a per-second count of those left out.
    RepeatLimiter frame_loss_lines_;
    std::shared_ptr<Queue> queue_;
    FIPCalculator calc_;

    // Guards stats_, wtdog_cnt_, the accumulators and the per-second baselines; held only
    // for short copies and updates, never while calling out.
    mutable std::mutex stats_mutex_;
    FIPStats stats_;
    int32_t wtdog_cnt_ = 10;
    boost::posix_time::time_duration act_accum_;
    boost::posix_time::time_duration inact_accum_;
    PerSecondBaseline baseline_;

    // Owned by the running acquisition thread.
    linkscope::Continuity continuity_;
    std::vector<std::vector<char>> block_records_;  // buffers for one block's records
    static constexpr std::size_t RECORD_BUFFER_STEP = 64;  // record buffers grow in these steps

    // Wakes the statistics threads for shutdown and the controller when acquisition has ended.
    std::mutex sleep_mutex_;
    std::condition_variable sleep_cv_;
    std::promise<void> per_sec_initialised_;

    std::atomic<bool> opened_{false};
    std::atomic<uint64_t> missing_frames_{0};
    std::atomic<bool> per_sec_running_{false};
    std::atomic<bool> wtdog_running_{false};
    std::atomic<bool> irq_running_{false};
    // Set by the acquisition thread when its body returns: stop keeps releasing until then.
    std::atomic<bool> irq_finished_{true};
    // Set by the acquisition thread when the card stopped answering: teardown sends it nothing.
    std::atomic<bool> card_lost_{false};

    std::thread per_sec_thread_;
    std::thread wtdog_thread_;
    std::thread irq_thread_;
};
