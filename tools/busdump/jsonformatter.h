// One JSON object per line for every record, notice, statistics interval and the totals.
// The field names are part of the tool's interface (docs/busdump.md): add, never rename.
#pragma once

#include "tools/busdump/formatter.h"
#include "tools/busdump/jsonobject.h"

namespace busdump {

class JsonFormatter : public Formatter {
public:
    // verbose: every frame byte, not only the data bytes.
    explicit JsonFormatter(bool verbose = false) : verbose_(verbose) {}

    std::string record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const override;
    std::string notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& notice) const override;
    std::string stats(const StatsMeter::Interval& interval) const override;
    std::string totals(const StatsMeter::Interval& totals) const override;
    std::string source_losses(const Source& source, int64_t time_us) const override;
    std::string source_totals(const Source& source) const override;
    std::string mqtt_totals(const std::string& broker, const MqttClient::Counts& counts) const override;

    static void add_event(JsonObject& object, const EventInfo& event);
    static void add_lifesign(JsonObject& object, const LifesignRecord& lifesign);
    static void add_loss_record(JsonObject& object, const LossRecord& loss);
    // "losses": the sender's stages, as an object.
    static void add_losses(JsonObject& object, const Source& source);
    static void add_source(JsonObject& object, unsigned number, const std::optional<uint32_t>& serial);
    static void add_counts(JsonObject& object, const StatsMeter::Interval& interval, bool as_rates);

private:
    bool verbose_;
};

}  // namespace busdump
