// busdump --analyze: one bus analysis per sender, and what is printed of them every interval
// and at exit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "tools/busdump/alertwatch.h"
#include "tools/busdump/analysisview.h"
#include "tools/busdump/baseline.h"
#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/options.h"
#include "tools/busdump/senderanalysis.h"
#include "tools/busdump/source.h"
#include "tools/busdump/sourcetable.h"

namespace busdump {

class AnalysisBoard {
public:
    explicit AnalysisBoard(const Options& options);

    // Analyses the events of a datagram that `sender` sent; returns the alert lines that the
    // comparison with the baseline gives (once a macrocycle). The untracked entry of the senders
    // beyond the table's limit mixes streams: it is not analysed.
    // `new_run`: the datagram begins a new run of the sender's gateway (a restart).
    std::string add(const Source& sender, const DecodedDatagram& datagram, bool new_run = false);

    // Every analysed sender, in the table's order: the screen drawn again in place (on a
    // terminal), or blocks of text, or one JSON line each. `final`: the report at exit, never
    // drawn in place so that it stays on the terminal.
    // Each interval also judges the error rates against the baseline.
    std::string report(const SourceTable& sources, int64_t now_us, bool final);
    // The same report in parts, so that the receiver can take datagrams between senders: its
    // start (the screen cleared, senders gone dropped), then each sender's part.
    std::string report_start(const SourceTable& sources, bool final);
    std::string report_sender(const Source& sender, int64_t now_us, bool final);

    // What each sender with a card serial looked like, as --save-baseline writes it.
    Baseline baseline(const SourceTable& sources) const;

    // Each listener is called with every alert raised or cleared and its JSON, whatever the
    // output's form, on the receiving thread.
    using AlertListener = std::function<void(const Source& sender, const Alert& alert, const std::string& alert_json)>;
    void on_alert(AlertListener listener) { alert_listeners_.push_back(std::move(listener)); }

    // The analysis of `sender`, or null when it has none.
    const SenderAnalysis* analysis_of(const Source& sender) const;
    // Its comparison with the baseline, or null when it has none (no baseline, or no card in it).
    const AlertWatch* alerts_of(const Source& sender) const;

private:
    std::string alerts(const Source& sender, const std::vector<Alert>& alerts) const;
    void tell(const Source& sender, const std::vector<Alert>& changes) const;
    AlertWatch* watch_of(const Source& sender);
    void drop_gone(const SourceTable& sources);

    const bool json_;
    const bool redraw_;
    const double tolerance_;
    AnalysisView view_;
    // By the sender's number, which is never given twice: an entry that the table drops or
    // merges into another leaves no dangling key, and its analysis is dropped at the next report.
    std::unordered_map<unsigned, std::unique_ptr<SenderAnalysis>> analyses_;
    const std::shared_ptr<const Baseline> expected_;
    const double max_error_permille_;
    std::unordered_map<unsigned, std::unique_ptr<AlertWatch>> watches_;
    std::vector<AlertListener> alert_listeners_;
};

}  // namespace busdump
