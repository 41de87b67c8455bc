#include "tools/busdump/metricsboard.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/busdump/lossstages.h"

namespace busdump {

namespace {

using Labels = MetricsFamilies::Labels;

constexpr double KIB = 1024.0;
constexpr double THOUSAND = 1000.0;  // the lifesign gives the gateway's buffer in thousands of bytes
constexpr double PERCENT = 100.0;
constexpr double US_PER_SECOND = 1e6;

double seconds(int64_t us) { return static_cast<double>(us) / US_PER_SECOND; }
// A float of the lifesign as the decimal it stands for (99.0049744, not 99.00497436523438).
double decimal(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return std::strtod(text, nullptr);
}
double ratio(float percent) { return decimal(percent) / PERCENT; }
double kib(uint32_t value) { return static_cast<double>(value) * KIB; }
double thousands(uint32_t value) { return static_cast<double>(value) * THOUSAND; }
template <class T>
double d(T value) {
    return static_cast<double>(value);
}

Labels with(Labels labels, const char* name, std::string value) {
    labels.emplace_back(name, std::move(value));
    return labels;
}

Labels sender_labels(const Source& sender) {
    if (!sender.tracked()) return {{"address", sender.address()}, {"port", ""}, {"serial", ""}};
    std::string serial;
    if (sender.serial()) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(*sender.serial()));
        serial = text;
    }
    return {{"address", sender.id().address}, {"port", std::to_string(sender.id().port)}, {"serial", serial}};
}

}  // namespace

MetricsFamilies MetricsBoard::families(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us) {
    MetricsFamilies out;
    table_figures(out, sources);
    for (const Source* sender : sources.sources()) all_figures(out, *sender, analysis, now_us);
    return out;
}

void MetricsBoard::publish(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us) {
    begin(sources);
    while (step(sources, analysis, now_us)) {
    }
}

void MetricsBoard::begin(const SourceTable& sources) {
    rendering_ = true;
    pending_ = MetricsFamilies();
    table_figures(pending_, sources);
    pending_senders_.clear();
    for (const Source* sender : sources.sources()) pending_senders_.push_back(sender->number());
    next_sender_ = 0;
}

bool MetricsBoard::step(const SourceTable& sources, const AnalysisBoard* analysis, int64_t now_us) {
    if (!rendering_) return false;
    while (next_sender_ < pending_senders_.size()) {
        const Source* sender = sources.source(pending_senders_[next_sender_++]);
        if (!sender) continue;
        all_figures(pending_, *sender, analysis, now_us);
        return true;
    }
    snapshot_->publish(std::move(pending_));
    pending_ = MetricsFamilies();
    rendering_ = false;
    return false;
}

void MetricsBoard::table_figures(MetricsFamilies& out, const SourceTable& sources) {
    out.gauge("busgate_senders", "Senders heard since busdump started, the shared entry of those beyond its limit included.",
              {}, d(sources.sources().size()));
}

void MetricsBoard::all_figures(MetricsFamilies& out, const Source& sender, const AnalysisBoard* analysis,
                               int64_t now_us) {
    const Labels labels = sender_labels(sender);
    sender_figures(out, sender, labels, now_us);
    if (const auto& lifesign = sender.lifesigns().latest()) lifesign_figures(out, *lifesign, labels);
    if (!analysis) return;
    if (const SenderAnalysis* bus = analysis->analysis_of(sender)) station_figures(out, *bus, labels);
    if (const AlertWatch* watch = analysis->alerts_of(sender)) alert_figures(out, *watch, labels);
}

void MetricsBoard::sender_figures(MetricsFamilies& out, const Source& sender, const Labels& labels,
                                  int64_t now_us) {
    const StatsMeter::Counts& c = sender.counts();
    out.gauge("busgate_sender_up", "1 while the sender is heard, 0 once it has been silent for three lifesign periods.",
              labels, sender.silent(now_us) ? 0 : 1);
    out.gauge("busgate_sender_last_datagram_timestamp_seconds", "When the sender's latest datagram arrived.", labels,
              seconds(sender.last_arrival_us()));
    out.gauge("busgate_sender_lifesign_period_seconds",
              "The sender's lifesign period, from its last two lifesigns (0.5 until two came).", labels,
              seconds(sender.lifesigns().period_us()));
    out.counter("busgate_datagrams", "Datagrams received from the sender.", labels, d(c.datagrams));
    out.counter("busgate_received_bytes", "UDP payload bytes received from the sender, headers included.", labels,
                d(c.bytes));
    out.counter("busgate_records", "Records in the sender's datagrams.", labels, d(c.records));
    out.counter("busgate_events", "Bus event records received from the sender.", labels, d(c.events));
    out.counter("busgate_lifesigns", "Lifesign records received from the sender.", labels, d(c.lifesigns));
    out.counter("busgate_unknown_records", "Records of unknown type received from the sender.", labels,
                d(c.unknown_records));
    out.counter("busgate_sequence_gaps", "Gaps in the sender's datagram sequence.", labels, d(c.sequence_gaps));
    out.counter("busgate_index_gaps", "Gaps in the sender's event indices.", labels, d(c.index_gaps));
    out.counter("busgate_restarts", "Restarts of the sender's gateway.", labels, d(c.restarts));
    out.counter("busgate_index_resets", "Times the sender's event indices started again.", labels, d(c.index_resets));
    LossStages::of(c).for_each([&](const char* stage, uint64_t lost) {
        out.counter("busgate_losses",
                    "What was lost on the way from the bus to busdump, by the stage that lost it: frames (card), "
                    "records (gateway_queue, gateway_send) or datagrams (network, receiver, malformed).",
                    with(labels, "stage", stage), d(lost));
    });
}

