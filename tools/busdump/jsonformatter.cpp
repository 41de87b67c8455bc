#include "tools/busdump/jsonformatter.h"

#include "common/driver/controlbyte.h"
#include "tools/busdump/analysisview.h"
#include "tools/busdump/lossstages.h"

namespace busdump {

namespace {

const char* record_type_name(RecordKind kind) {
    switch (kind) {
        case RecordKind::event: return "event";
        case RecordKind::lifesign: return "lifesign";
        case RecordKind::loss: return "loss";
        case RecordKind::unknown: break;
    }
    return "unknown";
}

std::string line(const JsonObject& object) { return object.str() + "\n"; }

}  // namespace

void JsonFormatter::add_event(JsonObject& o, const EventInfo& e) {
    o.add("index", e.index).add("timestamp_us", e.timestamp_us).add("time_a", e.time_a).add("time_b", e.time_b);
    o.add("status", static_cast<uint32_t>(e.status))
        .add("rx_errors", static_cast<uint32_t>(e.rx_errors))
        .add("flags", static_cast<uint32_t>(e.flags))
        .add("fcs_mode", static_cast<uint32_t>(e.fcs_mode))
        .add("period_code", static_cast<uint32_t>(e.period_code));
    if (e.control)
        o.add("control", static_cast<uint32_t>(*e.control)).add("control_name", linkscope::ControlByte::name(*e.control));
    else
        o.add_null("control").add_null("control_name");
    if (e.identifier)
        o.add("identifier", static_cast<uint32_t>(*e.identifier));
    else
        o.add_null("identifier");
    if (e.response_to)
        o.add("response_to", static_cast<uint32_t>(*e.response_to));
    else
        o.add_null("response_to");
    o.add("frame_length", static_cast<uint64_t>(e.frame_length)).add("data_length", static_cast<uint64_t>(e.data_length));
    o.add("fcs", fcs_result_name(e.fcs));
    if (e.fcs == FcsResult::ok || e.fcs == FcsResult::bad)
        o.add("fcs_carried", static_cast<uint32_t>(e.fcs_carried)).add("fcs_computed", static_cast<uint32_t>(e.fcs_computed));
    else
        o.add_null("fcs_carried").add_null("fcs_computed");
}

void JsonFormatter::add_lifesign(JsonObject& o, const LifesignRecord& l) {
    o.add("counter", l.counter).add("created_us", l.created_us).add("sn", l.sn);
    o.add("cpu_load", static_cast<double>(l.cpu_load)).add("cpu_temperature", static_cast<double>(l.cpu_temperature));
    o.add("storage_total", l.storage_total).add("storage_used", l.storage_used)
        .add("storage_available", l.storage_available).add("storage_used_pct", static_cast<double>(l.storage_used_pct));
    o.add("ram_total", l.ram_total).add("ram_used", l.ram_used).add("ram_available", l.ram_available)
        .add("ram_used_pct", static_cast<double>(l.ram_used_pct));
    o.add("buf_total", l.buf_total).add("buf_used", l.buf_used).add("buf_free", l.buf_free)
        .add("buf_used_pct", static_cast<double>(l.buf_used_pct));

    o.add("net_is_active", static_cast<uint32_t>(l.net_is_active))
        .add("net_total_act_duration_us", l.net_total_act_duration_us)
        .add("net_total_inact_duration_us", l.net_total_inact_duration_us)
        .add("net_last_start_date_us", l.net_last_start_date_us)
        .add("net_last_stop_date_us", l.net_last_stop_date_us)
        .add("net_act_duration_us", l.net_act_duration_us)
        .add("net_inact_duration_us", l.net_inact_duration_us)
        .add("net_act_loss_cnt", static_cast<uint32_t>(l.net_act_loss_cnt))
        .add("net_pkt_rcvd_cnt", l.net_pkt_rcvd_cnt)
        .add("net_pkt_rcvd_cnt_per_sec", l.net_pkt_rcvd_cnt_per_sec)
        .add("net_bytes_rcvd_cnt_per_sec", l.net_bytes_rcvd_cnt_per_sec)
        .add("net_pkt_sent_cnt", l.net_pkt_sent_cnt)
        .add("net_pkt_sent_cnt_per_sec", l.net_pkt_sent_cnt_per_sec)
        .add("net_bytes_sent_cnt_per_sec", l.net_bytes_sent_cnt_per_sec);

    o.add("card_is_active", static_cast<uint32_t>(l.card_is_active))
        .add("card_total_act_duration_us", l.card_total_act_duration_us)
        .add("card_total_inact_duration_us", l.card_total_inact_duration_us)
        .add("card_last_start_date_us", l.card_last_start_date_us)
        .add("card_last_stop_date_us", l.card_last_stop_date_us)
        .add("card_last_act_duration_us", l.card_last_act_duration_us)
        .add("card_last_inact_duration_us", l.card_last_inact_duration_us)
        .add("card_act_loss_cnt", static_cast<uint32_t>(l.card_act_loss_cnt))
        .add("card_frame_rcvd_cnt", l.card_frame_rcvd_cnt)
        .add("card_frame_rcvd_cnt_per_sec", l.card_frame_rcvd_cnt_per_sec)
        .add("card_bytes_rcvd_cnt_per_sec", l.card_bytes_rcvd_cnt_per_sec)
        .add("card_fcs_mode", static_cast<uint32_t>(l.card_fcs_mode))
        .add("card_aux", static_cast<uint32_t>(l.card_aux));

    o.add("status_b0_cnt", l.status_b0_cnt).add("status_b12_cnt", l.status_b12_cnt)
        .add("status_b3_cnt", l.status_b3_cnt).add("unknown_ctrl_cnt", l.unknown_ctrl_cnt)
        .add("fcs_err_cnt", l.fcs_err_cnt).add("pdu_type_err_cnt", l.pdu_type_err_cnt)
        .add("length_err_cnt", l.length_err_cnt).add("status_b6_cnt", l.status_b6_cnt)
        .add("status_b5_cnt", l.status_b5_cnt).add("status_b4_cnt", l.status_b4_cnt);
}

void JsonFormatter::add_loss_record(JsonObject& o, const LossRecord& l) {
    o.add("counter", l.counter).add("created_us", l.created_us).add("card_lost_frames", l.card_lost_frames)
        .add("queue_refused", l.queue_refused).add("send_failed_datagrams", l.send_failed_datagrams)
        .add("send_failed_records", l.send_failed_records);
}

void JsonFormatter::add_losses(JsonObject& o, const Source& source) {
    o.add_raw("losses", AnalysisView::losses_json(source));
}

void JsonFormatter::add_counts(JsonObject& o, const StatsMeter::Interval& i, bool as_rates) {
    const StatsMeter::Counts& c = i.counts;
    o.add("seconds", i.seconds());
    if (as_rates) {
        o.add("datagrams_per_sec", i.rate(c.datagrams)).add("records_per_sec", i.rate(c.records))
            .add("events_per_sec", i.rate(c.events)).add("lifesigns_per_sec", i.rate(c.lifesigns))
            .add("bytes_per_sec", i.rate(c.bytes));
    }
    o.add("datagrams", c.datagrams).add("bytes", c.bytes).add("records", c.records).add("events", c.events)
        .add("lifesigns", c.lifesigns).add("unknown_records", c.unknown_records).add("malformed", c.malformed)
        .add("fcs_bad", c.fcs_bad).add("gaps", c.gaps()).add("sequence_gaps", c.sequence_gaps)
        .add("datagrams_lost", c.datagrams_lost).add("index_gaps", c.index_gaps).add("frames_lost", c.frames_lost)
        .add("restarts", c.restarts).add("index_resets", c.index_resets).add("not_written", c.not_written)
        .add("loss_records", c.loss_records).add("receiver_dropped", c.receiver_dropped);
}

std::string JsonFormatter::record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const {
    const DecodedRecord& r = datagram.records.at(number);
    JsonObject o;
    o.add("type", record_type_name(r.kind)).add("seq", datagram.sequence).add("rec", static_cast<uint64_t>(number));
    o.add("rx_time_us", arrival.time_us).add("source", arrival.source).add("record_type", static_cast<uint32_t>(r.type))
        .add("length", static_cast<uint64_t>(r.length));
    if (r.kind == RecordKind::event) {
        add_event(o, r.event);
        const uint8_t* frame = datagram.frame(r);
        o.add("data", hex_bytes(frame + 1, r.event.data_length, ""));
        if (verbose_) o.add("frame", hex_bytes(frame, r.event.frame_length, ""));
    }
    if (r.kind == RecordKind::lifesign) add_lifesign(o, *r.lifesign);
    if (r.kind == RecordKind::loss) add_loss_record(o, *r.loss);
    return line(o);
}

std::string JsonFormatter::notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& n) const {
    JsonObject o;
    o.add("type", "notice").add("kind", notice_kind_name(n.kind));
    if (datagram.header_valid)
        o.add("seq", datagram.sequence);
    else
        o.add_null("seq");
    o.add("rx_time_us", arrival.time_us).add("source", arrival.source);
    add_source(o, arrival.source_number, arrival.serial);
    switch (n.kind) {
        case Notice::Kind::malformed: o.add("size", static_cast<uint64_t>(datagram.size)).add("error", n.text); break;
        case Notice::Kind::new_source: break;
        case Notice::Kind::card_serial:
            if (n.had_from)
                o.add("from", n.from);
            else
                o.add_null("from");
            o.add("to", n.to);
            break;
        case Notice::Kind::send_failed:
            o.add("from", n.from).add("to", n.to).add("lost", n.lost).add("datagrams", n.datagrams);
            break;
        case Notice::Kind::receiver_drop: o.add("lost", n.lost); break;
        case Notice::Kind::restart:
            o.add("from", n.from).add("to", n.to).add("lost", n.lost);
            if (n.port)
                o.add("port", static_cast<uint32_t>(n.port));
            else
                o.add_null("port");
            break;
        default: o.add("from", n.from).add("to", n.to).add("lost", n.lost); break;
    }
    return line(o);
}

