#include "tools/busdump/analysisboard.h"

#include "common/analysis/variabledecoder.h"

namespace busdump {

namespace {
constexpr double PERCENT = 100.0;
}  // namespace

AnalysisBoard::AnalysisBoard(const Options& options)
    : json_(options.json),
      redraw_(options.redraw && !options.json),
      tolerance_(options.tolerance_percent / PERCENT),
      view_(tolerance_) {}

void AnalysisBoard::add(const Source& sender, const DecodedDatagram& datagram) {
    if (!sender.tracked()) return;
    std::unique_ptr<SenderAnalysis>& analysis = analyses_[&sender];
    if (!analysis) analysis = std::make_unique<SenderAnalysis>(analysis::variable::DEFAULT_SYNC_ID, tolerance_);
    analysis->add(datagram);
}

const SenderAnalysis* AnalysisBoard::analysis_of(const Source& sender) const {
    const auto found = analyses_.find(&sender);
    return found == analyses_.end() ? nullptr : found->second.get();
}

std::string AnalysisBoard::report(const SourceTable& sources, int64_t now_us, bool final) const {
    const bool in_place = redraw_ && !final;
    std::string out = in_place ? AnalysisView::CLEAR_SCREEN : "";
    if (in_place && analyses_.empty()) out += "busdump --analyze: no sender heard yet\n";
    for (const auto& source : sources.sources()) {
        const SenderAnalysis* analysis = analysis_of(*source);
        if (!analysis) continue;
        out += json_ ? view_.json(*source, *analysis, now_us, final) : view_.text(*source, *analysis, now_us, final);
    }
    return out;
}

}  // namespace busdump
