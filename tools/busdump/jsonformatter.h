// One JSON object per line for every record, notice, statistics interval and the totals.
// The field names are part of the tool's interface (docs/busdump.md): add, never rename.
#pragma once

#include "tools/busdump/formatter.h"
#include "tools/busdump/jsonobject.h"

namespace busdump {

class JsonFormatter : public Formatter {
public:
    std::string record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const override;
    std::string notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& notice) const override;
    std::string stats(const StatsMeter::Interval& interval) const override;
    std::string totals(const StatsMeter::Interval& totals) const override;

    static void add_event(JsonObject& object, const EventInfo& event);
    static void add_lifesign(JsonObject& object, const LifesignRecord& lifesign);
    static void add_counts(JsonObject& object, const StatsMeter::Interval& interval, bool as_rates);
};

}  // namespace busdump
