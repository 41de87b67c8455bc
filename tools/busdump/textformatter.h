// One readable line per record, notice, statistics interval and the totals.
#pragma once

#include "tools/busdump/formatter.h"

namespace busdump {

class TextFormatter : public Formatter {
public:
    // verbose: every frame byte, not only the data bytes.
    explicit TextFormatter(bool verbose = false) : verbose_(verbose) {}

    std::string record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const override;
    std::string notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& notice) const override;
    std::string stats(const StatsMeter::Interval& interval) const override;
    std::string totals(const StatsMeter::Interval& totals) const override;
    std::string source_losses(const Source& source, int64_t time_us) const override;
    std::string source_totals(const Source& source) const override;
    std::string mqtt_totals(const std::string& broker, const MqttClient::Counts& counts) const override;

    static std::string event_text(const EventInfo& event);
    static std::string lifesign_text(const LifesignRecord& lifesign);
    static std::string loss_record_text(const LossRecord& loss);
    // "card 0 gateway_queue 0 gateway_send 0 network 0 receiver 0 malformed 0"
    static std::string stages_text(const Source& source);

private:
    std::string bytes_text(const DecodedDatagram& datagram, const DecodedRecord& record) const;
    static std::string notice_text(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& notice);

    bool verbose_;
};

}  // namespace busdump