std::string JsonFormatter::stats(const StatsMeter::Interval& interval) const {
    JsonObject o;
    o.add("type", "stats").add("time_us", interval.end_us);
    add_counts(o, interval, true);
    return line(o);
}

void JsonFormatter::add_source(JsonObject& o, unsigned number, const std::optional<uint32_t>& serial) {
    o.add("source_number", static_cast<uint32_t>(number));
    if (serial)
        o.add("sn", *serial);
    else
        o.add_null("sn");
}

std::string JsonFormatter::source_losses(const Source& source, int64_t time_us) const {
    JsonObject o;
    o.add("type", "source_losses").add("time_us", time_us).add("source", source.address());
    add_source(o, source.number(), source.serial());
    add_losses(o, source);
    return line(o);
}

std::string JsonFormatter::source_totals(const Source& source) const {
    JsonObject o;
    o.add("type", "source_totals").add("source", source.address());
    add_source(o, source.number(), source.serial());
    const StatsMeter::Interval span{source.first_arrival_us(), source.last_arrival_us(), source.counts(),
                                    source.first_arrival_us(), source.last_arrival_us()};
    add_counts(o, span, false);
    o.add("first_rx_time_us", span.first_arrival_us).add("last_rx_time_us", span.last_arrival_us);
    // Flat, as the other totals: "losses_card" and so on.
    LossStages::of(source.counts()).for_each([&o](const char* stage, uint64_t lost) {
        o.add(("losses_" + std::string(stage)).c_str(), lost);
    });
    return line(o);
}

std::string JsonFormatter::totals(const StatsMeter::Interval& totals) const {
    JsonObject o;
    o.add("type", "totals").add("time_us", totals.end_us);
    add_counts(o, totals, false);
    o.add("first_rx_time_us", totals.first_arrival_us).add("last_rx_time_us", totals.last_arrival_us);
    return line(o);
}

std::string JsonFormatter::mqtt_totals(const std::string& broker, const MqttClient::Counts& c) const {
    JsonObject o;
    o.add("type", "mqtt_totals").add("broker", broker).add("published", c.published).add("dropped", c.dropped);
    o.add("connections", c.connections);
    return line(o);
}

}  // namespace busdump
