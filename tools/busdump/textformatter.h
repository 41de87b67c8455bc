// One readable line per record, notice, statistics interval and the totals.
#pragma once

#include "tools/busdump/formatter.h"

namespace busdump {

class TextFormatter : public Formatter {
public:
    std::string record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const override;
    std::string notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& notice) const override;
    std::string stats(const StatsMeter::Interval& interval) const override;
    std::string totals(const StatsMeter::Interval& totals) const override;

    static std::string event_text(const EventInfo& event);
    static std::string lifesign_text(const LifesignRecord& lifesign);
};

}  // namespace busdump
