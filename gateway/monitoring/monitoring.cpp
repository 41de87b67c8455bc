#include "gateway/monitoring/monitoring.h"

#include <chrono>
#include <iostream>
#include <new>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "gateway/card/linkscope.h"
#include "gateway/logger.h"
#include "gateway/queue/syncmappedqueue.h"
#include "gateway/system/system.h"
#include "gateway/udp/udpclient.h"
#include "platform/console.h"

namespace color = logger::color;
using boost::posix_time::ptime;
using boost::posix_time::time_duration;

namespace {

constexpr double SIZE_STEP = 1.0 / 1024.0;
constexpr int TEMPERATURE_PRECISION = 3;
constexpr int PERCENT_PRECISION = 3;
constexpr int TRAFFIC_PRECISION = 4;
constexpr const char* CLEAR_SCREEN = "\033[H\033[J";
constexpr const char* DASHBOARD_BANNER = "App is running... press Ctrl + C to exit.";
constexpr const char* DEGREES_CELSIUS = " \xC2\xB0" "C";
constexpr const char* UNSET = "-";

int64_t duration_us(const time_duration& d) { return d.total_microseconds(); }

uint16_t low_16_bits(uint32_t v) { return static_cast<uint16_t>(v & 0xFFFF); }

void print_scaled(std::ostream& out, uint32_t bytes) {
    float value = 0;
    sz_scale scale = SZ_B;
    Monitoring::get_formatted_size_value(bytes, &value, &scale);
    out << value << " " << Monitoring::unit_table().at(scale);
}

void print_title(std::ostream& out, const char* title) {
    out << color::green << title << color::reset << "\n";
}

void print_state(std::ostream& out, bool active) {
    if (active)
        out << color::boldgreen << "YES" << color::reset;
    else
        out << color::boldred << "NO" << color::reset;
}

template <typename T>
void print_in(std::ostream& out, const char* colour, const T& value) {
    if (colour)
        out << colour << value << color::reset;
    else
        out << value;
}

void print_duration_or_unset(std::ostream& out, const time_duration& d) {
    if (d.is_special())
        out << UNSET;
    else
        out << d;
}

// An activity date that equals the record's creation has not happened yet.
void print_event_date(std::ostream& out, const ptime& date, const ptime& init_date,
                      const char* colour) {
    if (date == init_date)
        out << UNSET;
    else
        print_in(out, colour, date);
}

void print_period(std::ostream& out, const time_duration& d, const char* colour) {
    if (d.is_special())
        out << UNSET;
    else
        print_in(out, colour, d);
}

void print_activity_lines(std::ostream& out, bool is_active, const time_duration& total_act,
                          const time_duration& total_inact, const ptime& last_start,
                          const ptime& last_stop, const ptime& init_date, const char* act_label,
                          const time_duration& act, const char* inact_label,
                          const time_duration& inact) {
    const char* while_active = is_active ? color::boldgreen : nullptr;
    const char* while_inactive = is_active ? nullptr : color::boldred;
    out << "  Is Active\t\t: ";
    print_state(out, is_active);
    out << "\n  Total Act duration\t: ";
    print_duration_or_unset(out, total_act);
    out << "\n  Total Inact duration\t: ";
    print_duration_or_unset(out, total_inact);
    out << "\n  Last start date\t: ";
    print_event_date(out, last_start, init_date, while_active);
    out << "\n  Last stop date\t: ";
    print_event_date(out, last_stop, init_date, while_inactive);
    out << "\n" << act_label;
    print_period(out, act, while_active);
    out << "\n" << inact_label;
    print_period(out, inact, while_inactive);
    out << "\n";
}

void print_service(std::ostream& out, const SystemStats& host, const UDPStats& net) {
    print_title(out, "==> SERVICE INFOS");
    out << "  Start date\t\t: ";
    if (host.start_date.is_not_a_date_time())
        out << UNSET;
    else
        out << host.start_date;
    out << "\n  Duration\t\t: ";
    print_duration_or_unset(out, host.duration);
    out << "\n  Ip\t\t\t: " << (net.ip.empty() ? std::string("Broadcast") : net.ip) << "\n";
    out << "  Port\t\t\t: " << net.port << "\n";
}

void print_host(std::ostream& out, const SystemStats& host) {
    print_title(out, "==> CPU INFOS");
    // The load keeps whatever precision the previous screen left on the stream.
    out << "  Load\t\t\t: " << host.cpu_load << " %\n";
    out.precision(TEMPERATURE_PRECISION);
    out << "  Temperature\t\t: " << host.cpu_temperature << DEGREES_CELSIUS << "\n";

    print_title(out, "==> RAM INFOS");
    out << "  Total\t\t\t: " << host.ram_total << " KB\n";
    out << "  Used\t\t\t: " << host.ram_used << " KB (";
    out.precision(PERCENT_PRECISION);
    out << host.ram_used_pct << " %)\n";
    out << "  Available\t\t: " << host.ram_available << " KB (";
    out.precision(PERCENT_PRECISION);
    out << host.ram_available_pct << " %)\n";

    print_title(out, "==> STORAGE INFOS");
    out << "  Total\t\t\t: " << host.storage_total << " KB\n";
    out << "  Used\t\t\t: " << host.storage_used << " KB (";
    out.precision(PERCENT_PRECISION);
    out << host.storage_used_pct << " %)\n";
    out << "  Available\t\t: " << host.storage_available << " KB (";
    out.precision(PERCENT_PRECISION);
    out << host.storage_available_pct << " %)\n";
}

void print_buffer(std::ostream& out, const FIPStats& card) {
    print_title(out, "==> BUFFERS (DISK) ex: sd-card");
    out << "  Total\t\t\t: ";
    print_scaled(out, card.buf_total);
    out << "\n  Used\t\t\t: ";
    print_scaled(out, card.buf_used);
    out.precision(PERCENT_PRECISION);
    out << " (" << card.buf_used_pct << " %)\n";
    out << "  Available\t\t: ";
    print_scaled(out, card.buf_free);
    out.precision(PERCENT_PRECISION);
    out << " (" << card.buf_free_pct << " %)\n";
}

void print_traffic(std::ostream& out, const char* label, uint32_t count, uint32_t count_per_sec,
                   const char* unit, const char* rate_unit, uint32_t bytes, uint32_t bytes_per_sec) {
    out << label << count << " " << unit << " (" << count_per_sec << " " << rate_unit << ") - ";
    out.precision(TRAFFIC_PRECISION);
    print_scaled(out, bytes);
    out << " (";
    print_scaled(out, bytes_per_sec);
    out << "/s)\n";
}

void print_network(std::ostream& out, const UDPStats& net) {
    print_title(out, "==> ETHERNET INFOS");
    print_activity_lines(out, net.is_active, net.total_act_duration, net.total_inact_duration,
                         net.last_start_date, net.last_stop_date, net.init_date,
                         "  Activity duration\t: ", net.act_duration, "  Inactivity duration\t: ",
                         net.inact_duration);
    out << "  Loss Act count\t: ";
    Monitoring::print_err_cnt(out, net.act_loss_cnt);
    out << "\n";
    print_traffic(out, "  OUT [->]\t\t: ", net.pkt_sent_cnt, net.pkt_sent_cnt_per_sec, "pkts", "pps",
                  net.bytes_sent_cnt, net.bytes_sent_cnt_per_sec);
    print_traffic(out, "  IN  [<-]\t\t: ", net.pkt_rcvd_cnt, net.pkt_rcvd_cnt_per_sec, "pkts", "pps",
                  net.bytes_rcvd_cnt, net.bytes_rcvd_cnt_per_sec);
    out << "  Errors\t\t: " << net.pkt_err_cnt << " errors (" << net.pkt_err_cnt_per_sec
        << " errors/s)\n";
}

void print_bus(std::ostream& out, const FIPStats& card) {
    print_title(out, "==> FIP INFOS");
    print_activity_lines(out, card.is_active, card.total_act_duration, card.total_inact_duration,
                         card.last_start_date, card.last_stop_date, card.init_date,
                         "  Last Act duration\t: ", card.last_act_duration,
                         "  Last Inact duration\t: ", card.last_inact_duration);
    out << "  Loss Act count\t: ";
    Monitoring::print_err_cnt(out, card.act_loss_cnt);
    out << "\n";
    print_traffic(out, "  IN  [<-]\t\t: ", card.frame_rcvd_cnt, card.frame_rcvd_cnt_per_sec,
                  "frames", "fps", card.bytes_rcvd_cnt, card.bytes_rcvd_cnt_per_sec);
    out << "  Loss Continuity event\t: ";
    Monitoring::print_err_cnt(out, card.loss_evt_cnt);
    out << " (";
    Monitoring::print_err_cnt(out, card.lost_frame_cnt);
    out << " lost frames)\n";
}

}  // namespace

