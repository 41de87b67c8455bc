// How busdump --analyze shows the analysis of one sender: a block of readable tables, or one
// JSON object of type "analysis".
#pragma once

#include <cstdint>
#include <string>

#include "tools/busdump/alertwatch.h"
#include "tools/busdump/senderanalysis.h"
#include "tools/busdump/source.h"

namespace busdump {

class AnalysisView {
public:
    // Moves the cursor home and clears the terminal: the screen is drawn again in place.
    static constexpr const char* CLEAR_SCREEN = "\x1b[H\x1b[2J";

    // `tolerance`: the fraction (0.1 for 10 %) by which a period may exceed the identifier's
    // typical period before it counts as late.
    explicit AnalysisView(double tolerance) : tolerance_(tolerance) {}

    // `time_us`: when the view was taken (receive clock); `final`: the report at exit.
    std::string text(const Source& source, const SenderAnalysis& analysis, int64_t time_us, bool final) const;
    std::string json(const Source& source, const SenderAnalysis& analysis, int64_t time_us, bool final) const;

    // "ALERT <sender>: <kind> <subject>: expected ..., seen ..." or "CLEARED ..."; or an object
    // of type "alert".
    std::string alert_text(const Source& source, const Alert& alert) const;
    std::string alert_json(const Source& source, const Alert& alert) const;

    // The sender's losses by stage, as a JSON object.
    static std::string losses_json(const Source& source);

private:
    std::string stations_text(const SenderAnalysis& analysis) const;
    std::string identifiers_text(const SenderAnalysis& analysis) const;
    std::string stations_json(const SenderAnalysis& analysis) const;
    std::string identifiers_json(const SenderAnalysis& analysis) const;
    static std::string cycle_text(const SenderAnalysis& analysis);
    static std::string cycle_json(const SenderAnalysis& analysis);

    const double tolerance_;
};

}  // namespace busdump
