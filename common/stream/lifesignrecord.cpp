#include "common/stream/lifesignrecord.h"

#include <cmath>
#include <cstring>

#include "common/driver/byteorder.h"

using linkscope::load_be16;
using linkscope::load_be32;
using linkscope::load_be64;
using linkscope::store_be16;
using linkscope::store_be32;
using linkscope::store_be64;

namespace {

static_assert(sizeof(float) == 4, "floats travel as IEEE 754 single precision");

// Floats are copied bit for bit, so a NaN keeps its payload (7F C0 00 00).
void store_be_float(uint8_t* p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    store_be32(p, bits);
}

float load_be_float(const uint8_t* p) {
    const uint32_t bits = load_be32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

void store_be_signed64(uint8_t* p, int64_t v) { store_be64(p, static_cast<uint64_t>(v)); }
int64_t load_be_signed64(const uint8_t* p) { return static_cast<int64_t>(load_be64(p)); }

}  // namespace

namespace lifesign {

uint32_t bytes_in_thousands(uint32_t bytes) {
    const double rounded = std::round(static_cast<double>(bytes) / 1000.0);
    return static_cast<uint32_t>(static_cast<uint64_t>(rounded));
}

}  // namespace lifesign

using namespace lifesign;

void LifesignRecord::encode(uint8_t* out) const {
    std::memset(out, 0, RECORD_SIZE);
    out[OFF_TYPE] = RECORD_TYPE;
    store_be16(out + OFF_LENGTH, static_cast<uint16_t>(RECORD_SIZE));
    store_be32(out + OFF_COUNTER, counter);
    store_be_signed64(out + OFF_CREATED, created_us);
    store_be32(out + OFF_SN, sn);

    store_be_float(out + OFF_CPU_LOAD, cpu_load);
    store_be_float(out + OFF_CPU_TEMPERATURE, cpu_temperature);
    store_be32(out + OFF_STORAGE_TOTAL, storage_total);
    store_be32(out + OFF_STORAGE_USED, storage_used);
    store_be32(out + OFF_STORAGE_AVAILABLE, storage_available);
    store_be_float(out + OFF_STORAGE_USED_PCT, storage_used_pct);
    store_be32(out + OFF_RAM_TOTAL, ram_total);
    store_be32(out + OFF_RAM_USED, ram_used);
    store_be32(out + OFF_RAM_AVAILABLE, ram_available);
    store_be_float(out + OFF_RAM_USED_PCT, ram_used_pct);

    store_be32(out + OFF_BUF_TOTAL, buf_total);
    store_be32(out + OFF_BUF_USED, buf_used);
    store_be32(out + OFF_BUF_FREE, buf_free);
    store_be_float(out + OFF_BUF_USED_PCT, buf_used_pct);

    out[OFF_NET_IS_ACTIVE] = net_is_active;
    store_be_signed64(out + OFF_NET_TOTAL_ACT_DURATION, net_total_act_duration_us);
    store_be_signed64(out + OFF_NET_TOTAL_INACT_DURATION, net_total_inact_duration_us);
    store_be_signed64(out + OFF_NET_LAST_START_DATE, net_last_start_date_us);
    store_be_signed64(out + OFF_NET_LAST_STOP_DATE, net_last_stop_date_us);
    store_be_signed64(out + OFF_NET_ACT_DURATION, net_act_duration_us);
    store_be_signed64(out + OFF_NET_INACT_DURATION, net_inact_duration_us);
    store_be16(out + OFF_NET_ACT_LOSS_CNT, net_act_loss_cnt);
    store_be32(out + OFF_NET_PKT_RCVD_CNT, net_pkt_rcvd_cnt);
    store_be32(out + OFF_NET_PKT_RCVD_CNT_PER_SEC, net_pkt_rcvd_cnt_per_sec);
    store_be32(out + OFF_NET_BYTES_RCVD_CNT_PER_SEC, net_bytes_rcvd_cnt_per_sec);
    store_be32(out + OFF_NET_PKT_SENT_CNT, net_pkt_sent_cnt);
    store_be32(out + OFF_NET_PKT_SENT_CNT_PER_SEC, net_pkt_sent_cnt_per_sec);
    store_be32(out + OFF_NET_BYTES_SENT_CNT_PER_SEC, net_bytes_sent_cnt_per_sec);

    out[OFF_CARD_IS_ACTIVE] = card_is_active;
    store_be_signed64(out + OFF_CARD_TOTAL_ACT_DURATION, card_total_act_duration_us);
    store_be_signed64(out + OFF_CARD_TOTAL_INACT_DURATION, card_total_inact_duration_us);
    store_be_signed64(out + OFF_CARD_LAST_START_DATE, card_last_start_date_us);
    store_be_signed64(out + OFF_CARD_LAST_STOP_DATE, card_last_stop_date_us);
    store_be_signed64(out + OFF_CARD_LAST_ACT_DURATION, card_last_act_duration_us);
    store_be_signed64(out + OFF_CARD_LAST_INACT_DURATION, card_last_inact_duration_us);
    store_be16(out + OFF_CARD_ACT_LOSS_CNT, card_act_loss_cnt);
    store_be32(out + OFF_CARD_FRAME_RCVD_CNT, card_frame_rcvd_cnt);
    store_be32(out + OFF_CARD_FRAME_RCVD_CNT_PER_SEC, card_frame_rcvd_cnt_per_sec);
    store_be32(out + OFF_CARD_BYTES_RCVD_CNT_PER_SEC, card_bytes_rcvd_cnt_per_sec);
    out[OFF_CARD_FCS_MODE] = card_fcs_mode;
    out[OFF_CARD_AUX] = card_aux;
    store_be64(out + OFF_STATUS_B0_CNT, status_b0_cnt);
    store_be64(out + OFF_STATUS_B12_CNT, status_b12_cnt);
    store_be64(out + OFF_STATUS_B3_CNT, status_b3_cnt);
    store_be64(out + OFF_UNKNOWN_CTRL_CNT, unknown_ctrl_cnt);
    store_be64(out + OFF_FCS_ERR_CNT, fcs_err_cnt);
    store_be64(out + OFF_PDU_TYPE_ERR_CNT, pdu_type_err_cnt);
    store_be64(out + OFF_LENGTH_ERR_CNT, length_err_cnt);
    store_be64(out + OFF_STATUS_B6_CNT, status_b6_cnt);
    store_be64(out + OFF_STATUS_B5_CNT, status_b5_cnt);
    store_be64(out + OFF_STATUS_B4_CNT, status_b4_cnt);
}

std::vector<char> LifesignRecord::encode() const {
    std::vector<char> bytes(RECORD_SIZE);
    encode(reinterpret_cast<uint8_t*>(bytes.data()));
    return bytes;
}

namespace {

bool refuse(std::string* error, const std::string& reason) {
    if (error) *error = reason;
    return false;
}

}  // namespace

bool LifesignRecord::decode(const uint8_t* in, std::size_t size, LifesignRecord* out,
                            std::string* error) {
    if (!in || !out) return refuse(error, "no lifesign record given");
    if (size < RECORD_SIZE)
        return refuse(error, "lifesign record truncated: " + std::to_string(size) + " of " +
                                 std::to_string(RECORD_SIZE) + " bytes");
    if (in[OFF_TYPE] != RECORD_TYPE)
        return refuse(error, "not a lifesign record: type byte " + std::to_string(in[OFF_TYPE]));
    const uint16_t length = load_be16(in + OFF_LENGTH);
    if (length != RECORD_SIZE)
        return refuse(error, "lifesign record length " + std::to_string(length) + ", expected " +
                                 std::to_string(RECORD_SIZE));

    LifesignRecord r;
    r.counter = load_be32(in + OFF_COUNTER);
    r.created_us = load_be_signed64(in + OFF_CREATED);
    r.sn = load_be32(in + OFF_SN);

    r.cpu_load = load_be_float(in + OFF_CPU_LOAD);
    r.cpu_temperature = load_be_float(in + OFF_CPU_TEMPERATURE);
    r.storage_total = load_be32(in + OFF_STORAGE_TOTAL);
    r.storage_used = load_be32(in + OFF_STORAGE_USED);
    r.storage_available = load_be32(in + OFF_STORAGE_AVAILABLE);
    r.storage_used_pct = load_be_float(in + OFF_STORAGE_USED_PCT);
    r.ram_total = load_be32(in + OFF_RAM_TOTAL);
    r.ram_used = load_be32(in + OFF_RAM_USED);
    r.ram_available = load_be32(in + OFF_RAM_AVAILABLE);
    r.ram_used_pct = load_be_float(in + OFF_RAM_USED_PCT);

    r.buf_total = load_be32(in + OFF_BUF_TOTAL);
    r.buf_used = load_be32(in + OFF_BUF_USED);
    r.buf_free = load_be32(in + OFF_BUF_FREE);
    r.buf_used_pct = load_be_float(in + OFF_BUF_USED_PCT);

    r.net_is_active = in[OFF_NET_IS_ACTIVE];
    r.net_total_act_duration_us = load_be_signed64(in + OFF_NET_TOTAL_ACT_DURATION);
    r.net_total_inact_duration_us = load_be_signed64(in + OFF_NET_TOTAL_INACT_DURATION);
    r.net_last_start_date_us = load_be_signed64(in + OFF_NET_LAST_START_DATE);
    r.net_last_stop_date_us = load_be_signed64(in + OFF_NET_LAST_STOP_DATE);
    r.net_act_duration_us = load_be_signed64(in + OFF_NET_ACT_DURATION);
    r.net_inact_duration_us = load_be_signed64(in + OFF_NET_INACT_DURATION);
    r.net_act_loss_cnt = load_be16(in + OFF_NET_ACT_LOSS_CNT);
    r.net_pkt_rcvd_cnt = load_be32(in + OFF_NET_PKT_RCVD_CNT);
    r.net_pkt_rcvd_cnt_per_sec = load_be32(in + OFF_NET_PKT_RCVD_CNT_PER_SEC);
    r.net_bytes_rcvd_cnt_per_sec = load_be32(in + OFF_NET_BYTES_RCVD_CNT_PER_SEC);
    r.net_pkt_sent_cnt = load_be32(in + OFF_NET_PKT_SENT_CNT);
    r.net_pkt_sent_cnt_per_sec = load_be32(in + OFF_NET_PKT_SENT_CNT_PER_SEC);
    r.net_bytes_sent_cnt_per_sec = load_be32(in + OFF_NET_BYTES_SENT_CNT_PER_SEC);

    r.card_is_active = in[OFF_CARD_IS_ACTIVE];
    r.card_total_act_duration_us = load_be_signed64(in + OFF_CARD_TOTAL_ACT_DURATION);
    r.card_total_inact_duration_us = load_be_signed64(in + OFF_CARD_TOTAL_INACT_DURATION);
    r.card_last_start_date_us = load_be_signed64(in + OFF_CARD_LAST_START_DATE);
    r.card_last_stop_date_us = load_be_signed64(in + OFF_CARD_LAST_STOP_DATE);
    r.card_last_act_duration_us = load_be_signed64(in + OFF_CARD_LAST_ACT_DURATION);
    r.card_last_inact_duration_us = load_be_signed64(in + OFF_CARD_LAST_INACT_DURATION);
    r.card_act_loss_cnt = load_be16(in + OFF_CARD_ACT_LOSS_CNT);
    r.card_frame_rcvd_cnt = load_be32(in + OFF_CARD_FRAME_RCVD_CNT);
    r.card_frame_rcvd_cnt_per_sec = load_be32(in + OFF_CARD_FRAME_RCVD_CNT_PER_SEC);
    r.card_bytes_rcvd_cnt_per_sec = load_be32(in + OFF_CARD_BYTES_RCVD_CNT_PER_SEC);
    r.card_fcs_mode = in[OFF_CARD_FCS_MODE];
    r.card_aux = in[OFF_CARD_AUX];
    r.status_b0_cnt = load_be64(in + OFF_STATUS_B0_CNT);
    r.status_b12_cnt = load_be64(in + OFF_STATUS_B12_CNT);
    r.status_b3_cnt = load_be64(in + OFF_STATUS_B3_CNT);
    r.unknown_ctrl_cnt = load_be64(in + OFF_UNKNOWN_CTRL_CNT);
    r.fcs_err_cnt = load_be64(in + OFF_FCS_ERR_CNT);
    r.pdu_type_err_cnt = load_be64(in + OFF_PDU_TYPE_ERR_CNT);
    r.length_err_cnt = load_be64(in + OFF_LENGTH_ERR_CNT);
    r.status_b6_cnt = load_be64(in + OFF_STATUS_B6_CNT);
    r.status_b5_cnt = load_be64(in + OFF_STATUS_B5_CNT);
    r.status_b4_cnt = load_be64(in + OFF_STATUS_B4_CNT);
    *out = r;
    return true;
}
