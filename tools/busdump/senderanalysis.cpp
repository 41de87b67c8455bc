#include "tools/busdump/senderanalysis.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/analysis/busreport.h"
#include "common/analysis/variabledecoder.h"
#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"

namespace busdump {

using analysis::VariableDecoder;
namespace error_kind = analysis::error_kind;
namespace variable = analysis::variable;

namespace {

// An identifier belongs to the macrocycle when it was seen in at least this share of the
// complete macrocycles since it was first seen: one frame lost at the card does not drop it.
constexpr uint64_t CYCLE_SHARE_PERCENT = 90;
// Occurrences of one identifier in a macrocycle whose periods are kept as its reference.
constexpr std::size_t MAX_REFERENCE_OCCURRENCES = 256;

}  // namespace

SenderAnalysis::SenderAnalysis(uint16_t sync_id, double tolerance)
    : sync_id_(sync_id),
      tolerance_(tolerance),
      report_(zeroed_array<uint8_t>(analysis::report::SIZE)),
      frames_(sync_id, nullptr, nullptr),
      slot_of_(zeroed_array<uint16_t>(IDENTIFIER_COUNT)) {
    // The analysis fills in the report's elapsed time only while it runs.
    linkscope::store_le16(report_.get() + analysis::report::STATE, analysis::state::RUNNING);
    // The bus's presence scan reads and writes every station's entry within its first
    // macrocycle: written now, each page of the table is made once rather than read as the
    // shared zero page first and copied on the first write.
    std::memset(report_.get() + analysis::report::STATIONS, 0, analysis::station::COUNT * analysis::station::SIZE);
}

SenderAnalysis::~SenderAnalysis() = default;

template <typename T>
SenderAnalysis::ZeroedArray<T> SenderAnalysis::zeroed_array(std::size_t count) {
    void* block = std::calloc(count, sizeof(T));
    if (!block) throw std::bad_alloc();
    return ZeroedArray<T>(static_cast<T*>(block));
}

int SenderAnalysis::producer_of(uint16_t identifier) {
    if (VariableDecoder::in_range(identifier, variable::ARBITER)) return -1;
    return VariableDecoder::station_of(identifier);
}

void SenderAnalysis::add(const DecodedDatagram& datagram) {
    if (!datagram.ok()) return;
    for (const DecodedRecord& record : datagram.records)
        if (record.kind == RecordKind::event)
            add_event(linkscope::EventRecord(datagram.bytes.data() + record.offset, record.length), record.event.fcs);
}

void SenderAnalysis::add_event(const linkscope::EventRecord& record, FcsResult fcs) {
    // Modes without a frame check have a rule of the analysis' own (FCS bytes 0 pass).
    using Known = analysis::FrameAnalyzer::KnownCheck;
    const Known known = fcs == FcsResult::ok ? Known::passed : fcs == FcsResult::bad ? Known::failed : Known::unknown;
    frames_.analyze(record, report_.get(), event_, known);
    if (first_event_us_ == 0) first_event_us_ = event_.evt_timestamp;
    if (event_.evt_timestamp > last_event_us_) last_event_us_ = event_.evt_timestamp;
    const uint8_t control = event_.control;
    if (event_.error != error_kind::OK) {
        charge_error(event_.error);
        return;
    }
    if (linkscope::ControlByte::is_identifier(control)) {
        if (presence_pending_) ++stations_[VariableDecoder::station_of(last_identifier_)].missed_presence;
        identifier_frame(event_.identifier, event_.evt_timestamp);
        presence_pending_ = have_identifier_ && control == linkscope::CTRL_ID_DAT &&
                            VariableDecoder::in_range(event_.identifier, variable::PRESENCE);
        return;
    }
    if (!linkscope::ControlByte::is_response(control) || !have_identifier_) return;
    presence_pending_ = false;
    ++identifiers_[slot_of_[last_identifier_] - 1].answered;
    const int producer = producer_of(last_identifier_);
    if (producer < 0) return;
    Station& station = stations_[static_cast<std::size_t>(producer)];
    ++station.frames;
    station.last_seen_us = event_.evt_timestamp;
}

void SenderAnalysis::begin_run() {
    ++run_;
    // The open macrocycle ends unfinished: its identifiers are not counted as seen in one.
    for (uint16_t identifier : current_cycle_) identifiers_[slot_of_[identifier] - 1].in_this_cycle = 0;
    current_cycle_.clear();
    sync_seen_ = false;
    have_identifier_ = false;
    presence_pending_ = false;
}

void SenderAnalysis::charge_error(uint8_t kind) {
    if (!have_identifier_) return;
    const int producer = producer_of(last_identifier_);
    if (producer < 0) return;
    Errors& errors = stations_[static_cast<std::size_t>(producer)].errors;
    switch (kind) {
        case error_kind::FCS: ++errors.frame_check; break;
        case error_kind::LENGTH: ++errors.length; break;
        case error_kind::PDU_TYPE: ++errors.pdu_type; break;
        case error_kind::UNKNOWN_CONTROL: ++errors.unknown_control; break;
        default: ++errors.status_bits; break;
    }
}

SenderAnalysis::Identifier* SenderAnalysis::identifier_entry(uint16_t identifier) {
    uint16_t& slot = slot_of_[identifier];
    if (slot == 0) {
        if (identifiers_.size() >= MAX_IDENTIFIERS) return nullptr;
        identifiers_.emplace_back();
        Identifier& fresh = identifiers_.back();
        fresh.identifier = identifier;
        fresh.first_cycle = static_cast<uint32_t>(cycle_.completed + 1);
        slot = static_cast<uint16_t>(identifiers_.size());
    }
    return &identifiers_[slot - 1];
}

void SenderAnalysis::identifier_frame(uint16_t identifier, uint64_t time) {
    if (identifier == sync_id_) close_macrocycle(time);
    Identifier* found = identifier_entry(identifier);
    if (!found) {
        ++untracked_frames_;
        have_identifier_ = false;  // its responses are charged to nobody
        return;
    }
    Identifier& entry = *found;
    const bool has_period = entry.count > 0 && entry.last_run == run_ && time >= entry.last_time_us;
    const uint64_t period = has_period ? time - entry.last_time_us : 0;
    if (has_period) {
        entry.periods.add(period);
        entry.last_period_us = period;
    }
    ++entry.count;
    entry.last_time_us = time;
    entry.last_run = run_;
    // Macrocycles count from 1, the first one that began with a sync frame.
    const auto cycle_number = static_cast<uint32_t>(cycle_.completed + 1);
    if (sync_seen_) {
        if (entry.last_cycle != cycle_number) {
            current_cycle_.push_back(identifier);
            entry.last_cycle = cycle_number;
        }
        check_occurrence(entry, period, cycle_number);
    }
    have_identifier_ = true;
    last_identifier_ = identifier;
}

void SenderAnalysis::check_occurrence(Identifier& entry, uint64_t period, uint32_t cycle_number) {
    const uint32_t k = entry.in_this_cycle++;
    if (cycle_number == entry.first_cycle) {
        // Its first complete macrocycle sets the reference; a period not known counts as 0.
        if (entry.reference.size() < MAX_REFERENCE_OCCURRENCES)
            entry.reference.push_back(static_cast<uint32_t>(std::min<uint64_t>(period, UINT32_MAX)));
        return;
    }
    if (k >= entry.reference.size()) return;
    if (entry.reference[k] == 0) {  // the first occurrence of all had no period: the next one gives it
        entry.reference[k] = static_cast<uint32_t>(std::min<uint64_t>(period, UINT32_MAX));
        return;
    }
    if (!in_macrocycle(entry)) return;
    // A period long enough to hold a missing occurrence is the macrocycle's count to report.
    const double ratio = static_cast<double>(period) / static_cast<double>(entry.reference[k]);
    if (ratio > 1.0 + tolerance_ && ratio < PeriodStats::MISSED_FROM) ++entry.late;
}

void SenderAnalysis::close_macrocycle(uint64_t time) {
    if (sync_seen_) {
        const auto closing = static_cast<uint32_t>(cycle_.completed + 1);
        // Judged by what the identifiers were before this macrocycle.
        count_missed(closing);
        ++cycle_.completed;
        if (time >= last_sync_us_) cycle_.lengths.add(time - last_sync_us_);
        for (uint16_t identifier : current_cycle_) {
            Identifier& entry = identifiers_[slot_of_[identifier] - 1];
            ++entry.cycles_seen;
            if (entry.usual_per_cycle == 0 && closing == entry.first_cycle) entry.usual_per_cycle = entry.in_this_cycle;
            entry.in_this_cycle = 0;
        }
        cycle_.last.swap(current_cycle_);
    }
    current_cycle_.clear();
    sync_seen_ = true;
    last_sync_us_ = time;
}

void SenderAnalysis::count_missed(uint32_t closing) {
    next_expected_ = current_cycle_;
    // Those that did not come at all; they stay expected while they belong to the macrocycle.
    for (uint16_t identifier : expected_) {
        Identifier& entry = identifiers_[slot_of_[identifier] - 1];
        if (entry.last_cycle == closing || !in_macrocycle(entry)) continue;
        entry.missed += entry.usual_per_cycle;
        next_expected_.push_back(identifier);
    }
    expected_.swap(next_expected_);
    // Those that came fewer times than usual.
    for (uint16_t identifier : current_cycle_) {
        Identifier& entry = identifiers_[slot_of_[identifier] - 1];
        if (entry.usual_per_cycle > entry.in_this_cycle && in_macrocycle(entry))
            entry.missed += entry.usual_per_cycle - entry.in_this_cycle;
    }
}

bool SenderAnalysis::in_macrocycle(const Identifier& identifier) const {
    if (cycle_.completed < identifier.first_cycle) return false;
    const uint64_t since_first = cycle_.completed - identifier.first_cycle + 1;
    return identifier.cycles_seen > 0 && identifier.cycles_seen * 100 >= since_first * CYCLE_SHARE_PERCENT;
}

std::vector<uint16_t> SenderAnalysis::macrocycle_identifiers() const {
    std::vector<uint16_t> out;
    for (uint16_t identifier : cycle_.last)
        if (in_macrocycle(identifiers_[slot_of_[identifier] - 1])) out.push_back(identifier);
    return out;
}

bool SenderAnalysis::station_seen(uint8_t address) const {
    const Station& s = stations_[address];
    if (s.frames || s.errors.total() || s.missed_presence) return true;
    const uint8_t* record = report_.get() + analysis::report::STATIONS + address * analysis::station::SIZE;
    return linkscope::load_le64(record + analysis::station::ANSWER_TIME) != 0;
}

bool SenderAnalysis::station_present(uint8_t address) const {
    const uint8_t* record = report_.get() + analysis::report::STATIONS + address * analysis::station::SIZE;
    return linkscope::load_le32(record + analysis::station::PRESENT) != 0;
}

}  // namespace busdump