void MetricsBoard::lifesign_figures(MetricsFamilies& out, const LifesignRecord& l, const Labels& labels) {
    out.gauge("busgate_gateway_lifesign_number", "Number of the sender's latest lifesign (1 for its first).", labels,
              d(l.counter));
    out.gauge("busgate_gateway_lifesign_timestamp_seconds",
              "When the latest lifesign was made, on the gateway's local wall clock.", labels, seconds(l.created_us));
    out.gauge("busgate_gateway_card_serial", "Serial number of the gateway's card.", labels, d(l.sn));

    out.gauge("busgate_host_cpu_load_ratio", "The gateway host's total CPU load (0 to 1).", labels, ratio(l.cpu_load));
    out.gauge("busgate_host_cpu_temperature_celsius", "The gateway host's CPU temperature (NaN when unknown).",
              labels, decimal(l.cpu_temperature));
    out.gauge("busgate_host_storage_total_bytes", "Size of the gateway's working volume.", labels,
              kib(l.storage_total));
    out.gauge("busgate_host_storage_used_bytes", "Used space of the gateway's working volume.", labels,
              kib(l.storage_used));
    out.gauge("busgate_host_storage_available_bytes", "Space of the gateway's working volume available to it.",
              labels, kib(l.storage_available));
    out.gauge("busgate_host_storage_used_ratio", "Used share of the gateway's working volume.", labels,
              ratio(l.storage_used_pct));
    out.gauge("busgate_host_memory_total_bytes", "Physical memory of the gateway host.", labels, kib(l.ram_total));
    out.gauge("busgate_host_memory_used_bytes", "Physical memory in use on the gateway host.", labels,
              kib(l.ram_used));
    out.gauge("busgate_host_memory_available_bytes", "Physical memory available on the gateway host.", labels,
              kib(l.ram_available));
    out.gauge("busgate_host_memory_used_ratio", "Used share of the gateway host's physical memory.", labels,
              ratio(l.ram_used_pct));

    out.gauge("busgate_gateway_buffer_total_bytes", "Size of the gateway's buffer (to 1000 bytes).", labels,
              thousands(l.buf_total));
    out.gauge("busgate_gateway_buffer_used_bytes", "Bytes queued in the gateway's buffer (to 1000 bytes).", labels,
              thousands(l.buf_used));
    out.gauge("busgate_gateway_buffer_free_bytes", "Free bytes of the gateway's buffer (to 1000 bytes).", labels,
              thousands(l.buf_free));
    out.gauge("busgate_gateway_buffer_used_ratio", "Used share of the gateway's buffer.", labels,
              ratio(l.buf_used_pct));

    out.gauge("busgate_network_active", "1 while the gateway's network link is active.", labels, l.net_is_active);
    out.counter("busgate_network_active_seconds", "Time the gateway's network link has been active.", labels,
                seconds(l.net_total_act_duration_us));
    out.counter("busgate_network_inactive_seconds", "Time the gateway's network link has been inactive.", labels,
                seconds(l.net_total_inact_duration_us));
    out.gauge("busgate_network_last_start_timestamp_seconds",
              "When the gateway's network link last became active (gateway's local wall clock).", labels,
              seconds(l.net_last_start_date_us));
    out.gauge("busgate_network_last_stop_timestamp_seconds",
              "When the gateway's network link last became inactive (gateway's local wall clock).", labels,
              seconds(l.net_last_stop_date_us));
    out.gauge("busgate_network_activity_duration_seconds", "Length of the network link's current or last activity.",
              labels, seconds(l.net_act_duration_us));
    out.gauge("busgate_network_inactivity_duration_seconds",
              "Length of the network link's current or last inactivity.", labels, seconds(l.net_inact_duration_us));
    out.counter("busgate_network_activity_losses", "Times the network link lost its activity (low 16 bits).", labels,
                l.net_act_loss_cnt);
    out.counter("busgate_network_received_packets", "Packets the gateway received.", labels, l.net_pkt_rcvd_cnt);
    out.gauge("busgate_network_received_packets_per_second", "Packets the gateway received in its last second.",
              labels, l.net_pkt_rcvd_cnt_per_sec);
    out.gauge("busgate_network_received_bytes_per_second", "Bytes the gateway received in its last second.", labels,
              l.net_bytes_rcvd_cnt_per_sec);
    out.counter("busgate_network_sent_packets", "Datagrams the gateway sent.", labels, l.net_pkt_sent_cnt);
    out.gauge("busgate_network_sent_packets_per_second", "Datagrams the gateway sent in its last second.", labels,
              l.net_pkt_sent_cnt_per_sec);
    out.gauge("busgate_network_sent_bytes_per_second", "Bytes the gateway sent in its last second.", labels,
              l.net_bytes_sent_cnt_per_sec);

    out.gauge("busgate_card_active", "1 while the gateway's card delivers events.", labels, l.card_is_active);
    out.counter("busgate_card_active_seconds", "Time the card has been active.", labels,
                seconds(l.card_total_act_duration_us));
    out.counter("busgate_card_inactive_seconds", "Time the card has been inactive.", labels,
                seconds(l.card_total_inact_duration_us));
    out.gauge("busgate_card_last_start_timestamp_seconds",
              "When the card last became active (gateway's local wall clock).", labels,
              seconds(l.card_last_start_date_us));
    out.gauge("busgate_card_last_stop_timestamp_seconds",
              "When the card last became inactive (gateway's local wall clock).", labels,
              seconds(l.card_last_stop_date_us));
    out.gauge("busgate_card_last_activity_duration_seconds", "Length of the card's last activity.", labels,
              seconds(l.card_last_act_duration_us));
    out.gauge("busgate_card_last_inactivity_duration_seconds", "Length of the card's last inactivity.", labels,
              seconds(l.card_last_inact_duration_us));
    out.counter("busgate_card_activity_losses", "Times the card lost its activity (low 16 bits).", labels,
                l.card_act_loss_cnt);
    out.counter("busgate_card_received_frames", "Frames the card delivered.", labels, l.card_frame_rcvd_cnt);
    out.gauge("busgate_card_received_frames_per_second", "Frames the card delivered in its last second.", labels,
              l.card_frame_rcvd_cnt_per_sec);
    out.gauge("busgate_card_received_bytes_per_second", "Bytes the card delivered in its last second.", labels,
              l.card_bytes_rcvd_cnt_per_sec);
    out.gauge("busgate_card_fcs_mode", "Frame check mode of the card's latest event.", labels, l.card_fcs_mode);
    out.gauge("busgate_card_aux", "The card's auxiliary byte.", labels, l.card_aux);
    const struct {
        const char* flag;
        uint64_t count;
    } flagged[] = {{"status_b0", l.status_b0_cnt},       {"status_b12", l.status_b12_cnt},
                   {"status_b3", l.status_b3_cnt},       {"unknown_control", l.unknown_ctrl_cnt},
                   {"frame_check", l.fcs_err_cnt},       {"pdu_type", l.pdu_type_err_cnt},
                   {"length", l.length_err_cnt},         {"status_b6", l.status_b6_cnt},
                   {"status_b5", l.status_b5_cnt},       {"status_b4", l.status_b4_cnt}};
    for (const auto& f : flagged)
        out.counter("busgate_card_flagged_frames",
                    "Frames the gateway counted by flag: status bits, unknown control bytes, bad frame checks, "
                    "PDU types and lengths.",
                    with(labels, "flag", f.flag), d(f.count));
}

