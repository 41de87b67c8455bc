// The lifesign record: a 323-byte big-endian record of type 0xC1 that travels in the event
// queue beside the bus event records and carries the gateway's host, network and bus figures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/stream/recordwalk.h"

namespace lifesign {

constexpr uint8_t RECORD_TYPE = 0xC1;
constexpr std::size_t RECORD_SIZE = 323;
static_assert(RECORD_SIZE == 0x143, "the record length field reads 0x0143");

// Byte offsets of the fields; type and length are every record's framing.
constexpr std::size_t OFF_TYPE = RecordWalk::RECORD_OFF_TYPE;
constexpr std::size_t OFF_LENGTH = RecordWalk::RECORD_OFF_LENGTH;
constexpr std::size_t OFF_ZERO_3 = 3;
constexpr std::size_t OFF_COUNTER = 7;
constexpr std::size_t OFF_CREATED = 11;
constexpr std::size_t OFF_SN = 19;
constexpr std::size_t OFF_CPU_LOAD = 23;
constexpr std::size_t OFF_CPU_TEMPERATURE = 27;
constexpr std::size_t OFF_STORAGE_TOTAL = 31;
constexpr std::size_t OFF_STORAGE_USED = 35;
constexpr std::size_t OFF_STORAGE_AVAILABLE = 39;
constexpr std::size_t OFF_STORAGE_USED_PCT = 43;
constexpr std::size_t OFF_RAM_TOTAL = 47;
constexpr std::size_t OFF_RAM_USED = 51;
constexpr std::size_t OFF_RAM_AVAILABLE = 55;
constexpr std::size_t OFF_RAM_USED_PCT = 59;
constexpr std::size_t OFF_BUF_TOTAL = 63;
constexpr std::size_t OFF_BUF_USED = 67;
constexpr std::size_t OFF_BUF_FREE = 71;
constexpr std::size_t OFF_BUF_USED_PCT = 75;
constexpr std::size_t OFF_NET_IS_ACTIVE = 79;
constexpr std::size_t OFF_NET_TOTAL_ACT_DURATION = 80;
constexpr std::size_t OFF_NET_TOTAL_INACT_DURATION = 88;
constexpr std::size_t OFF_NET_LAST_START_DATE = 96;
constexpr std::size_t OFF_NET_LAST_STOP_DATE = 104;
constexpr std::size_t OFF_NET_ACT_DURATION = 112;
constexpr std::size_t OFF_NET_INACT_DURATION = 120;
constexpr std::size_t OFF_NET_ACT_LOSS_CNT = 128;
constexpr std::size_t OFF_ZERO_130 = 130;
constexpr std::size_t OFF_NET_PKT_RCVD_CNT = 134;
constexpr std::size_t OFF_NET_PKT_RCVD_CNT_PER_SEC = 138;
constexpr std::size_t OFF_ZERO_142 = 142;
constexpr std::size_t OFF_NET_BYTES_RCVD_CNT_PER_SEC = 146;
constexpr std::size_t OFF_ZERO_150 = 150;
constexpr std::size_t OFF_NET_PKT_SENT_CNT = 154;
constexpr std::size_t OFF_NET_PKT_SENT_CNT_PER_SEC = 158;
constexpr std::size_t OFF_ZERO_162 = 162;
constexpr std::size_t OFF_NET_BYTES_SENT_CNT_PER_SEC = 166;
constexpr std::size_t OFF_CARD_IS_ACTIVE = 170;
constexpr std::size_t OFF_CARD_TOTAL_ACT_DURATION = 171;
constexpr std::size_t OFF_CARD_TOTAL_INACT_DURATION = 179;
constexpr std::size_t OFF_CARD_LAST_START_DATE = 187;
constexpr std::size_t OFF_CARD_LAST_STOP_DATE = 195;
constexpr std::size_t OFF_CARD_LAST_ACT_DURATION = 203;
constexpr std::size_t OFF_CARD_LAST_INACT_DURATION = 211;
constexpr std::size_t OFF_CARD_ACT_LOSS_CNT = 219;
constexpr std::size_t OFF_ZERO_221 = 221;
constexpr std::size_t OFF_CARD_FRAME_RCVD_CNT = 225;
constexpr std::size_t OFF_CARD_FRAME_RCVD_CNT_PER_SEC = 229;
constexpr std::size_t OFF_ZERO_233 = 233;
constexpr std::size_t OFF_CARD_BYTES_RCVD_CNT_PER_SEC = 237;
constexpr std::size_t OFF_CARD_FCS_MODE = 241;
constexpr std::size_t OFF_CARD_AUX = 242;
// The ten 64-bit card counters, in the order the card statistics declare them.
constexpr std::size_t OFF_CARD_COUNTERS = 243;
constexpr std::size_t CARD_COUNTER_COUNT = 10;
constexpr std::size_t OFF_STATUS_B0_CNT = 243;
constexpr std::size_t OFF_STATUS_B12_CNT = 251;
constexpr std::size_t OFF_STATUS_B3_CNT = 259;
constexpr std::size_t OFF_UNKNOWN_CTRL_CNT = 267;
constexpr std::size_t OFF_FCS_ERR_CNT = 275;
constexpr std::size_t OFF_PDU_TYPE_ERR_CNT = 283;
constexpr std::size_t OFF_LENGTH_ERR_CNT = 291;
constexpr std::size_t OFF_STATUS_B6_CNT = 299;
constexpr std::size_t OFF_STATUS_B5_CNT = 307;
constexpr std::size_t OFF_STATUS_B4_CNT = 315;

constexpr std::size_t ZERO_FIELD_SIZE = 4;
constexpr std::size_t ZERO_FIELDS[] = {OFF_ZERO_3,   OFF_ZERO_130, OFF_ZERO_142, OFF_ZERO_150,
                                       OFF_ZERO_162, OFF_ZERO_221, OFF_ZERO_233};

// The table is contiguous: every field ends where the next begins.
static_assert(OFF_COUNTER == OFF_ZERO_3 + 4 && OFF_CREATED == OFF_COUNTER + 4 &&
                  OFF_SN == OFF_CREATED + 8 && OFF_CPU_LOAD == OFF_SN + 4,
              "record header layout");
static_assert(OFF_STORAGE_TOTAL == OFF_CPU_TEMPERATURE + 4 &&
                  OFF_RAM_TOTAL == OFF_STORAGE_USED_PCT + 4 && OFF_BUF_TOTAL == OFF_RAM_USED_PCT + 4 &&
                  OFF_NET_IS_ACTIVE == OFF_BUF_USED_PCT + 4,
              "host and buffer layout");
static_assert(OFF_NET_TOTAL_ACT_DURATION == OFF_NET_IS_ACTIVE + 1 &&
                  OFF_NET_ACT_LOSS_CNT == OFF_NET_INACT_DURATION + 8 &&
                  OFF_ZERO_130 == OFF_NET_ACT_LOSS_CNT + 2 &&
                  OFF_CARD_IS_ACTIVE == OFF_NET_BYTES_SENT_CNT_PER_SEC + 4,
              "network layout");
static_assert(OFF_CARD_TOTAL_ACT_DURATION == OFF_CARD_IS_ACTIVE + 1 &&
                  OFF_CARD_ACT_LOSS_CNT == OFF_CARD_LAST_INACT_DURATION + 8 &&
                  OFF_ZERO_221 == OFF_CARD_ACT_LOSS_CNT + 2 &&
                  OFF_CARD_FCS_MODE == OFF_CARD_BYTES_RCVD_CNT_PER_SEC + 4 &&
                  OFF_CARD_COUNTERS == OFF_CARD_AUX + 1,
              "card layout");
static_assert(OFF_STATUS_B4_CNT == OFF_CARD_COUNTERS + 8 * (CARD_COUNTER_COUNT - 1) &&
                  OFF_STATUS_B4_CNT + 8 == RECORD_SIZE,
              "the card counters end the record");

// A byte count in thousands, halves away from zero (1499 gives 1, 1500 gives 2).
uint32_t bytes_in_thousands(uint32_t bytes);

}  // namespace lifesign

