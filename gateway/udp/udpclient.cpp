#include "gateway/udp/udpclient.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/system/system_error.hpp>

#include "common/stream/lossrecord.h"
#include "gateway/logger.h"

namespace {

boost::posix_time::ptime now() { return boost::posix_time::microsec_clock::local_time(); }

int64_t us_since_1970(const boost::posix_time::ptime& at) {
    return (at - boost::posix_time::ptime(boost::gregorian::date(1970, 1, 1))).total_microseconds();
}

void sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Four decimal parts of at most three digits without a leading zero, each up to 255. Some
// socket libraries also take the old short forms ("1.2.3" as 1.2.0.3); a destination is only
// ever meant in full.
bool is_dotted_quad(const std::string& text) {
    int parts = 0;
    std::size_t at = 0;
    while (true) {
        std::size_t end = at;
        while (end < text.size() && end - at < 4 && text[end] >= '0' && text[end] <= '9') ++end;
        const std::size_t digits = end - at;
        if (digits == 0 || digits > 3 || (digits > 1 && text[at] == '0')) return false;
        if (std::stoi(text.substr(at, digits)) > 255) return false;
        ++parts;
        if (end == text.size()) return parts == 4;
        if (text[end] != '.' || parts == 4) return false;
        at = end + 1;
    }
}

boost::asio::ip::udp::endpoint make_destination(const std::string& ip, unsigned short port, bool broadcast) {
    if (broadcast) return {boost::asio::ip::address_v4::broadcast(), port};
    // Only dotted-decimal IPv4: host names, short forms and IPv6 texts throw an invalid-argument error.
    if (!is_dotted_quad(ip))
        throw boost::system::system_error(boost::asio::error::invalid_argument, "make_address_v4");
    return {boost::asio::ip::make_address_v4(ip), port};
}

}  // namespace

UDPClient::UDPClient(std::string ip, unsigned short port, bool broadcast, unsigned lifesign, int max_evt,
                     std::shared_ptr<RecordQueue> queue, FILE* log)
    : socket_(io_),
      act_accum_(0, 0, 0, 0),
      inact_accum_(0, 0, 0, 0),
      wtdog_period_(WTDOG_LIFESIGN_FACTOR * lifesign),
      max_evt_(max_evt),
      log_(log),
      queue_(std::move(queue)),
      send_error_lines_(log, logger::ERR, "impossible to send on udp"),
      short_send_lines_(log, logger::WARN, "sent_to: impossible to send all bytes") {
    if (!queue_) throw std::invalid_argument("udp sender: no record queue");
    socket_.open(boost::asio::ip::udp::v4());
    socket_.set_option(boost::asio::socket_base::send_buffer_size(SOCKET_BUFFER_SIZE));
    socket_.set_option(boost::asio::socket_base::receive_buffer_size(SOCKET_BUFFER_SIZE));
    socket_.set_option(boost::asio::socket_base::reuse_address(true));
    if (broadcast) socket_.set_option(boost::asio::socket_base::broadcast(true));
    destination_ = make_destination(ip, port, broadcast);

    // The destination goes into the record before any thread can reset or copy it.
    stats_.ip = std::move(ip);
    stats_.port = port;
    reset_stats();

    reload_watchdog(std::chrono::steady_clock::now());  // the countdown starts full
    per_sec_running_ = true;
    per_sec_thread_ = std::thread(&UDPClient::_bkgd_per_sec_func, this);
    wtdog_running_ = true;
    wtdog_thread_ = std::thread(&UDPClient::_bkgd_wtdog_func, this);
    tx_running_ = true;
    tx_thread_ = std::thread(&UDPClient::_bkgd_tx_func, this);

    logger::print(log_, logger::INFO, "udp socket connected (port=%d)\n", static_cast<int>(port));
}

