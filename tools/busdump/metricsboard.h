// What busdump --metrics exposes, gathered on the receiving thread: per sender its counts,
// losses by stage, every figure of its latest lifesign and whether it is still heard; per
// station its frames and errors; the alerts of the baseline. publish() renders all of it into
// the snapshot that the HTTP server hands out. Pure: no clock, no socket.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "common/stream/lifesignrecord.h"
#include "tools/busdump/analysisboard.h"
#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/metricsfamilies.h"
#include "tools/busdump/metricssnapshot.h"
#include "tools/busdump/source.h"
#include "tools/busdump/sourcetable.h"

namespace busdump {

class MetricsBoard {
public:
    // A gateway's lifesign period until two of its lifesigns tell the real one.
    static constexpr int64_t DEFAULT_LIFESIGN_PERIOD_US = 500000;
    // A sender silent for this many lifesign periods is down.
    static constexpr int64_t SILENT_PERIODS = 3;

    explicit MetricsBoard(std::shared_ptr<MetricsSnapshot> snapshot) : snapshot_(std::move(snapshot)) {}

    // The datagram `sender` sent (already counted in its entry): keeps its latest lifesign.
    void observe(const Source& sender, const DecodedDatagram& datagram);

    // Every sender the table holds, retired ones included: a sender is never dropped, it goes down.
    MetricsFamilies families(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us) const;
    void publish(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us);

    // The period between its last two lifesigns (by their creation times), else the default.
    int64_t lifesign_period_us(const Source& sender) const;
    bool up(const Source& sender, int64_t now_us) const;

private:
    struct Health {
        uint64_t lifesigns_seen = 0;  // the sender's lifesign count when last looked at
        std::shared_ptr<const LifesignRecord> latest;
        int64_t period_us = 0;        // 0: not known yet
    };

    void sender_figures(MetricsFamilies& out, const Source& sender, const MetricsFamilies::Labels& labels,
                        int64_t now_us) const;
    static void lifesign_figures(MetricsFamilies& out, const LifesignRecord& l, const MetricsFamilies::Labels& labels);
    static void station_figures(MetricsFamilies& out, const SenderAnalysis& analysis,
                                const MetricsFamilies::Labels& labels);
    static void alert_figures(MetricsFamilies& out, const AlertWatch& watch, const MetricsFamilies::Labels& labels);

    // Entries of senders the table no longer holds (merged into another, or forgotten).
    void forget_gone(const SourceTable& sources);

    std::shared_ptr<MetricsSnapshot> snapshot_;
    std::unordered_map<unsigned, Health> health_;  // by sender number
};

}  // namespace busdump
