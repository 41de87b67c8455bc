// Statistics of the bus a card listens to, copied whole by the monitoring object.
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

struct FIPStats {
    // Reads the local clock once: the three dates get that time, the durations are zero.
    FIPStats();

    boost::posix_time::ptime last_start_date;
    boost::posix_time::ptime last_stop_date;
    // A date equal to init_date has not happened yet.
    boost::posix_time::ptime init_date;
    boost::posix_time::time_duration last_act_duration;
    boost::posix_time::time_duration last_inact_duration;
    boost::posix_time::time_duration total_act_duration;
    boost::posix_time::time_duration total_inact_duration;
    bool is_active = false;

    uint32_t buf_total = 0;
    uint32_t buf_used = 0;
    uint32_t buf_free = 0;
    float buf_used_pct = 0.0f;
    float buf_free_pct = 0.0f;

    uint32_t frame_rcvd_cnt = 0;
    uint32_t bytes_rcvd_cnt = 0;
    uint32_t frame_rcvd_cnt_per_sec = 0;
    uint32_t bytes_rcvd_cnt_per_sec = 0;
    uint32_t act_loss_cnt = 0;
    uint8_t fcs_mode = 0;
    uint8_t card_aux = 0;
    uint32_t sn = 0;

    uint64_t status_b0_cnt = 0;
    uint64_t status_b12_cnt = 0;
    uint64_t status_b3_cnt = 0;
    uint64_t unknown_ctrl_cnt = 0;
    uint64_t fcs_err_cnt = 0;
    uint64_t pdu_type_err_cnt = 0;
    uint64_t length_err_cnt = 0;
    uint64_t status_b6_cnt = 0;
    uint64_t status_b5_cnt = 0;
    uint64_t status_b4_cnt = 0;
    uint32_t loss_evt_cnt = 0;
    uint32_t lost_frame_cnt = 0;
};