UDPClient::~UDPClient() {
    {
        std::lock_guard<std::mutex> lock(wtdog_wait_mutex_);
        wtdog_running_ = false;
    }
    wtdog_wakeup_.notify_all();
    wtdog_thread_.join();
    tx_running_ = false;
    queue_->wake_consumer();
    tx_thread_.join();
    {
        std::lock_guard<std::mutex> lock(per_sec_wait_mutex_);
        per_sec_running_ = false;
    }
    per_sec_wakeup_.notify_all();
    per_sec_thread_.join();
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void UDPClient::send_loss_records(LostFrameCount card_lost_frames) {
    if (loss_records_.load(std::memory_order_acquire)) return;
    card_lost_frames_ = std::move(card_lost_frames);
    loss_records_.store(true, std::memory_order_release);
    queue_->wake_consumer();  // the first record leaves now, not with the next event
}

void UDPClient::add_loss_record(Datagram& datagram, uint32_t max_records, uint64_t& sequence, bool last) {
    if (max_records == 0 || !loss_records_.load(std::memory_order_acquire)) return;
    const auto at = std::chrono::steady_clock::now();
    if (!last && loss_record_counter_ != 0 && at < next_loss_record_) return;
    // A little short of the period, so that the per-second wake-up always finds the next one due.
    next_loss_record_ = at + std::chrono::milliseconds(LOSS_RECORD_PERIOD_MS - LOSS_RECORD_SLACK_MS);
    LossRecord record;
    record.counter = ++loss_record_counter_;
    record.created_us = us_since_1970(now());
    record.card_lost_frames = card_lost_frames_ ? card_lost_frames_() : 0;
    record.queue_refused = queue_->dropped_count();
    record.send_failed_datagrams = send_failed_datagrams_;
    record.send_failed_records = send_failed_records_;
    add_record(datagram, record.encode(), max_records, sequence);
}

UDPStats UDPClient::stats() const {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    return stats_;
}

void UDPClient::_bkgd_tx_func() {
    uint64_t sequence = 0;
    Datagram datagram;
    const uint32_t max_records = static_cast<uint32_t>(max_evt_);
    std::vector<std::vector<char>> batch;
    batch.reserve(std::min<uint32_t>(max_records, MAX_BATCH));
    while (tx_running_) {
        report_dropped_records();
        add_loss_record(datagram, max_records, sequence, false);
        if (max_records == 0) {
            sleep_ms(IDLE_WAIT_MS);
            continue;
        }
        // Never more than the open datagram can still count, so a batch never outlives a stop by much.
        const std::size_t wanted = std::min<uint32_t>(max_records - datagram.record_count(), MAX_BATCH);
        // With nothing to send there is no datagram to close: sleep until a record or the stop.
        const RecordQueue::Wait wait = datagram.empty() ? RecordQueue::Wait::until_record : RecordQueue::Wait::bounded;
        if (queue_->dequeue_some(batch, wanted, wait) == 0) {
            if (!datagram.empty()) send_datagram(datagram, sequence);
            continue;
        }
        for (const std::vector<char>& record : batch) add_record(datagram, record, max_records, sequence);
        queue_->recycle(batch);
    }
    // The application stops the card before the sender: the last record's counts are final.
    add_loss_record(datagram, max_records, sequence, true);
    if (!datagram.empty()) send_datagram(datagram, sequence);
    if (unreachable_) note_reachable_again("still unreachable at stop");
    send_error_lines_.summarize();
    short_send_lines_.summarize();
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_.is_active = false;
}

void UDPClient::add_record(Datagram& datagram, const std::vector<char>& record, uint32_t max_records,
                           uint64_t& sequence) {
    // Never pass the IPv4 limit: a record that does not fit starts the next datagram.
    if (!datagram.empty() && !datagram.has_room_for(record.size())) send_datagram(datagram, sequence);
    datagram.append(record);
    if (datagram.record_count() >= max_records || datagram.payload_over_threshold()) send_datagram(datagram, sequence);
}

void UDPClient::send_datagram(Datagram& datagram, uint64_t& sequence) {
    const uint32_t records = static_cast<uint32_t>(datagram.record_count());
    const std::vector<uint8_t>& bytes = datagram.close(++sequence);
    boost::system::error_code error;
    const std::size_t sent = socket_.send_to(boost::asio::buffer(bytes), destination_, 0, error);
    if (error) {
        on_send_failure(error, records);
    } else {
        if (unreachable_) note_reachable_again("reachable again");
        if (sent != bytes.size() && short_send_lines_.admit())
            logger::print(log_, logger::WARN, "sent_to: impossible to send all bytes (%d/%d)", static_cast<int>(sent),
                          static_cast<int>(bytes.size()));
        on_send_success(bytes.size());
    }
    datagram.clear();
}

void UDPClient::on_send_success(std::size_t datagram_length) {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    reload_watchdog(std::chrono::steady_clock::now());
    if (!stats_.is_active) {
        stats_.is_active = true;
        stats_.last_start_date = now();
        stats_.inact_duration = stats_.last_start_date - stats_.last_stop_date;
        inact_accum_ += stats_.inact_duration;
        stats_.total_inact_duration = inact_accum_;
    }
    stats_.act_duration = now() - stats_.last_start_date;
    stats_.total_act_duration = act_accum_ + stats_.act_duration;
    stats_.pkt_sent_cnt += 1;
    set_changed();
    stats_.bytes_sent_cnt += static_cast<uint32_t>(datagram_length + WIRE_OVERHEAD);
}

void UDPClient::on_send_failure(const boost::system::error_code& error, uint32_t records) {
    send_failed_datagrams_ += 1;
    send_failed_records_ += records;
    if (error == boost::asio::error::network_unreachable) {
        // Not an error count, as before; but no longer silent.
        note_unreachable(records);
    } else {
        {
            std::lock_guard<std::mutex> lock(stats_mutex_);
            stats_.pkt_err_cnt += 1;
        }
        if (send_error_lines_.admit()) {
            const boost::system::system_error e(error, "send_to");
            std::printf("e.what(): %s - e.code(): %s:%d\n", e.what(), e.code().category().name(), e.code().value());
            std::fflush(stdout);
            logger::print(log_, logger::ERR, "impossible to send on udp.\n");
        }
    }
    sleep_ms(SEND_ERROR_PAUSE_MS);
}

std::string UDPClient::destination_text() const {
    return destination_.address().to_string() + ":" + std::to_string(destination_.port());
}

void UDPClient::note_unreachable(uint32_t records) {
    if (!unreachable_) {
        unreachable_ = true;
        unreachable_datagrams_ = 0;
        unreachable_records_ = 0;
        logger::print(log_, logger::WARN, "udp: network unreachable, datagrams to %s are dropped\n",
                      destination_text().c_str());
    }
    unreachable_datagrams_ += 1;
    unreachable_records_ += records;
}

void UDPClient::note_reachable_again(const char* how) {
    unreachable_ = false;
    logger::print(log_, logger::WARN, "udp: network %s (%s), %llu datagrams with %llu records were dropped\n", how,
                  destination_text().c_str(), static_cast<unsigned long long>(unreachable_datagrams_),
                  static_cast<unsigned long long>(unreachable_records_));
}

void UDPClient::report_dropped_records() {
    const uint64_t dropped = queue_->dropped_count();
    if (dropped == reported_dropped_) return;
    const boost::posix_time::ptime at = now();
    if (!last_drop_report_.is_not_a_date_time() &&
        at - last_drop_report_ < boost::posix_time::milliseconds(DROP_REPORT_INTERVAL_MS))
        return;
    logger::print(log_, logger::WARN, "buffer full: %llu records dropped (%llu since start)\n",
                  static_cast<unsigned long long>(dropped - reported_dropped_),
                  static_cast<unsigned long long>(dropped));
    reported_dropped_ = dropped;
    last_drop_report_ = at;
}

void UDPClient::_bkgd_wtdog_func() {
    do {
        const auto pause = watchdog_tick();
        std::unique_lock<std::mutex> lock(wtdog_wait_mutex_);
        wtdog_wakeup_.wait_for(lock, pause, [this] { return !wtdog_running_; });
    } while (wtdog_running_);
}

void UDPClient::reload_watchdog(std::chrono::steady_clock::time_point now) {
    wtdog_cnt_ = static_cast<int32_t>(wtdog_period_ / WTDOG_TICK_MS);
    wtdog_expiry_ = now + std::chrono::milliseconds(WTDOG_TICK_MS) * (wtdog_cnt_ + 1);
}

std::chrono::steady_clock::duration UDPClient::watchdog_tick() {
    const std::chrono::steady_clock::duration tick = std::chrono::milliseconds(WTDOG_TICK_MS);
    if (!tx_running_) return tick;
    std::lock_guard<std::mutex> lock(stats_mutex_);
    const auto at = std::chrono::steady_clock::now();
    if (at < wtdog_expiry_) {
        // The ticks that passed, as the countdown would have counted them.
        wtdog_cnt_ = static_cast<int32_t>((wtdog_expiry_ - at + tick - std::chrono::nanoseconds(1)) / tick) - 1;
        return wtdog_expiry_ - at;
    }
    if (stats_.is_active) {
        stats_.is_active = false;
        // The moment of the last successful send, as far as the countdown can tell.
        stats_.last_stop_date = now() - boost::posix_time::milliseconds(wtdog_period_);
        stats_.act_duration = stats_.last_stop_date - stats_.last_start_date;
        act_accum_ += stats_.act_duration;
        stats_.total_act_duration = act_accum_;
        stats_.act_loss_cnt += 1;
    }
    stats_.inact_duration = now() - stats_.last_stop_date;
    stats_.total_inact_duration = inact_accum_ + stats_.inact_duration;
    // While the link stays down every tick expires again and the inactivity figures grow.
    wtdog_cnt_ = 0;
    wtdog_expiry_ = at + tick;
    set_changed();
    return tick;
}

void UDPClient::_bkgd_per_sec_func() {
    set_changed();
    notify_observers();
    do {
        refresh_stats();
        notify_observers();
        // An idle transmit thread sleeps until a record comes: a loss record is due.
        if (loss_records_.load(std::memory_order_acquire)) queue_->wake_consumer();
        std::unique_lock<std::mutex> lock(per_sec_wait_mutex_);
        // A one-second sleep that the destructor can cut short.
        per_sec_wakeup_.wait_for(lock, std::chrono::seconds(1), [this] { return !per_sec_running_; });
    } while (per_sec_running_);
}

void UDPClient::reset_stats() {
    std::lock_guard<std::mutex> lock(stats_mutex_);
    UDPStats fresh;
    fresh.ip = stats_.ip;
    fresh.port = stats_.port;
    stats_ = fresh;
}

void UDPClient::refresh_stats() {
    send_error_lines_.summarize();
    short_send_lines_.summarize();
    std::lock_guard<std::mutex> lock(stats_mutex_);
    stats_.pkt_sent_cnt_per_sec = counter_growth(stats_.pkt_sent_cnt, prev_pkt_sent_cnt_);
    stats_.pkt_rcvd_cnt_per_sec = counter_growth(stats_.pkt_rcvd_cnt, prev_pkt_rcvd_cnt_);
    stats_.pkt_err_cnt_per_sec = counter_growth(stats_.pkt_err_cnt, prev_pkt_err_cnt_);
    stats_.bytes_sent_cnt_per_sec = counter_growth(stats_.bytes_sent_cnt, prev_bytes_sent_cnt_);
    stats_.bytes_rcvd_cnt_per_sec = counter_growth(stats_.bytes_rcvd_cnt, prev_bytes_rcvd_cnt_);
    prev_pkt_sent_cnt_ = stats_.pkt_sent_cnt;
    prev_pkt_rcvd_cnt_ = stats_.pkt_rcvd_cnt;
    prev_pkt_err_cnt_ = stats_.pkt_err_cnt;
    prev_bytes_sent_cnt_ = stats_.bytes_sent_cnt;
    prev_bytes_rcvd_cnt_ = stats_.bytes_rcvd_cnt;
}
