#include "gateway/servicereporter.h"

ServiceReporter::ServiceReporter(std::chrono::microseconds watchdog_interval)
    // Half the interval leaves the manager a margin for a slow round of the watch loop.
    : alive_period_(std::chrono::duration_cast<Clock::duration>(watchdog_interval / 2)) {}

ServiceReporter::Due ServiceReporter::tick(Clock::time_point now) {
    Due due;
    if (!started_) {
        started_ = true;
        next_summary_ = now;
        next_alive_ = now;
    }
    if (now >= next_summary_) {
        due.summary = true;
        next_summary_ = now + SUMMARY_PERIOD;
    }
    if (alive_period_ > Clock::duration::zero() && now >= next_alive_) {
        due.alive = true;
        next_alive_ = now + alive_period_;
    }
    return due;
}

std::string ServiceReporter::summary_text(const FIPStats& card, const UDPStats& udp, uint64_t records_dropped) {
    return std::to_string(card.frame_rcvd_cnt_per_sec) + " frames/s, " + std::to_string(udp.pkt_sent_cnt_per_sec) +
           " datagrams/s, " + std::to_string(records_dropped) + " records dropped, link " +
           (udp.is_active ? "up" : "down");
}
