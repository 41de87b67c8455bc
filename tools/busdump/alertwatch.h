// Compares one sender's live analysis with its commissioning baseline and tells each change
// once when it starts (raised) and once when it ends (cleared): a station missing or new, an
// identifier missing or new, an identifier's mean period over the last macrocycle off the
// baseline's mean by more than the tolerance, a station's error rate above the limit.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/busdump/baseline.h"
#include "tools/busdump/senderanalysis.h"

namespace busdump {

struct Alert {
    std::string kind;     // station_missing, station_new, identifier_missing, identifier_new, period, error_rate
    std::string subject;  // the station address or the identifier (0x0201)
    std::string expected;
    std::string seen;
    uint64_t time_us = 0;  // card time of the sender's last event
    bool raised = true;    // false: cleared
};

class AlertWatch {
public:
    // Every kind of alert, as Alert::kind names them.
    static constexpr const char* KINDS[] = {"station_missing",    "station_new", "identifier_missing",
                                            "identifier_new",     "period",      "error_rate"};

    AlertWatch(const BaselineSender& baseline, double tolerance, double max_error_permille)
        : baseline_(baseline), tolerance_(tolerance), max_error_permille_(max_error_permille) {}

    // Stations, identifiers and periods; run once a macrocycle.
    void check(const SenderAnalysis& analysis, std::vector<Alert>& out);
    // Error rates over the frames since the previous call; run once an interval.
    void check_error_rates(const SenderAnalysis& analysis, std::vector<Alert>& out);

    uint64_t checked_cycles() const { return checked_cycles_; }
    // The alerts raised and not cleared, for the screen.
    std::vector<Alert> active() const;
    // Alerts of `kind` raised since the start, and raised now.
    uint64_t raised(const std::string& kind) const;
    uint64_t active_count(const std::string& kind) const;

private:
    void set(bool on, const std::string& kind, const std::string& subject, const std::string& expected,
             const std::string& seen, uint64_t time, std::vector<Alert>& out);
    void check_stations(const SenderAnalysis& analysis, uint64_t now, std::vector<Alert>& out);
    void check_identifiers(const SenderAnalysis& analysis, uint64_t now, std::vector<Alert>& out);
    void check_period(uint16_t identifier, const BaselineSender::Periods& expected,
                      const SenderAnalysis::Identifier* entry, bool missing, uint64_t now, std::vector<Alert>& out);

    // An identifier's count and last occurrence at the previous check.
    struct Window {
        uint64_t count = 0;
        uint64_t last_time_us = 0;
        uint32_t run = 0;
        bool off = false;      // the last judgement
        unsigned streak = 0;   // judgements in a row that agreed with it
    };

    const BaselineSender baseline_;
    const double tolerance_;
    const double max_error_permille_;
    std::map<std::string, Alert> active_;  // by kind and subject
    std::map<std::string, uint64_t> raised_;  // by kind
    uint64_t checked_cycles_ = 0;
    std::map<uint16_t, Window> windows_;
    std::array<uint64_t, SenderAnalysis::STATION_COUNT> frames_seen_{};
    std::array<uint64_t, SenderAnalysis::STATION_COUNT> errors_seen_{};
};

}  // namespace busdump