Monitoring::Monitoring(unsigned int lifesign_period_ms, long stats_period_ms,
                       std::shared_ptr<Queue> record_queue)
    : queue(std::move(record_queue)),
      lifesign_period(lifesign_period_ms),
      stats_period(stats_period_ms),
      unit_names(unit_table()) {
    // The flags are raised before the threads start, so the destructor joins whatever started.
    if (lifesign_period != 0) {
        lifesign_running = true;
        lifesign_thread = std::thread(&Monitoring::_bkgd_lifesign_func, this);
    }
    if (stats_period >= 1) {
        platform::use_utf8_console_output();  // the dashboard's degree sign
        print_running = true;
        try {
            print_thread = std::thread(&Monitoring::_bkgd_print_func, this);
        } catch (...) {
            request_stop();
            if (lifesign_thread.joinable()) lifesign_thread.join();
            throw;
        }
    }
}

Monitoring::~Monitoring() {
    request_stop();
    if (lifesign_thread.joinable()) lifesign_thread.join();
    if (print_thread.joinable()) print_thread.join();
}

void Monitoring::request_stop() {
    {
        std::lock_guard<std::mutex> lock(wake_mutex);
        lifesign_running = false;
        print_running = false;
    }
    wake.notify_all();
}

const std::map<sz_scale, std::string>& Monitoring::unit_table() {
    static const std::map<sz_scale, std::string> table = {
        {SZ_B, "B"}, {SZ_KB, "KB"}, {SZ_MB, "MB"}, {SZ_GB, "GB"}, {SZ_TB, "TB"}};
    return table;
}