// The decoded content of one lifesign record. Time points and durations are signed
// microsecond counts (time points from 1970-01-01 00:00:00 on the local wall clock).
struct LifesignRecord {
    uint32_t counter = 0;
    int64_t created_us = 0;
    uint32_t sn = 0;

    float cpu_load = 0;
    float cpu_temperature = 0;
    uint32_t storage_total = 0;  // KiB
    uint32_t storage_used = 0;
    uint32_t storage_available = 0;
    float storage_used_pct = 0;
    uint32_t ram_total = 0;  // KiB
    uint32_t ram_used = 0;
    uint32_t ram_available = 0;
    float ram_used_pct = 0;

    uint32_t buf_total = 0;  // thousands of bytes
    uint32_t buf_used = 0;
    uint32_t buf_free = 0;
    float buf_used_pct = 0;

    uint8_t net_is_active = 0;
    int64_t net_total_act_duration_us = 0;
    int64_t net_total_inact_duration_us = 0;
    int64_t net_last_start_date_us = 0;
    int64_t net_last_stop_date_us = 0;
    int64_t net_act_duration_us = 0;
    int64_t net_inact_duration_us = 0;
    uint16_t net_act_loss_cnt = 0;
    uint32_t net_pkt_rcvd_cnt = 0;
    uint32_t net_pkt_rcvd_cnt_per_sec = 0;
    uint32_t net_bytes_rcvd_cnt_per_sec = 0;
    uint32_t net_pkt_sent_cnt = 0;
    uint32_t net_pkt_sent_cnt_per_sec = 0;
    uint32_t net_bytes_sent_cnt_per_sec = 0;

    uint8_t card_is_active = 0;
    int64_t card_total_act_duration_us = 0;
    int64_t card_total_inact_duration_us = 0;
    int64_t card_last_start_date_us = 0;
    int64_t card_last_stop_date_us = 0;
    int64_t card_last_act_duration_us = 0;
    int64_t card_last_inact_duration_us = 0;
    uint16_t card_act_loss_cnt = 0;
    uint32_t card_frame_rcvd_cnt = 0;
    uint32_t card_frame_rcvd_cnt_per_sec = 0;
    uint32_t card_bytes_rcvd_cnt_per_sec = 0;
    uint8_t card_fcs_mode = 0;
    uint8_t card_aux = 0;
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

    // Writes the 323 bytes of the record; out must hold lifesign::RECORD_SIZE bytes.
    void encode(uint8_t* out) const;
    std::vector<char> encode() const;

    // Reads a record from the first bytes of data. Returns false, with the reason in *error
    // when error is given, if fewer than 323 bytes are present or the type or length is wrong.
    static bool decode(const uint8_t* data, std::size_t size, LifesignRecord* out,
                       std::string* error = nullptr);
};
