#include "tools/busdump/analysisview.h"

#include <cmath>
#include <iomanip>
#include <sstream>

#include "common/analysis/busreport.h"
#include "tools/busdump/formatter.h"
#include "tools/busdump/jsonobject.h"
#include "tools/busdump/lossstages.h"
#include "tools/busdump/timetext.h"

namespace busdump {

namespace {

constexpr double P99 = 0.99;

std::string hex16(uint16_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << std::setw(4) << std::setfill('0') << value;
    return out.str();
}

// The station's name (identification tag 0x8A) from the bus report; empty when not known.
std::string station_name(const SenderAnalysis& analysis, uint8_t address) {
    const uint8_t* record = analysis.report() + analysis::report::STATIONS + address * analysis::station::SIZE;
    const char* text = reinterpret_cast<const char*>(record + analysis::station::TEXT_8A);
    std::size_t length = 0;
    while (length < analysis::station::TEXT_SIZE && text[length]) ++length;
    return std::string(text, length);
}

std::string producer_text(uint16_t identifier) {
    const int producer = SenderAnalysis::producer_of(identifier);
    return producer < 0 ? "arbiter" : std::to_string(producer);
}

// Late and missed occurrences: against the macrocycle for an identifier in it, against its
// typical period for the others.
PeriodStats::Lateness lateness_of(const SenderAnalysis& analysis, const SenderAnalysis::Identifier& entry,
                                  double tolerance) {
    if (analysis.in_macrocycle(entry)) {
        PeriodStats::Lateness live;
        live.late = entry.late;
        live.missed = entry.missed;
        return live;
    }
    return entry.periods.lateness(entry.periods.typical(), tolerance);
}

std::string json_array(const std::string& items) { return "[" + items + "]"; }

void append_item(std::string& list, const std::string& item) {
    if (!list.empty()) list += ",";
    list += item;
}

}  // namespace

std::string AnalysisView::text(const Source& source, const SenderAnalysis& analysis, int64_t time_us,
                               bool final) const {
    const StatsMeter::Counts& counts = source.counts();
    std::ostringstream out;
    out << (final ? "analysis at exit: " : "analysis: ") << Formatter::source_label(source) << " at "
        << TimeText::date_time(time_us) << "\n";
    out << "  losses:";
    LossStages::of(counts).for_each([&out](const char* stage, uint64_t lost) { out << " " << stage << " " << lost; });
    out << "\n";
    out << cycle_text(analysis) << stations_text(analysis) << identifiers_text(analysis);
    if (analysis.untracked_frames())
        out << "  " << analysis.untracked_frames() << " ID frames of identifiers beyond the first "
            << SenderAnalysis::MAX_IDENTIFIERS << " not followed\n";
    out << "\n";
    return out.str();
}

std::string AnalysisView::cycle_text(const SenderAnalysis& analysis) {
    const SenderAnalysis::Macrocycle& cycle = analysis.macrocycle();
    std::ostringstream out;
    out << "  macrocycle (sync " << hex16(analysis.sync_id()) << "): ";
    if (cycle.completed == 0) return out.str() + "not known yet\n";
    out << std::fixed << std::setprecision(0) << cycle.lengths.mean() << " us (min " << cycle.lengths.min() << ", max "
        << cycle.lengths.max() << ", " << cycle.completed << " cycles); identifiers:";
    for (uint16_t identifier : analysis.macrocycle_identifiers()) out << " " << hex16(identifier);
    out << "\n";
    return out.str();
}

std::string AnalysisView::stations_text(const SenderAnalysis& analysis) const {
    std::ostringstream out;
    out << "  stations\n    addr present    frames   fcs length   pdu status unknown missed  last seen              name\n";
    for (std::size_t a = 0; a < SenderAnalysis::STATION_COUNT; ++a) {
        const auto address = static_cast<uint8_t>(a);
        if (!analysis.station_seen(address)) continue;
        const SenderAnalysis::Station& s = analysis.station(address);
        out << "    " << std::setw(4) << a << " " << std::setw(7) << (analysis.station_present(address) ? "yes" : "no")
            << " " << std::setw(9) << s.frames << " " << std::setw(5) << s.errors.frame_check << " " << std::setw(6)
            << s.errors.length << " " << std::setw(5) << s.errors.pdu_type << " " << std::setw(6)
            << s.errors.status_bits << " " << std::setw(7) << s.errors.unknown_control << " " << std::setw(6)
            << s.missed_presence << "  "
            << std::left << std::setw(22)
            << (s.last_seen_us ? TimeText::date_time(static_cast<int64_t>(s.last_seen_us)) : std::string("-"))
            << std::right << " " << station_name(analysis, address) << "\n";
    }
    return out.str();
}

std::string AnalysisView::identifiers_text(const SenderAnalysis& analysis) const {
    std::ostringstream out;
    out << "  identifiers\n    id      producer     count  answered   min_us  mean_us   max_us   p99_us   late "
           "missed\n";
    for (const SenderAnalysis::Identifier& entry : analysis.identifiers()) {
        const PeriodStats& p = entry.periods;
        const PeriodStats::Lateness lateness = lateness_of(analysis, entry, tolerance_);
        out << "    " << hex16(entry.identifier) << "  " << std::setw(8) << producer_text(entry.identifier) << " "
            << std::setw(9) << entry.count << " " << std::setw(9) << entry.answered << " " << std::setw(8) << p.min()
            << " " << std::setw(8) << std::llround(p.mean()) << " " << std::setw(8) << p.max() << " " << std::setw(8)
            << p.percentile(P99) << " " << std::setw(6) << lateness.late << " " << std::setw(6) << lateness.missed
            << "\n";
    }
    return out.str();
}

std::string AnalysisView::json(const Source& source, const SenderAnalysis& analysis, int64_t time_us,
                               bool final) const {
    JsonObject o;
    o.add("type", "analysis").add("time_us", time_us).add("source", source.address());
    o.add("source_number", static_cast<uint32_t>(source.number()));
    if (source.serial())
        o.add("sn", *source.serial());
    else
        o.add_null("sn");
    o.add("final", final);
    o.add_raw("stations", stations_json(analysis));
    o.add_raw("identifiers", identifiers_json(analysis));
    o.add("untracked_frames", analysis.untracked_frames());
    o.add_raw("cycle", cycle_json(analysis));
    o.add_raw("losses", losses_json(source));
    return o.str() + "\n";
}

std::string AnalysisView::stations_json(const SenderAnalysis& analysis) const {
    std::string list;
    for (std::size_t a = 0; a < SenderAnalysis::STATION_COUNT; ++a) {
        const auto address = static_cast<uint8_t>(a);
        if (!analysis.station_seen(address)) continue;
        const SenderAnalysis::Station& s = analysis.station(address);
        JsonObject errors;
        errors.add("frame_check", s.errors.frame_check)
            .add("length", s.errors.length)
            .add("pdu_type", s.errors.pdu_type)
            .add("status_bits", s.errors.status_bits)
            .add("unknown_control", s.errors.unknown_control);
        JsonObject station;
        station.add("address", static_cast<uint32_t>(a))
            .add("present", analysis.station_present(address))
            .add("frames", s.frames)
            .add_raw("errors", errors.str())
            .add("missed_presence", s.missed_presence);
        if (s.last_seen_us)
            station.add("last_seen_us", s.last_seen_us);
        else
            station.add_null("last_seen_us");
        station.add("name", station_name(analysis, address));
        append_item(list, station.str());
    }
    return json_array(list);
}

std::string AnalysisView::identifiers_json(const SenderAnalysis& analysis) const {
    std::string list;
    for (const SenderAnalysis::Identifier& entry : analysis.identifiers()) {
        const PeriodStats& p = entry.periods;
        const PeriodStats::Lateness lateness = lateness_of(analysis, entry, tolerance_);
        JsonObject period;
        if (p.count()) {
            period.add("count", p.count()).add("min", p.min()).add("mean", p.mean()).add("max", p.max());
            period.add("p99", p.percentile(P99)).add("typical", p.typical());
        }
        JsonObject identifier;
        identifier.add("identifier", static_cast<uint32_t>(entry.identifier));
        const int producer = SenderAnalysis::producer_of(entry.identifier);
        if (producer < 0)
            identifier.add_null("producer");
        else
            identifier.add("producer", producer);
        identifier.add("count", entry.count).add("answered", entry.answered);
        if (p.count())
            identifier.add_raw("period_us", period.str());
        else
            identifier.add_null("period_us");
        identifier.add("late", lateness.late).add("missed", lateness.missed);
        identifier.add("in_cycle", analysis.in_macrocycle(entry));
        append_item(list, identifier.str());
    }
    return json_array(list);
}

std::string AnalysisView::cycle_json(const SenderAnalysis& analysis) {
    const SenderAnalysis::Macrocycle& cycle = analysis.macrocycle();
    JsonObject o;
    o.add("sync_id", static_cast<uint32_t>(analysis.sync_id())).add("count", cycle.completed);
    if (cycle.completed == 0) {
        o.add_null("length_us").add_null("min_us").add_null("max_us").add_raw("identifiers", "[]");
        return o.str();
    }
    o.add("length_us", cycle.lengths.mean()).add("min_us", cycle.lengths.min()).add("max_us", cycle.lengths.max());
    std::string list;
    for (uint16_t identifier : analysis.macrocycle_identifiers()) append_item(list, std::to_string(identifier));
    return o.add_raw("identifiers", json_array(list)).str();
}

std::string AnalysisView::alert_text(const Source& source, const Alert& alert) const {
    return std::string(alert.raised ? "ALERT " : "CLEARED ") + Formatter::source_label(source) + ": " + alert.kind + " " +
           alert.subject + ": expected " + alert.expected + ", seen " + alert.seen + "\n";
}

std::string AnalysisView::alert_json(const Source& source, const Alert& alert) const {
    JsonObject o;
    o.add("type", "alert").add("source", source.address());
    o.add("source_number", static_cast<uint32_t>(source.number()));
    if (source.serial())
        o.add("sn", *source.serial());
    else
        o.add_null("sn");
    o.add("alert", alert.kind).add("subject", alert.subject).add("expected", alert.expected).add("seen", alert.seen);
    o.add("time_us", alert.time_us).add("state", alert.raised ? "raised" : "cleared");
    return o.str() + "\n";
}

std::string AnalysisView::losses_json(const Source& source) {
    JsonObject o;
    LossStages::of(source.counts()).for_each([&o](const char* stage, uint64_t lost) { o.add(stage, lost); });
    return o.str();
}

}  // namespace busdump