void Monitoring::update(Observable* source) {
    if (!source) return;
    // The producer's record is copied outside the monitoring lock, then swapped in under it.
    if (auto* sender = dynamic_cast<UDPClient*>(source)) {
        UDPStats copy = sender->stats();
        std::lock_guard<std::mutex> lock(stats_mutex);
        udp_stats = std::move(copy);
    } else if (auto* card = dynamic_cast<Linkscope*>(source)) {
        const FIPStats copy = card->stats();
        std::lock_guard<std::mutex> lock(stats_mutex);
        fip_stats = copy;
    } else if (auto* host = dynamic_cast<System*>(source)) {
        const SystemStats copy = host->stats();
        std::lock_guard<std::mutex> lock(stats_mutex);
        system_stats = copy;
    }
}

Monitoring::Snapshot Monitoring::snapshot() const {
    std::lock_guard<std::mutex> lock(stats_mutex);
    return Snapshot{system_stats, udp_stats, fip_stats};
}

int64_t Monitoring::us_since_epoch(const ptime& t) {
    static const ptime epoch(boost::gregorian::date(1970, 1, 1));
    return (t - epoch).total_microseconds();
}

void Monitoring::get_formatted_size_value(unsigned int bytes, float* value, sz_scale* scale) {
    if (!value || !scale) return;
    const double v = static_cast<double>(bytes);
    const double k = v * SIZE_STEP, m = k * SIZE_STEP, g = m * SIZE_STEP, t = g * SIZE_STEP;
    double chosen = v;
    sz_scale unit = SZ_B;
    if (t > 1.0) {
        chosen = t;
        unit = SZ_TB;
    } else if (g > 1.0) {
        chosen = g;
        unit = SZ_GB;
    } else if (m > 1.0) {
        chosen = m;
        unit = SZ_MB;
    } else if (k > 1.0) {
        chosen = k;
        unit = SZ_KB;
    }
    *value = static_cast<float>(chosen);
    *scale = unit;
}

void Monitoring::print_err_cnt(std::ostream& out, unsigned int n) {
    if (n == 0)
        out << "0";
    else
        out << color::boldred << n << color::reset;
}

void Monitoring::print_err_cnt(unsigned int n) { print_err_cnt(std::cout, n); }

