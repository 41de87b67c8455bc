#include "tools/busdump/alertwatch.h"

#include <cstdio>

namespace busdump {

namespace {

// An identifier is missing (or a new one gone) after this many of its longest periods of silence.
constexpr uint64_t SILENT_PERIODS = 2;
// A new identifier that came once only counts as gone after this long.
constexpr uint64_t SINGLE_SIGHTING_US = 1000000;
constexpr double PER_MILLE = 1000.0;
// Judgements of an identifier's period in a row that raise or clear its alert.
constexpr unsigned JUDGEMENTS_TO_CHANGE = 2;

std::string hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

// Card time from `earlier` to `now`; 0 when the time stamps went back (a card reset).
uint64_t since(uint64_t now, uint64_t earlier) { return now > earlier ? now - earlier : 0; }

std::string us(double value) { return std::to_string(static_cast<uint64_t>(value + 0.5)) + " us"; }

}  // namespace

void AlertWatch::set(bool on, const std::string& kind, const std::string& subject, const std::string& expected,
                     const std::string& seen, uint64_t time, std::vector<Alert>& out) {
    const std::string key = kind + " " + subject;
    const auto found = active_.find(key);
    if (on == (found != active_.end())) return;
    Alert alert{kind, subject, expected, seen, time, on};
    if (on) {
        active_[key] = alert;
        ++raised_[kind];
    } else {
        active_.erase(found);
    }
    out.push_back(alert);
}

std::vector<Alert> AlertWatch::active() const {
    std::vector<Alert> out;
    for (const auto& [key, alert] : active_) out.push_back(alert);
    return out;
}

uint64_t AlertWatch::raised(const std::string& kind) const {
    const auto found = raised_.find(kind);
    return found == raised_.end() ? 0 : found->second;
}

uint64_t AlertWatch::active_count(const std::string& kind) const {
    uint64_t count = 0;
    for (const auto& [key, alert] : active_) count += alert.kind == kind;
    return count;
}

void AlertWatch::check(const SenderAnalysis& analysis, std::vector<Alert>& out) {
    checked_cycles_ = analysis.macrocycle().completed;
    const uint64_t now = analysis.last_event_us();
    check_stations(analysis, now, out);
    check_identifiers(analysis, now, out);
}

void AlertWatch::check_stations(const SenderAnalysis& analysis, uint64_t now, std::vector<Alert>& out) {
    for (std::size_t a = 0; a < SenderAnalysis::STATION_COUNT; ++a) {
        const auto address = static_cast<uint8_t>(a);
        const bool expected = baseline_.stations.count(address) != 0;
        const bool present = analysis.station_present(address);
        set(expected && !present, "station_missing", std::to_string(a), "present", "absent", now, out);
        set(!expected && present, "station_new", std::to_string(a), "absent", "present", now, out);
    }
}

void AlertWatch::check_identifiers(const SenderAnalysis& analysis, uint64_t now, std::vector<Alert>& out) {
    const uint64_t running = since(now, analysis.first_event_us());
    for (const auto& [identifier, p] : baseline_.identifiers) {
        const SenderAnalysis::Identifier* entry = analysis.find(identifier);
        const uint64_t silence = entry ? since(now, entry->last_time_us) : running;
        const uint64_t limit = SILENT_PERIODS * p.max_us;
        const bool missing = p.max_us > 0 && silence > limit && running > limit;
        set(missing, "identifier_missing", hex16(identifier), "period " + us(p.mean_us),
            "none for " + us(static_cast<double>(silence)), now, out);
        check_period(identifier, p, entry, missing, now, out);
    }
    for (const SenderAnalysis::Identifier& entry : analysis.identifiers()) {
        if (baseline_.identifiers.count(entry.identifier)) continue;
        const uint64_t limit = entry.periods.count() ? SILENT_PERIODS * entry.periods.max() : SINGLE_SIGHTING_US;
        set(since(now, entry.last_time_us) <= limit, "identifier_new", hex16(entry.identifier), "absent", "present", now,
            out);
    }
}

// The identifier's mean period over its occurrences since the previous check (about one
// macrocycle), against the baseline's mean. A single period says little of a variable scanned
// several times a macrocycle at uneven spacing; their mean over a macrocycle is steady. A check
// without a new occurrence leaves the alert as it was: a period longer than a macrocycle is
// judged when the occurrence that ends it comes.
void AlertWatch::check_period(uint16_t identifier, const BaselineSender::Periods& expected,
                              const SenderAnalysis::Identifier* entry, bool missing, uint64_t now,
                              std::vector<Alert>& out) {
    const std::string subject = hex16(identifier);
    if (missing || !entry) {
        set(false, "period", subject, "", "", now, out);
        windows_.erase(identifier);
        return;
    }
    Window& window = windows_[identifier];
    const bool judged = window.count > 0 && window.run == entry->last_run && entry->count > window.count &&
                        entry->last_time_us > window.last_time_us;
    if (judged && expected.mean_us > 0) {
        const double mean = static_cast<double>(entry->last_time_us - window.last_time_us) /
                            static_cast<double>(entry->count - window.count);
        const bool off = mean > expected.mean_us * (1.0 + tolerance_) || mean < expected.mean_us * (1.0 - tolerance_);
        // Two judgements in a row change the state: a variable of the aperiodic window may come
        // unevenly for one macrocycle without its period having changed.
        window.streak = off == window.off ? window.streak + 1 : 1;
        window.off = off;
        if (window.streak >= JUDGEMENTS_TO_CHANGE)
            set(off, "period", subject, "mean " + us(expected.mean_us), "mean " + us(mean), now, out);
    }
    // A gateway's new run starts the window again: the time between the runs is no period.
    window.count = entry->count;
    window.last_time_us = entry->last_time_us;
    window.run = entry->last_run;
}

void AlertWatch::check_error_rates(const SenderAnalysis& analysis, std::vector<Alert>& out) {
    for (std::size_t a = 0; a < SenderAnalysis::STATION_COUNT; ++a) {
        const SenderAnalysis::Station& s = analysis.station(static_cast<uint8_t>(a));
        const uint64_t frames = s.frames - frames_seen_[a];
        const uint64_t errors = s.errors.total() - errors_seen_[a];
        frames_seen_[a] = s.frames;
        errors_seen_[a] = s.errors.total();
        if (frames + errors == 0) continue;  // nothing new to judge by
        const double rate = static_cast<double>(errors) * PER_MILLE / static_cast<double>(frames + errors);
        char seen[32];
        std::snprintf(seen, sizeof seen, "%.3f per mille", rate);
        char limit[40];
        std::snprintf(limit, sizeof limit, "at most %.3f per mille", max_error_permille_);
        set(rate > max_error_permille_, "error_rate", std::to_string(a), limit, seen, analysis.last_event_us(), out);
    }
}

}  // namespace busdump
