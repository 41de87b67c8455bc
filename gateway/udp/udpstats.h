// Statistics record of the UDP sender, copied whole by its observers.
#pragma once

#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

struct UDPStats {
    UDPStats();

    boost::posix_time::ptime last_start_date;  // start of the current or last activity period
    boost::posix_time::ptime last_stop_date;   // end of the last activity period
    boost::posix_time::ptime init_date;
    boost::posix_time::time_duration act_duration;
    boost::posix_time::time_duration inact_duration;
    boost::posix_time::time_duration total_act_duration;
    boost::posix_time::time_duration total_inact_duration;
    bool is_active = false;
    std::string ip;  // empty in broadcast mode
    int32_t port = 0;
    uint32_t pkt_sent_cnt = 0;
    uint32_t pkt_rcvd_cnt = 0;
    uint32_t pkt_err_cnt = 0;    // network-unreachable errors excluded
    uint32_t bytes_sent_cnt = 0; // each datagram's length plus the Ethernet, IPv4 and UDP headers
    uint32_t bytes_rcvd_cnt = 0;
    uint32_t pkt_sent_cnt_per_sec = 0;
    uint32_t pkt_rcvd_cnt_per_sec = 0;
    uint32_t pkt_err_cnt_per_sec = 0;
    uint32_t bytes_sent_cnt_per_sec = 0;
    uint32_t bytes_rcvd_cnt_per_sec = 0;
    uint32_t act_loss_cnt = 0;  // active -> inactive transitions
};
