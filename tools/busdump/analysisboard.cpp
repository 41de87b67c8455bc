#include "tools/busdump/analysisboard.h"

#include "common/analysis/variabledecoder.h"
#include "tools/busdump/formatter.h"

namespace busdump {

namespace {
constexpr double PERCENT = 100.0;
}  // namespace

AnalysisBoard::AnalysisBoard(const Options& options)
    : json_(options.json),
      redraw_(options.redraw && !options.json),
      tolerance_(options.tolerance_percent / PERCENT),
      view_(tolerance_),
      expected_(options.baseline),
      max_error_permille_(options.max_error_permille) {}

std::string AnalysisBoard::add(const Source& sender, const DecodedDatagram& datagram, bool new_run) {
    if (!sender.tracked()) return {};
    std::unique_ptr<SenderAnalysis>& analysis = analyses_[sender.number()];
    if (!analysis) analysis = std::make_unique<SenderAnalysis>(analysis::variable::DEFAULT_SYNC_ID, tolerance_);
    if (new_run) analysis->begin_run();
    analysis->add(datagram);
    AlertWatch* watch = watch_of(sender);
    if (!watch || watch->checked_cycles() == analysis->macrocycle().completed) return {};
    std::vector<Alert> changes;
    watch->check(*analysis, changes);
    tell(sender, changes);
    return alerts(sender, changes);
}

AlertWatch* AnalysisBoard::watch_of(const Source& sender) {
    if (!expected_ || !sender.serial()) return nullptr;
    std::unique_ptr<AlertWatch>& watch = watches_[sender.number()];
    if (!watch) {
        const auto found = expected_->senders.find(*sender.serial());
        if (found == expected_->senders.end()) return nullptr;  // not in the baseline: nothing to compare
        watch = std::make_unique<AlertWatch>(found->second, tolerance_, max_error_permille_);
    }
    return watch.get();
}

std::string AnalysisBoard::alerts(const Source& sender, const std::vector<Alert>& changes) const {
    std::string out;
    for (const Alert& alert : changes) out += json_ ? view_.alert_json(sender, alert) : view_.alert_text(sender, alert);
    return out;
}

void AnalysisBoard::tell(const Source& sender, const std::vector<Alert>& changes) const {
    if (alert_listeners_.empty()) return;
    for (const Alert& alert : changes) {
        const std::string json = view_.alert_json(sender, alert);
        for (const AlertListener& listener : alert_listeners_) listener(sender, alert, json);
    }
}

void AnalysisBoard::drop_gone(const SourceTable& sources) {
    std::unordered_map<unsigned, bool> listed;
    for (const auto& source : sources.sources()) listed[source->number()] = true;
    for (auto it = analyses_.begin(); it != analyses_.end();) {
        if (listed.count(it->first)) {
            ++it;
            continue;
        }
        watches_.erase(it->first);
        it = analyses_.erase(it);
    }
}

Baseline AnalysisBoard::baseline(const SourceTable& sources) const {
    Baseline out;
    for (const auto& source : sources.sources()) {
        const SenderAnalysis* analysis = analysis_of(*source);
        if (!analysis || !source->serial()) continue;
        BaselineSender& sender = out.senders[*source->serial()];
        for (std::size_t a = 0; a < SenderAnalysis::STATION_COUNT; ++a) {
            const auto address = static_cast<uint8_t>(a);
            if (!analysis->station_present(address)) continue;
            const SenderAnalysis::Station& s = analysis->station(address);
            const uint64_t all = s.frames + s.errors.total();
            sender.stations[address] = all ? static_cast<double>(s.errors.total()) * 1000.0 / static_cast<double>(all) : 0.0;
        }
        for (const SenderAnalysis::Identifier& entry : analysis->identifiers()) {
            if (!entry.periods.count()) continue;
            sender.identifiers[entry.identifier] = {entry.periods.mean(), entry.periods.min(), entry.periods.max()};
        }
    }
    return out;
}

const SenderAnalysis* AnalysisBoard::analysis_of(const Source& sender) const {
    const auto found = analyses_.find(sender.number());
    return found == analyses_.end() ? nullptr : found->second.get();
}

const AlertWatch* AnalysisBoard::alerts_of(const Source& sender) const {
    const auto found = watches_.find(sender.number());
    return found == watches_.end() ? nullptr : found->second.get();
}

std::string AnalysisBoard::report(const SourceTable& sources, int64_t now_us, bool final) {
    std::string out = report_start(sources, final);
    for (const auto& source : sources.sources()) out += report_sender(*source, now_us, final);
    return out;
}

std::string AnalysisBoard::report_start(const SourceTable& sources, bool final) {
    drop_gone(sources);
    const bool in_place = redraw_ && !final;
    std::string out = in_place ? AnalysisView::CLEAR_SCREEN : "";
    if (in_place && analyses_.empty()) out += "busdump --analyze: no sender heard yet\n";
    return out;
}

std::string AnalysisBoard::report_sender(const Source& sender, int64_t now_us, bool final) {
    const SenderAnalysis* analysis = analysis_of(sender);
    if (!analysis) return {};
    const bool in_place = redraw_ && !final;
    std::string out;
    const auto watch = watches_.find(sender.number());
    if (watch != watches_.end() && !final) {
        std::vector<Alert> changes;
        watch->second->check_error_rates(*analysis, changes);
        tell(sender, changes);
            // Drawn in place, the screen shows every alert still raised; lines would be wiped.
        out += alerts(sender, in_place ? watch->second->active() : changes);
    }
    out += json_ ? view_.json(sender, *analysis, now_us, final) : view_.text(sender, *analysis, now_us, final);
    return out;
}

}  // namespace busdump
