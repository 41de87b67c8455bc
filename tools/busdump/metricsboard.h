// What busdump --metrics exposes, gathered on the receiving thread: per sender its counts,
// losses by stage, every figure of its latest lifesign and whether it is still heard; per
// station its frames and errors; the alerts of the baseline. publish(), or begin() and step()
// one sender at a time, render all of it into the snapshot that the HTTP server hands out.
// Pure: no clock, no socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/stream/lifesignrecord.h"
#include "tools/busdump/analysisboard.h"
#include "tools/busdump/metricsfamilies.h"
#include "tools/busdump/metricssnapshot.h"
#include "tools/busdump/source.h"
#include "tools/busdump/sourcetable.h"

namespace busdump {

class MetricsBoard {
public:
    explicit MetricsBoard(std::shared_ptr<MetricsSnapshot> snapshot) : snapshot_(std::move(snapshot)) {}

    // Every sender the table holds, retired ones included: a sender is never dropped, it goes down.
    static MetricsFamilies families(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us);
    // The snapshot of every sender, rendered at once.
    void publish(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us);

    // The same in steps, so that the receiving thread takes datagrams between two: begin() lists
    // the senders the table holds, each step() renders the next one (a sender merged into
    // another meanwhile is passed over), and the step after the last publishes the snapshot
    // whole; until then the endpoint hands out the previous one. step() is true while steps remain.
    void begin(const SourceTable& sources);
    bool step(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us);
    bool rendering() const { return rendering_; }

private:
    static void table_figures(MetricsFamilies& out, const SourceTable& sources);
    static void all_figures(MetricsFamilies& out, const Source& sender, const AnalysisBoard* analysis, int64_t now_us);
    static void sender_figures(MetricsFamilies& out, const Source& sender, const MetricsFamilies::Labels& labels,
                               int64_t now_us);
    static void lifesign_figures(MetricsFamilies& out, const LifesignRecord& l, const MetricsFamilies::Labels& labels);
    static void station_figures(MetricsFamilies& out, const SenderAnalysis& analysis,
                                const MetricsFamilies::Labels& labels);
    static void alert_figures(MetricsFamilies& out, const AlertWatch& watch, const MetricsFamilies::Labels& labels);

    std::shared_ptr<MetricsSnapshot> snapshot_;
    // The rendering under way.
    bool rendering_ = false;
    MetricsFamilies pending_;
    std::vector<unsigned> pending_senders_;  // by number
    std::size_t next_sender_ = 0;
};

}  // namespace busdump
