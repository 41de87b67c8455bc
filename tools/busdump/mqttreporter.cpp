#include "tools/busdump/mqttreporter.h"

#include <cstdio>

#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/jsonobject.h"
#include "tools/busdump/lossstages.h"

namespace busdump {

namespace {

constexpr const char* ONLINE = "online";
constexpr const char* OFFLINE = "offline";
// An empty retained message removes the topic's retained one.
constexpr const char* REMOVED = "";

std::string state_topic(const std::string& topic) { return topic + "/state"; }

// '+', '#' and '/' would make a name several levels or a wildcard.
std::string topic_level(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return name;
}

std::string losses_json(const StatsMeter::Counts& counts) {
    JsonObject o;
    LossStages::of(counts).for_each([&o](const char* stage, uint64_t lost) { o.add(stage, lost); });
    return o.str();
}

}  // namespace

std::string MqttReporter::sender_topic(const std::string& prefix, const Source& sender) {
    if (!sender.serial()) return prefix + "/unnamed/" + topic_level(sender.address());
    char serial[16];
    std::snprintf(serial, sizeof serial, "0x%08x", static_cast<unsigned>(*sender.serial()));
    return prefix + "/" + serial;
}

std::string MqttReporter::receiver_topic(const std::string& prefix, const std::string& host) {
    return prefix + "/receiver/" + topic_level(host.empty() ? std::string("unknown") : host) + "/state";
}

void MqttReporter::set_state(Sender& sender, bool online) {
    sender.online = online;
    sink_(state_topic(sender.topic), online ? ONLINE : OFFLINE, true, false);
}

void MqttReporter::heard(const Source& source, int64_t now_us) {
    if (!source.tracked()) return;
    Sender& sender = senders_[source.number()];
    if (sender.last_summary_us == 0) sender.last_summary_us = now_us;
    // Most datagrams carry events only, from a sender already named: nothing to work out again.
    const StatsMeter::Counts& counts = source.counts();
    if (sender.topic.empty() || counts.lifesigns != sender.lifesigns_seen || counts.restarts != sender.restarts_seen) {
        sender.lifesigns_seen = counts.lifesigns;
        sender.restarts_seen = counts.restarts;
        const std::string topic = sender_topic(prefix_, source);
        if (sender.topic != topic) {
            // Named at last (or renamed): the state under the former name goes.
            if (sender.online) sink_(state_topic(sender.topic), REMOVED, true, false);
            sender.topic = topic;
            sender.online = false;
        }
    }
    if (!sender.online) set_state(sender, true);
}

void MqttReporter::alert(const Source& source, const std::string& json) {
    if (!source.tracked()) return;
    std::string payload = json;
    while (!payload.empty() && payload.back() == '\n') payload.pop_back();
    sink_(sender_topic(prefix_, source) + "/alert", payload, false, false);
}

void MqttReporter::check_silence(const SourceTable& sources, int64_t now_us) {
    for (auto it = senders_.begin(); it != senders_.end();) {
        Sender& sender = it->second;
        const Source* source = sources.source(it->first);
        if (!source) {
            // Merged into the gateway whose new run it was: an unnamed topic of its own goes;
            // a serial topic is the gateway's, which stays online.
            if (sender.online && sender.topic.find(prefix_ + "/unnamed/") == 0)
                sink_(state_topic(sender.topic), REMOVED, true, false);
            it = senders_.erase(it);
            continue;
        }
        if (sender.online && source->silent(now_us)) set_state(sender, false);
        ++it;
    }
}

void MqttReporter::summaries(const SourceTable& sources, int64_t now_us) {
    for (const Source* source : sources.sources()) {
        const auto found = senders_.find(source->number());
        if (found == senders_.end() || !found->second.online) continue;
        sink_(found->second.topic + "/summary", summary_json(*source, found->second, now_us), false, true);
    }
}

std::string MqttReporter::summary_json(const Source& source, Sender& sender, int64_t now_us) const {
    const StatsMeter::Counts& total = source.counts();
    StatsMeter::Interval interval{sender.last_summary_us, now_us, StatsMeter::difference(total, sender.reported)};
    sender.reported = total;
    sender.last_summary_us = now_us;
    JsonObject o;
    o.add("type", "summary").add("time_us", now_us).add("source", source.address());
    JsonFormatter::add_source(o, source.number(), source.serial());
    o.add("number", ++sender.summaries).add("lifesign_period_us", source.lifesigns().period_us());
    JsonFormatter::add_counts(o, interval, true);
    o.add_raw("losses", losses_json(interval.counts)).add_raw("losses_total", losses_json(total));
    return o.str();
}

void MqttReporter::restate() {
    for (auto& [number, sender] : senders_)
        if (!sender.topic.empty()) sink_(state_topic(sender.topic), sender.online ? ONLINE : OFFLINE, true, false);
}

void MqttReporter::close() {
    for (auto& [number, sender] : senders_)
        if (sender.online) set_state(sender, false);
}

}  // namespace busdump