LifesignRecord Monitoring::make_lifesign(const Snapshot& stats, uint32_t counter,
                                         const ptime& created) {
    const SystemStats& host = stats.system_stats;
    const UDPStats& net = stats.udp_stats;
    const FIPStats& card = stats.fip_stats;
    LifesignRecord r;
    r.counter = counter;
    r.created_us = us_since_epoch(created);
    r.sn = card.sn;

    r.cpu_load = host.cpu_load;
    r.cpu_temperature = host.cpu_temperature;
    r.storage_total = host.storage_total;
    r.storage_used = host.storage_used;
    r.storage_available = host.storage_available;
    r.storage_used_pct = host.storage_used_pct;
    r.ram_total = host.ram_total;
    r.ram_used = host.ram_used;
    r.ram_available = host.ram_available;
    r.ram_used_pct = host.ram_used_pct;

    r.buf_total = lifesign::bytes_in_thousands(card.buf_total);
    r.buf_used = lifesign::bytes_in_thousands(card.buf_used);
    r.buf_free = lifesign::bytes_in_thousands(card.buf_free);
    r.buf_used_pct = card.buf_used_pct;

    r.net_is_active = net.is_active ? 1 : 0;
    r.net_total_act_duration_us = duration_us(net.total_act_duration);
    r.net_total_inact_duration_us = duration_us(net.total_inact_duration);
    r.net_last_start_date_us = us_since_epoch(net.last_start_date);
    r.net_last_stop_date_us = us_since_epoch(net.last_stop_date);
    r.net_act_duration_us = duration_us(net.act_duration);
    r.net_inact_duration_us = duration_us(net.inact_duration);
    r.net_act_loss_cnt = low_16_bits(net.act_loss_cnt);
    r.net_pkt_rcvd_cnt = net.pkt_rcvd_cnt;
    r.net_pkt_rcvd_cnt_per_sec = net.pkt_rcvd_cnt_per_sec;
    r.net_bytes_rcvd_cnt_per_sec = net.bytes_rcvd_cnt_per_sec;
    r.net_pkt_sent_cnt = net.pkt_sent_cnt;
    r.net_pkt_sent_cnt_per_sec = net.pkt_sent_cnt_per_sec;
    r.net_bytes_sent_cnt_per_sec = net.bytes_sent_cnt_per_sec;

    r.card_is_active = card.is_active ? 1 : 0;
    r.card_total_act_duration_us = duration_us(card.total_act_duration);
    r.card_total_inact_duration_us = duration_us(card.total_inact_duration);
    r.card_last_start_date_us = us_since_epoch(card.last_start_date);
    r.card_last_stop_date_us = us_since_epoch(card.last_stop_date);
    r.card_last_act_duration_us = duration_us(card.last_act_duration);
    r.card_last_inact_duration_us = duration_us(card.last_inact_duration);
    r.card_act_loss_cnt = low_16_bits(card.act_loss_cnt);
    r.card_frame_rcvd_cnt = card.frame_rcvd_cnt;
    r.card_frame_rcvd_cnt_per_sec = card.frame_rcvd_cnt_per_sec;
    r.card_bytes_rcvd_cnt_per_sec = card.bytes_rcvd_cnt_per_sec;
    r.card_fcs_mode = card.fcs_mode;
    r.card_aux = card.card_aux;
    r.status_b0_cnt = card.status_b0_cnt;
    r.status_b12_cnt = card.status_b12_cnt;
    r.status_b3_cnt = card.status_b3_cnt;
    r.unknown_ctrl_cnt = card.unknown_ctrl_cnt;
    r.fcs_err_cnt = card.fcs_err_cnt;
    r.pdu_type_err_cnt = card.pdu_type_err_cnt;
    r.length_err_cnt = card.length_err_cnt;
    r.status_b6_cnt = card.status_b6_cnt;
    r.status_b5_cnt = card.status_b5_cnt;
    r.status_b4_cnt = card.status_b4_cnt;
    return r;
}

void Monitoring::print_screen(std::ostream& out, const Snapshot& stats, uint32_t counter,
                              unsigned int period) {
    print_service(out, stats.system_stats, stats.udp_stats);
    print_host(out, stats.system_stats);
    print_buffer(out, stats.fip_stats);
    print_network(out, stats.udp_stats);
    print_bus(out, stats.fip_stats);
    out << color::green << "==> LIFESIGN INFOS " << color::reset << "(T=" << period << "ms)\n";
    out << "  Counter\t\t: " << counter << "\n";
}

void Monitoring::print() {
    const Snapshot stats = snapshot();
    print_screen(std::cout, stats, lifesign_count(), lifesign_period);
}

bool Monitoring::wait_period(const std::atomic<bool>& running, uint64_t period_ms) {
    std::unique_lock<std::mutex> lock(wake_mutex);
    return !wake.wait_for(lock, std::chrono::milliseconds(period_ms), [&] { return !running.load(); });
}

void Monitoring::emit_lifesign() {
    const ptime created = boost::posix_time::microsec_clock::local_time();
    const uint32_t counter = lifesign_counter.load(std::memory_order_relaxed) + 1;  // wraps to 0
    lifesign_counter.store(counter, std::memory_order_release);
    const LifesignRecord record = make_lifesign(snapshot(), counter, created);
    if (queue) queue->enqueue(record.encode());
}

void Monitoring::_bkgd_lifesign_func() {
    while (lifesign_running) {
        try {
            emit_lifesign();
        } catch (const std::bad_alloc&) {
            // No memory for this record: the thread lives on and the next period tries again.
        }
        if (!wait_period(lifesign_running, lifesign_period)) break;
    }
}

void Monitoring::_bkgd_print_func() {
    while (print_running) {
        std::cout.clear();  // an output error must not silence the following screens
        std::cout << CLEAR_SCREEN << std::flush;
        std::cout << DASHBOARD_BANNER << "\n\n";
        try {
            print();
        } catch (const std::bad_alloc&) {
            // A screen that cannot be built is skipped; the next one may succeed.
        }
        std::cout << std::flush;
        if (!wait_period(print_running, static_cast<uint64_t>(stats_period))) break;
    }
}
