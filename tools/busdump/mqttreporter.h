// What busdump tells an MQTT broker about the senders it hears, under the topic prefix:
//   PREFIX/<sender>/state    retained "online" or "offline"
//   PREFIX/<sender>/summary  every interval: the interval's figures and losses by stage (JSON)
//   PREFIX/<sender>/alert    every alert raised or cleared (JSON, as --json prints it)
// <sender> is the card's serial number ("0x4c530001") once a lifesign named it, and
// "unnamed/<address>:<port>" before; when the serial becomes known the retained state of the
// unnamed topic is removed. A sender is online from its first datagram and offline once silent
// (three lifesign periods: Source::silent), and at close. The untracked entry of the senders
// beyond the table's limit is not published.
// Pure: times come in, messages go out to the sink.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "tools/busdump/source.h"
#include "tools/busdump/sourcetable.h"
#include "tools/busdump/statsmeter.h"

namespace busdump {

class MqttReporter {
public:
    // `soon_stale`: a summary, which a newer one makes worthless; states and alerts are not.
    using Sink = std::function<void(const std::string& topic, const std::string& payload, bool retain, bool soon_stale)>;

    MqttReporter(std::string prefix, Sink sink) : prefix_(std::move(prefix)), sink_(std::move(sink)) {}

    // A datagram of `sender` arrived at `now_us` (the source has taken it in).
    void heard(const Source& sender, int64_t now_us);
    // An alert of `sender` raised or cleared, as JSON.
    void alert(const Source& sender, const std::string& json);
    // Silent senders go offline; entries merged away are forgotten.
    void check_silence(const SourceTable& sources, int64_t now_us);
    // One summary per online sender: what came since its previous summary.
    void summaries(const SourceTable& sources, int64_t now_us);
    // Every state again: a broker that restarted without persistence has lost them.
    void restate();
    // Every online sender offline (busdump ends).
    void close();

    // "PREFIX/0x4c530001" or "PREFIX/unnamed/127.0.0.1:40000".
    static std::string sender_topic(const std::string& prefix, const Source& sender);
    // The receiver's own state topic: "PREFIX/receiver/<host>/state".
    static std::string receiver_topic(const std::string& prefix, const std::string& host);

private:
    struct Sender {
        std::string topic;  // without the last level
        bool online = false;
        int64_t last_summary_us = 0;
        uint64_t summaries = 0;
        StatsMeter::Counts reported;  // the counts the previous summary went up to
        // The source's lifesigns and restarts when the topic was last worked out: only a lifesign
        // names the card, only a restart moves an unnamed sender to another port.
        uint64_t lifesigns_seen = 0;
        uint64_t restarts_seen = 0;
    };

    void set_state(Sender& sender, bool online);
    std::string summary_json(const Source& source, Sender& sender, int64_t now_us) const;

    const std::string prefix_;
    const Sink sink_;
    std::map<unsigned, Sender> senders_;  // by the sender's number
};

}  // namespace busdump
