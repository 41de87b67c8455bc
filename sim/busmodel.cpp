#include "sim/busmodel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "common/driver/framecheck.h"
#include "common/driver/protocol.h"
#include "sim/simrandom.h"

namespace sim {

using namespace linkscope;

namespace {

// Bus timing in bit times: preamble, start and end delimiters around every frame; the
// turnaround between two frames; the arbiter's wait before it gives up on a missing answer.
constexpr uint64_t FRAME_OVERHEAD_BITS = 32;
constexpr uint64_t TURNAROUND_BITS = 20;
constexpr uint64_t NO_ANSWER_BITS = 150;
// Frame bytes before the FCS: an identifier frame (control byte and identifier), and a variable's
// response ahead of its data (control byte, PDU type, length).
constexpr std::size_t IDENTIFIER_FRAME_BYTES = 3;
constexpr std::size_t VARIABLE_OVERHEAD_BYTES = 3;

constexpr uint8_t CTRL_RP_MSG_ACK_E = 0x14;
constexpr uint8_t CTRL_RP_ACK_N_E = 0x30;
constexpr uint8_t CTRL_RP_RQ1 = 0x08;

// Identification item tags and the network-management layout the library decodes.
constexpr uint8_t TAG_VENDOR = 0x80;
constexpr uint8_t TAG_PRODUCT = 0x81;
constexpr uint8_t TAG_CLASS = 0x82;
constexpr uint8_t TAG_VERSION = 0x83;
constexpr uint8_t TAG_ROLE = 0x84;
constexpr uint8_t TAG_NAME = 0x8A;
constexpr uint8_t TAG_PRESENT_LIST = 0x80;
constexpr uint8_t PRESENT_LIST_BYTES = 32;
constexpr uint8_t BUS_STATUS_TAG = 0x80;
constexpr uint8_t BUS_STATUS_LENGTH = 0x02;
constexpr uint8_t PRESENCE_ANSWER_LENGTH = 5;
constexpr uint8_t REPORT_TAG_FIRST = 'P';
constexpr uint8_t REPORT_TAG_COUNT = 5;  // 'P' to 'T'

constexpr uint16_t MESSAGE_ID_BASE = 0x0500;
constexpr uint16_t REQUEST_ID_BASE = 0x0600;
constexpr uint32_t MESSAGE_SEGMENT = 0x010000;  // 24-bit addresses: segment, station, service
constexpr uint8_t MESSAGE_DATA_LENGTH = 8;

constexpr std::size_t MAX_FRAME_BODY = 263;  // longest frame (265) less its FCS
// A cycle is built whole; beyond this many frames the rest of a very long cycle is silence.
constexpr std::size_t MAX_CYCLE_FRAMES = 100000;

}  // namespace

BusModel::BusModel(const SimSettings& settings, uint64_t seed) : settings_(settings), seed_(seed) {
    for (unsigned s = 0; s < settings_.present_stations(); ++s) {
        periodic_.push_back({periodic_id(0, s), static_cast<uint8_t>(2 + 2 * (s % 4))});
        if (s % 2 == 0) periodic_.push_back({periodic_id(1, s), 4});
    }
    for (const Variable& v : periodic_) slow_id_scanned_ = slow_id_scanned_ || v.id == settings_.slow_id;
    const std::size_t variants = std::max(1u, settings_.stations);
    variant_frames_.assign(variants, 0);
    variant_length_ns_.assign(variants, 0);

    // The elementary scans of the periodic variables fill the macrocycle beside the longest
    // aperiodic window; the rest of the cycle is silence. Every scan lasts the same time, so
    // a cycle's length and frame count follow from the cycle without scans.
    scans_ = 0;
    std::vector<uint64_t> fixed_ns(variants);
    std::vector<std::size_t> fixed_frames(variants);
    for (std::size_t k = 0; k < variants; ++k) {
        build_cycle(k, 0);
        fixed_ns[k] = cursor_ns_;
        fixed_frames[k] = slots_.size();
    }
    const uint64_t longest_fixed = *std::max_element(fixed_ns.begin(), fixed_ns.end());
    scans_ = 1;
    build_cycle(0, 0);
    const uint64_t scan_ns = cursor_ns_ - fixed_ns[0];
    const std::size_t scan_frames = slots_.size() - fixed_frames[0];
    const uint64_t cycle_ns = settings_.cycle_us * 1000;
    if (scan_ns > 0 && cycle_ns > longest_fixed) scans_ = std::max<uint64_t>(1, (cycle_ns - longest_fixed) / scan_ns);
    if (scan_frames > 0) scans_ = std::min<uint64_t>(scans_, std::max<std::size_t>(1, MAX_CYCLE_FRAMES / scan_frames));

    for (std::size_t k = 0; k < variants; ++k) {
        const uint64_t end = fixed_ns[k] + scans_ * scan_ns;
        variant_frames_[k] = fixed_frames[k] + scans_ * scan_frames;
        variant_length_ns_[k] = std::max(cycle_ns, end + bits_ns(TURNAROUND_BITS));
        period_frames_ += variant_frames_[k];
        period_length_ns_ += variant_length_ns_[k];
    }
    restart(0);
}

void BusModel::restart(uint64_t start_ns) {
    cycle_ = 0;
    cursor_ns_ = start_ns;
    build_cycle(0, start_ns);
}

void BusModel::next_cycle() {
    const uint64_t start = cycle_start_ns_ + cycle_length_ns(cycle_);
    ++cycle_;
    build_cycle(cycle_, start);
}

uint64_t BusModel::skip_until(uint64_t t_ns) {
    uint64_t skipped = 0;
    for (;;) {
        if (current().start_ns >= t_ns) return skipped;
        const uint64_t cycle_end = cycle_start_ns_ + cycle_length_ns(cycle_);
        if (t_ns < cycle_end) {
            advance();
            ++skipped;
            continue;
        }
        skipped += slots_.size() - slot_;
        uint64_t k = cycle_ + 1;
        uint64_t start = cycle_end;
        // A variable scanned every other time makes the cycles differ beyond the variants.
        if (period_length_ns_ > 0 && !slow_id_scanned_) {
            const uint64_t periods = (t_ns - start) / period_length_ns_;
            k += periods * variant_frames_.size();
            start += periods * period_length_ns_;
            skipped += periods * period_frames_;
        }
        while (start + cycle_length_ns(k) <= t_ns) {
            skipped += frames_in_cycle(k);
            start += cycle_length_ns(k);
            ++k;
        }
        cycle_ = k;
        cursor_ns_ = start;
        build_cycle(k, start);
    }
}

void BusModel::build_cycle(uint64_t k, uint64_t start_ns) {
    pool_.clear();
    slots_.clear();
    slot_ = 0;
    cycle_start_ns_ = start_ns;
    pending_silence_bits_ = 0;
    const uint64_t silence_before = start_ns - std::min(start_ns, cursor_ns_);
    cursor_ns_ = start_ns;

    uint8_t sync[2];
    store_be16(sync, static_cast<uint16_t>(k));
    add_exchange(SYNC_ID, sync, sizeof sync);
    slots_.front().silence_ns = static_cast<uint32_t>(std::min<uint64_t>(silence_before, UINT32_MAX));

    uint8_t data[16];
    for (unsigned scan = 0; scan < scans_; ++scan) {
        const uint64_t refresh = k * scans_ + scan;
        for (std::size_t v = 0; v < periodic_.size(); ++v) {
            const uint64_t a = SimRandom::hash(seed_, refresh, v);
            const uint64_t b = SimRandom::hash(seed_, refresh, v + 0x10000);
            store_be64(data, a);
            store_be64(data + 8, b);
            store_be16(data, static_cast<uint16_t>(refresh));  // a refresh counter leads the value
            if (skips(periodic_[v].id, refresh))
                add_silent_exchange(periodic_[v].data_length);
            else
                add_exchange_of(periodic_[v].id & 0xFF, periodic_[v].id, data, periodic_[v].data_length);
        }
    }
    build_aperiodic_window(k);
}

void BusModel::build_aperiodic_window(uint64_t k) {
    const unsigned stations = settings_.stations;
    const unsigned present = settings_.present_stations();
    if (stations > 0) {
        const unsigned p = static_cast<unsigned>(k % stations);
        const uint64_t visit = k / stations;
        if (is_present(p)) {
            const uint8_t answer[PRESENCE_ANSWER_LENGTH] = {0x00, 0x01, static_cast<uint8_t>(p), 0x00,
                                                            static_cast<uint8_t>(0x20 | (p & 0x0F))};
            add_exchange_of(p, static_cast<uint16_t>(PRESENCE_BASE | p), answer, sizeof answer);

            char name[24];
            std::snprintf(name, sizeof name, "STATION-%03u", p);
            const char* texts[] = {"LINKSCOPE-SIM", "FIP I/O station", "V1.4.0", name};
            uint8_t items[128];
            std::size_t n = 0;
            auto text_item = [&](uint8_t tag, const char* text) {
                const std::size_t length = std::strlen(text);
                items[n++] = tag;
                items[n++] = static_cast<uint8_t>(length);
                std::memcpy(items + n, text, length);
                n += length;
            };
            auto byte_item = [&](uint8_t tag, uint8_t value) {
                items[n++] = tag;
                items[n++] = 1;
                items[n++] = value;
            };
            text_item(TAG_VENDOR, texts[0]);
            text_item(TAG_PRODUCT, texts[1]);
            byte_item(TAG_CLASS, static_cast<uint8_t>(0x10 + p % 4));
            text_item(TAG_VERSION, texts[2]);
            byte_item(TAG_ROLE, static_cast<uint8_t>(p));
            text_item(TAG_NAME, texts[3]);
            add_exchange_of(p, static_cast<uint16_t>(IDENTIFICATION_BASE | p), items, static_cast<uint8_t>(n));

            uint8_t report[3 * REPORT_TAG_COUNT];
            const uint16_t values[REPORT_TAG_COUNT] = {
                static_cast<uint16_t>(visit), static_cast<uint16_t>(0x0100 + p),
                static_cast<uint16_t>(SimRandom::hash(seed_, k, 0x20000 + p) & 0x0FFF),
                static_cast<uint16_t>(250 + SimRandom::hash(seed_, k, 0x30000 + p) % 50), 0};
            for (unsigned i = 0; i < REPORT_TAG_COUNT; ++i) {
                report[3 * i] = static_cast<uint8_t>(REPORT_TAG_FIRST + i);
                store_be16(report + 3 * i + 1, values[i]);
            }
            add_exchange_of(p, static_cast<uint16_t>(REPORT_BASE | p), report, sizeof report);
        } else {
            add_no_answer(static_cast<uint16_t>(PRESENCE_BASE | p));
        }
    }

    uint8_t list[2 + PRESENT_LIST_BYTES] = {TAG_PRESENT_LIST, PRESENT_LIST_BYTES};
    for (unsigned s = 0; s < present; ++s)
        if (answers(s)) list[2 + s / 8] |= static_cast<uint8_t>(1u << (s % 8));
    add_exchange(PRESENT_LIST_ID, list, sizeof list);

    const uint8_t status[4] = {BUS_STATUS_TAG, BUS_STATUS_LENGTH, 0x01, static_cast<uint8_t>(present)};
    add_exchange(BUS_STATUS_ID, status, sizeof status);

    if (present == 0) return;
    const unsigned m = static_cast<unsigned>(k % present);
    const unsigned q = (m + 1) % present;
    uint8_t body[MAX_FRAME_BODY];

    add_identifier(CTRL_ID_MSG, static_cast<uint16_t>(MESSAGE_ID_BASE | m));
    body[0] = CTRL_RP_MSG_ACK_E;
    store_be24(body + 1, MESSAGE_SEGMENT | (q << 8));
    store_be24(body + 4, MESSAGE_SEGMENT | (m << 8));
    store_be64(body + 7, SimRandom::hash(seed_, k, 0x40000));
    add_frame(body, 7 + MESSAGE_DATA_LENGTH, pending_silence_bits_);
    body[0] = CTRL_RP_ACK_N_E;
    add_frame(body, 1, TURNAROUND_BITS);

    add_identifier(CTRL_ID_RQ1, static_cast<uint16_t>(REQUEST_ID_BASE | m));
    body[0] = CTRL_RP_RQ1;
    store_be16(body + 1, periodic_id(0, m));
    store_be16(body + 3, periodic_id(0, q));
    add_frame(body, 5, pending_silence_bits_);
}

void BusModel::add_frame(const uint8_t* body, std::size_t body_length, uint64_t silence_bits) {
    const std::size_t offset = pool_.size();
    const std::size_t length = body_length + FCS_SIZE;
    pool_.resize(offset + length);
    uint8_t* frame = pool_.data() + offset;
    std::memcpy(frame, body, body_length);
    uint16_t fcs = 0;
    FrameCheck::compute(settings_.fcs_mode, frame, body_length, &fcs);  // modes 0 and 3: FCS bytes 0
    store_be16(frame + body_length, fcs);

    BusFrame slot;
    slot.offset = static_cast<uint32_t>(offset);
    slot.length = static_cast<uint16_t>(length);
    const uint64_t silence = slots_.empty() ? 0 : bits_ns(silence_bits);
    slot.start_ns = cursor_ns_ + silence;
    slot.duration_ns = static_cast<uint32_t>(bits_ns(length * 8 + FRAME_OVERHEAD_BITS));
    slot.silence_ns = static_cast<uint32_t>(silence);
    slots_.push_back(slot);
    cursor_ns_ = slot.end_ns();
    pending_silence_bits_ = TURNAROUND_BITS;
}

void BusModel::add_identifier(uint8_t control, uint16_t id) {
    uint8_t body[IDENTIFIER_FRAME_BYTES] = {control};
    store_be16(body + 1, id);
    add_frame(body, sizeof body, pending_silence_bits_);
}

void BusModel::add_variable(const uint8_t* data, uint8_t data_length) {
    uint8_t body[3 + 126];
    body[0] = CTRL_RP_DAT;
    body[1] = PDU_TYPE_EXPECTED;
    body[2] = data_length;
    std::memcpy(body + 3, data, data_length);
    add_frame(body, VARIABLE_OVERHEAD_BYTES + data_length, pending_silence_bits_);
}

void BusModel::add_exchange(uint16_t id, const uint8_t* data, uint8_t data_length) {
    add_identifier(CTRL_ID_DAT, id);
    add_variable(data, data_length);
}

void BusModel::add_silent_exchange(uint8_t data_length) {
    const uint64_t identifier_bits = (IDENTIFIER_FRAME_BYTES + FCS_SIZE) * 8 + FRAME_OVERHEAD_BITS;
    const uint64_t variable_bits = (VARIABLE_OVERHEAD_BYTES + data_length + FCS_SIZE) * 8 + FRAME_OVERHEAD_BITS;
    // Its two frames, the turnaround between them and the one after the response.
    pending_silence_bits_ += identifier_bits + TURNAROUND_BITS + variable_bits + TURNAROUND_BITS;
}

bool BusModel::skips(uint16_t id, uint64_t refresh) const {
    return settings_.slow_id != 0 && id == settings_.slow_id && refresh % 2 == 1;
}

std::size_t BusModel::frames_in_cycle(uint64_t k) const {
    std::size_t skipped = 0;
    if (slow_id_scanned_)
        for (uint64_t refresh = k * scans_; refresh < (k + 1) * scans_; ++refresh) skipped += skips(settings_.slow_id, refresh);
    return variant_frames_[variant(k)] - 2 * skipped;
}

void BusModel::add_exchange_of(unsigned station, uint16_t id, const uint8_t* data, uint8_t data_length) {
    if (answers(station)) {
        add_exchange(id, data, data_length);
        return;
    }
    // Asked, not answered: the response's bus time stays silent, so nothing else moves.
    add_identifier(CTRL_ID_DAT, id);
    pending_silence_bits_ += (VARIABLE_OVERHEAD_BYTES + data_length + FCS_SIZE) * 8 + FRAME_OVERHEAD_BITS + TURNAROUND_BITS;
}

void BusModel::add_no_answer(uint16_t id) {
    add_identifier(CTRL_ID_DAT, id);
    pending_silence_bits_ = NO_ANSWER_BITS;
}

}  // namespace sim