void MetricsBoard::station_figures(MetricsFamilies& out, const SenderAnalysis& analysis, const Labels& labels) {
    for (std::size_t a = 0; a < SenderAnalysis::STATION_COUNT; ++a) {
        const auto address = static_cast<uint8_t>(a);
        if (!analysis.station_seen(address)) continue;
        const Labels station = with(labels, "station", std::to_string(a));
        const SenderAnalysis::Station& s = analysis.station(address);
        out.gauge("busgate_station_present", "1 while the station is on the bus (it answers its presence check).",
                  station, analysis.station_present(address) ? 1 : 0);
        out.counter("busgate_station_frames", "Responses the station produced.", station, d(s.frames));
        out.counter("busgate_station_missed_presence", "Presence checks the station did not answer.", station,
                    d(s.missed_presence));
        const struct {
            const char* kind;
            uint64_t count;
        } errors[] = {{"frame_check", s.errors.frame_check},
                      {"length", s.errors.length},
                      {"pdu_type", s.errors.pdu_type},
                      {"status_bits", s.errors.status_bits},
                      {"unknown_control", s.errors.unknown_control}};
        for (const auto& e : errors)
            out.counter("busgate_station_errors", "Errors of the frames that followed the station's identifiers, by kind.",
                        with(station, "kind", e.kind), d(e.count));
    }
}

void MetricsBoard::alert_figures(MetricsFamilies& out, const AlertWatch& watch, const Labels& labels) {
    for (const char* kind : AlertWatch::KINDS) {
        const Labels alert = with(labels, "kind", kind);
        out.counter("busgate_alerts_raised", "Alerts raised against the baseline, by kind.", alert,
                    d(watch.raised(kind)));
        out.gauge("busgate_alerts_active", "Alerts raised against the baseline and not cleared, by kind.", alert,
                  d(watch.active_count(kind)));
    }
}

}  // namespace busdump
