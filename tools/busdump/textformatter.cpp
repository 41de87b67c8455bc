#include "tools/busdump/textformatter.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "common/driver/controlbyte.h"
#include "tools/busdump/lossstages.h"
#include "tools/busdump/timetext.h"

namespace busdump {

namespace {

// MinGW's own printf (the one C++ programs get, with %zu and %llu) has a format checker of its own.
#ifdef __MINGW_PRINTF_FORMAT
#define TEXT_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define TEXT_PRINTF_FORMAT printf
#endif

std::string printf_text(const char* fmt, ...) __attribute__((format(TEXT_PRINTF_FORMAT, 1, 2)));

std::string printf_text(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(&text[0], text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

// Names of set bits, "b0,b3", from bit `first` of `bits` on.
std::string bit_list(unsigned bits, unsigned first) {
    std::string out;
    for (unsigned bit = 0; bits >> bit; ++bit) {
        if (!((bits >> bit) & 1u)) continue;
        if (!out.empty()) out += ',';
        out += "b" + std::to_string(first + bit);
    }
    return out;
}

std::string percent(float value) { return !std::isfinite(value) ? "n/a" : printf_text("%.1f%%", value); }

std::string celsius(float value) { return !std::isfinite(value) ? "n/a" : printf_text("%.1fC", value); }

std::string prefix(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) {
    const std::string source = arrival.source_number ? "#" + std::to_string(arrival.source_number) + " " : "";
    return printf_text("[%s%" PRIu64 ":%" PRIu64 "] ", source.c_str(), datagram.sequence, static_cast<uint64_t>(number));
}

// Told only when the capture file missed datagrams.
std::string not_written_text(const StatsMeter::Counts& c) {
    return c.not_written ? printf_text(" not written %" PRIu64, c.not_written) : std::string();
}

std::string serial_text(uint64_t serial) { return printf_text("0x%08" PRIx64, serial); }

}  // namespace

std::string TextFormatter::event_text(const EventInfo& e) {
    std::string line = printf_text("event index %" PRIu64 " %s status 0x%04x", e.index,
                                   TimeText::date_time(static_cast<int64_t>(e.timestamp_us)).c_str(), e.status);
    if (e.rx_errors) line += " rx_error " + bit_list(e.rx_errors, 0);
    if (e.flags) line += " flags " + bit_list(e.flags, 4);
    line += printf_text(" fcs_mode %u period %u", e.fcs_mode, e.period_code);
    if (e.control)
        line += printf_text(" ctrl 0x%02x %s", *e.control, linkscope::ControlByte::name(*e.control));
    else
        line += " ctrl none";
    if (e.identifier) line += printf_text(" id 0x%04x", *e.identifier);
    if (e.response_to) line += printf_text(" for id 0x%04x", *e.response_to);
    line += printf_text(" frame %zu data %zu fcs ", e.frame_length, e.data_length);
    switch (e.fcs) {
        case FcsResult::ok: line += "ok"; break;
        case FcsResult::bad:
            line += printf_text("BAD (carried 0x%04x, computed 0x%04x)", e.fcs_carried, e.fcs_computed);
            break;
        case FcsResult::short_frame: line += "none (frame too short)"; break;
        case FcsResult::no_mode: line += printf_text("unchecked (fcs_mode %u defines none)", e.fcs_mode); break;
    }
    return line;
}

std::string TextFormatter::lifesign_text(const LifesignRecord& l) {
    std::string line = printf_text("lifesign %u %s sn 0x%08x", l.counter, TimeText::date_time(l.created_us).c_str(), l.sn);
    line += " | host cpu " + percent(l.cpu_load) + " temp " + celsius(l.cpu_temperature);
    line += printf_text(" storage %u/%u/%u KiB (total/used/avail) ", l.storage_total, l.storage_used,
                        l.storage_available) +
            percent(l.storage_used_pct);
    line += printf_text(" ram %u/%u/%u KiB ", l.ram_total, l.ram_used, l.ram_available) + percent(l.ram_used_pct);
    line += printf_text(" buffer %u/%u/%u kB (total/used/free) ", l.buf_total, l.buf_used, l.buf_free) +
            percent(l.buf_used_pct);

    line += printf_text(" | net active %u act %s inact %s start %s stop %s act_dur %s inact_dur %s loss %u",
                        l.net_is_active, TimeText::duration(l.net_total_act_duration_us).c_str(),
                        TimeText::duration(l.net_total_inact_duration_us).c_str(),
                        TimeText::date_time(l.net_last_start_date_us).c_str(),
                        TimeText::date_time(l.net_last_stop_date_us).c_str(),
                        TimeText::duration(l.net_act_duration_us).c_str(),
                        TimeText::duration(l.net_inact_duration_us).c_str(), l.net_act_loss_cnt);
    line += printf_text(" rcvd %u (%u/s, %u B/s) sent %u (%u/s, %u B/s)", l.net_pkt_rcvd_cnt,
                        l.net_pkt_rcvd_cnt_per_sec, l.net_bytes_rcvd_cnt_per_sec, l.net_pkt_sent_cnt,
                        l.net_pkt_sent_cnt_per_sec, l.net_bytes_sent_cnt_per_sec);

    line += printf_text(" | card active %u act %s inact %s start %s stop %s last_act %s last_inact %s loss %u",
                        l.card_is_active, TimeText::duration(l.card_total_act_duration_us).c_str(),
                        TimeText::duration(l.card_total_inact_duration_us).c_str(),
                        TimeText::date_time(l.card_last_start_date_us).c_str(),
                        TimeText::date_time(l.card_last_stop_date_us).c_str(),
                        TimeText::duration(l.card_last_act_duration_us).c_str(),
                        TimeText::duration(l.card_last_inact_duration_us).c_str(), l.card_act_loss_cnt);
    line += printf_text(" frames %u (%u/s, %u B/s) fcs_mode %u aux 0x%02x", l.card_frame_rcvd_cnt,
                        l.card_frame_rcvd_cnt_per_sec, l.card_bytes_rcvd_cnt_per_sec, l.card_fcs_mode, l.card_aux);
    line += printf_text(" b0 %" PRIu64 " b12 %" PRIu64 " b3 %" PRIu64 " unknown_ctrl %" PRIu64 " fcs_err %" PRIu64,
                        l.status_b0_cnt, l.status_b12_cnt, l.status_b3_cnt, l.unknown_ctrl_cnt, l.fcs_err_cnt);
    line += printf_text(" pdu_err %" PRIu64 " length_err %" PRIu64 " b6 %" PRIu64 " b5 %" PRIu64 " b4 %" PRIu64,
                        l.pdu_type_err_cnt, l.length_err_cnt, l.status_b6_cnt, l.status_b5_cnt, l.status_b4_cnt);
    return line;
}

std::string TextFormatter::loss_record_text(const LossRecord& l) {
    return printf_text("loss record %u %s card lost %" PRIu64 " frames, queue refused %" PRIu64
                       " records, send failed %" PRIu64 " datagrams (%" PRIu64 " records)",
                       l.counter, TimeText::date_time(l.created_us).c_str(), l.card_lost_frames, l.queue_refused,
                       l.send_failed_datagrams, l.send_failed_records);
}

std::string TextFormatter::stages_text(const Source& source) {
    std::string text;
    LossStages::of(source.counts()).for_each([&text](const char* stage, uint64_t lost) {
        text += printf_text("%s%s %" PRIu64, text.empty() ? "" : " ", stage, lost);
    });
    return text;
}

std::string TextFormatter::record(const Arrival& arrival, const DecodedDatagram& datagram, std::size_t number) const {
    const DecodedRecord& r = datagram.records.at(number);
    const std::string start = prefix(arrival, datagram, number);
    switch (r.kind) {
        case RecordKind::event: return start + event_text(r.event) + bytes_text(datagram, r) + "\n";
        case RecordKind::lifesign: return start + lifesign_text(*r.lifesign) + "\n";
        case RecordKind::loss: return start + loss_record_text(*r.loss) + "\n";
        case RecordKind::unknown: break;
    }
    return start + printf_text("record of unknown type 0x%02x, %zu bytes\n", r.type, r.length);
}

std::string TextFormatter::bytes_text(const DecodedDatagram& datagram, const DecodedRecord& r) const {
    const uint8_t* frame = datagram.frame(r);
    if (verbose_) return r.event.frame_length ? " frame: " + hex_bytes(frame, r.event.frame_length) : "";
    return r.event.data_length ? " data: " + hex_bytes(frame + 1, r.event.data_length) : "";
}

std::string TextFormatter::notice(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& n) const {
    return "!! " + source_label(arrival) + ": " + notice_text(arrival, datagram, n);
}

std::string TextFormatter::notice_text(const Arrival& arrival, const DecodedDatagram& datagram, const Notice& n) {
    switch (n.kind) {
        case Notice::Kind::new_source: return "new sender\n";
        case Notice::Kind::card_serial:
            return "card sn " + serial_text(n.to) + (n.had_from ? " (was " + serial_text(n.from) + ")" : "") + "\n";
        case Notice::Kind::sequence_gap:
            return printf_text("sequence gap: %" PRIu64 " -> %" PRIu64 ", %" PRIu64 " datagram(s) lost\n", n.from,
                               n.to, n.lost);
        case Notice::Kind::restart:
            if (n.port)
                return printf_text("gateway restart: now from port %u, sequence %" PRIu64 " after %" PRIu64 "\n",
                                   static_cast<unsigned>(n.port), n.to, n.from);
            return printf_text("gateway restart: sequence back to 1 after %" PRIu64 "\n", n.from);
        case Notice::Kind::sequence_jump:
            return printf_text("sequence jump: %" PRIu64 " -> %" PRIu64
                               " (further than any loss: a new run, or a forged number)\n",
                               n.from, n.to);
        case Notice::Kind::sequence_back:
            return printf_text("sequence back: %" PRIu64 " -> %" PRIu64
                               " (a restart whose first datagrams were lost, or reordering)\n",
                               n.from, n.to);
        case Notice::Kind::index_gap:
            return printf_text("event index gap in datagram %" PRIu64 ": %" PRIu64 " -> %" PRIu64 ", %" PRIu64
                               " frame(s) lost\n",
                               n.sequence, n.from, n.to, n.lost);
        case Notice::Kind::index_back:
            return printf_text("event index %s in datagram %" PRIu64 ": %" PRIu64 " -> %" PRIu64 " (card reset)\n",
                               n.to > n.from ? "jump" : "back", n.sequence, n.from, n.to);
        case Notice::Kind::card_loss:
            return printf_text("card lost %" PRIu64 " frame(s) (gateway's count %" PRIu64 " -> %" PRIu64 ")\n",
                               n.lost, n.from, n.to);
        case Notice::Kind::queue_refused:
            return printf_text("gateway queue refused %" PRIu64 " record(s) (its count %" PRIu64 " -> %" PRIu64 ")\n",
                               n.lost, n.from, n.to);
        case Notice::Kind::send_failed:
            return printf_text("gateway send failed: %" PRIu64 " datagram(s) with %" PRIu64 " record(s) lost\n",
                               n.datagrams, n.lost);
        case Notice::Kind::receiver_drop:
            return printf_text("this host dropped %" PRIu64 " datagram(s): receive buffer full\n", n.lost);
        case Notice::Kind::malformed: break;
    }
    const std::string sequence =
        datagram.header_valid ? printf_text("sequence %" PRIu64 ", ", datagram.sequence) : std::string();
    return printf_text("malformed datagram (%s%zu bytes from %s), skipped: %s\n", sequence.c_str(), datagram.size,
                       arrival.source.c_str(), n.text.c_str());
}

std::string TextFormatter::stats(const StatsMeter::Interval& i) const {
    const StatsMeter::Counts& c = i.counts;
    return printf_text("%s datagrams/s %.0f records/s %.0f events/s %.0f lifesigns/s %.1f bytes/s %.0f gaps %" PRIu64
                       " (datagrams lost %" PRIu64 ", frames lost %" PRIu64 ") malformed %" PRIu64
                       " fcs_bad %" PRIu64 "%s\n",
                       TimeText::clock(i.end_us).c_str(), i.rate(c.datagrams), i.rate(c.records), i.rate(c.events),
                       i.rate(c.lifesigns), i.rate(c.bytes), c.gaps(), c.datagrams_lost, c.frames_lost, c.malformed,
                       c.fcs_bad, not_written_text(c).c_str());
}

std::string TextFormatter::source_losses(const Source& source, int64_t time_us) const {
    return TimeText::clock(time_us) + " " + source_label(source) + " losses: " + stages_text(source) + "\n";
}

std::string TextFormatter::source_totals(const Source& source) const {
    const StatsMeter::Counts& c = source.counts();
    Arrival named;
    named.source = source.address();
    named.source_number = source.number();
    named.serial = source.serial();
    return printf_text("totals from %s: %" PRIu64 " datagrams, %" PRIu64 " events, %" PRIu64 " lifesigns, %" PRIu64
                       " unknown, %" PRIu64 " malformed, %" PRIu64 " sequence gaps (%" PRIu64
                       " datagrams lost), %" PRIu64 " index gaps (%" PRIu64 " frames lost), %" PRIu64
                       " restarts, %" PRIu64 " index resets, %" PRIu64 " bad frame checks; losses: %s\n",
                       source_label(named).c_str(), c.datagrams, c.events, c.lifesigns, c.unknown_records,
                       c.malformed, c.sequence_gaps, c.datagrams_lost, c.index_gaps, c.frames_lost, c.restarts,
                       c.index_resets, c.fcs_bad, stages_text(source).c_str());
}

std::string TextFormatter::totals(const StatsMeter::Interval& t) const {
    const StatsMeter::Counts& c = t.counts;
    const std::string loss_records =
        c.loss_records ? printf_text(", %" PRIu64 " loss records", c.loss_records) : std::string();
    return printf_text("totals: %.1f s, %" PRIu64 " datagrams (%" PRIu64 " bytes), %" PRIu64 " records: %" PRIu64
                       " events, %" PRIu64 " lifesigns%s, %" PRIu64 " unknown\n",
                       t.seconds(), c.datagrams, c.bytes, c.records, c.events, c.lifesigns, loss_records.c_str(),
                       c.unknown_records) +
           printf_text("totals: %" PRIu64 " malformed, %" PRIu64 " sequence gaps (%" PRIu64
                       " datagrams lost), %" PRIu64 " index gaps (%" PRIu64 " frames lost), %" PRIu64
                       " restarts, %" PRIu64 " index resets, %" PRIu64 " bad frame checks\n",
                       c.malformed, c.sequence_gaps, c.datagrams_lost, c.index_gaps, c.frames_lost, c.restarts,
                       c.index_resets, c.fcs_bad) +
           (c.not_written ? "totals:" + not_written_text(c) + " datagrams to the capture file\n" : std::string());
}

std::string TextFormatter::mqtt_totals(const std::string& broker, const MqttClient::Counts& c) const {
    return printf_text("totals to MQTT broker %s: %" PRIu64 " messages published, %" PRIu64
                       " dropped (queue full while the broker was away, or unacknowledged at exit), %" PRIu64
                       " connections\n",
                       broker.c_str(), c.published, c.dropped, c.connections);
}

}  // namespace busdump
