// busdump --analyze: one bus analysis per sender, and what is printed of them every interval
// and at exit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "tools/busdump/analysisview.h"
#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/options.h"
#include "tools/busdump/senderanalysis.h"
#include "tools/busdump/source.h"
#include "tools/busdump/sourcetable.h"

namespace busdump {

class AnalysisBoard {
public:
    explicit AnalysisBoard(const Options& options);

    // Analyses the events of a datagram that `sender` sent. The untracked entry of the senders
    // beyond the table's limit mixes streams: it is not analysed.
    void add(const Source& sender, const DecodedDatagram& datagram);

    // Every analysed sender, in the table's order: the screen drawn again in place (on a
    // terminal), or blocks of text, or one JSON line each. `final`: the report at exit, never
    // drawn in place so that it stays on the terminal.
    std::string report(const SourceTable& sources, int64_t now_us, bool final) const;

    // The analysis of `sender`, or null when it has none.
    const SenderAnalysis* analysis_of(const Source& sender) const;

private:
    const bool json_;
    const bool redraw_;
    const double tolerance_;
    AnalysisView view_;
    std::unordered_map<const Source*, std::unique_ptr<SenderAnalysis>> analyses_;
};

}  // namespace busdump
