#include "tools/busdump/busdump.h"

#include <boost/asio/ip/host_name.hpp>
#include <algorithm>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <csignal>
#include <fstream>

#include "platform/signals.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/textformatter.h"
#include "platform/datagramreceive.h"

namespace busdump {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

// Larger than any UDP payload over IPv4, so that no datagram is ever cut.
constexpr std::size_t RECEIVE_BUFFER_SIZE = 65536;
// Datagrams taken from the socket in one turn before timers and signals are looked at.
constexpr int DATAGRAMS_PER_TURN = 256;
// A generous socket buffer rides out bursts while the terminal is slow to print.
constexpr int SOCKET_BUFFER_BYTES = 8 * 1024 * 1024;
constexpr auto STATS_PERIOD = std::chrono::seconds(1);
// How often the metrics are rendered for the endpoint: Prometheus scrapes every 15 s or so.
constexpr auto METRICS_PERIOD = std::chrono::seconds(1);
// How long the metrics are gathered in one turn of the event loop before the socket's turn.
constexpr auto METRICS_TURN_BUDGET = std::chrono::microseconds(500);
// How often a FIFO given to -w is tried again while nothing reads it.
constexpr auto READER_RETRY_PERIOD = std::chrono::milliseconds(100);
// How often the MQTT side looks for silent senders, summaries due and lines of the client.
constexpr auto MQTT_TICK = std::chrono::milliseconds(100);
// At exit, how long the messages still waiting may take to reach a broker that is there.
constexpr auto MQTT_CLOSE_GRACE = std::chrono::milliseconds(2000);
// How often the ring looks at the clock (period ends, retries) and the keeper for requests.
constexpr auto RING_TICK = std::chrono::milliseconds(200);
constexpr double US_PER_SECOND = 1e6;

std::unique_ptr<Formatter> make_formatter(const Options& options) {
    if (options.json) return std::make_unique<JsonFormatter>(options.verbose);
    return std::make_unique<TextFormatter>(options.verbose);
}

}  // namespace

BusDump::BusDump(const Options& options, std::ostream& out, std::ostream& err)
    : options_(options),
      out_(out),
      err_(err),
      formatter_(make_formatter(options)),
      filter_(options),
      meter_(now_us()),
      socket_(io_),
      stats_timer_(io_),
      // The metrics carry each station's frames and errors: the analysis runs for them too.
      analysis_(options.analyze || options.metrics_port ? std::make_unique<AnalysisBoard>(options) : nullptr),
      analysis_timer_(io_),
      metrics_timer_(io_),
      deadline_(io_),
      capture_timer_(io_),
      ring_timer_(io_),
      signals_(io_),
      mqtt_timer_(io_),
      buffer_(RECEIVE_BUFFER_SIZE) {}

int64_t BusDump::now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool BusDump::open() {
    boost::system::error_code ec;
    const asio::ip::address_v4 bind_address = asio::ip::make_address_v4(options_.bind, ec);
    if (ec) {
        err_ << "busdump: invalid bind address " << options_.bind << "\n";
        return false;
    }
    socket_.open(udp::v4(), ec);
    // Several receivers may share the port: each gets every broadcast and multicast datagram
    // (a unicast one reaches only one of them, the system's choice).
    if (!ec) socket_.set_option(asio::socket_base::reuse_address(true), ec);
    // A multicast receiver binds the group itself: bound to a unicast address the kernel would
    // drop the group's datagrams; --bind then names the interface that joins.
    asio::ip::address_v4 listen_address = bind_address;
    if (!ec && !options_.group.empty()) listen_address = asio::ip::make_address_v4(options_.group, ec);
    if (!ec) socket_.bind(udp::endpoint(listen_address, options_.port), ec);
    if (ec) {
        err_ << "busdump: cannot listen on " << options_.bind << ":" << options_.port << ": " << ec.message() << "\n";
        return false;
    }
    request_receive_buffer();
    socket_.non_blocking(true, ec);
    if (ec) {
        err_ << "busdump: cannot make the socket non-blocking: " << ec.message() << "\n";
        return false;
    }
    if (!platform::enable_drop_count(static_cast<std::uintptr_t>(socket_.native_handle())))
        err_ << "busdump: note: this system does not tell the datagrams its socket drops: the receiver's losses "
                "are not available and show as network losses\n";
    if (!open_mqtt()) return false;
    if (options_.metrics_port && !start_metrics()) return false;

    destination_.address = bind_address.to_uint();
    destination_.port = local_port();
    if (!options_.group.empty()) {
        const asio::ip::address_v4 group = asio::ip::make_address_v4(options_.group, ec);
        if (!ec) socket_.set_option(asio::ip::multicast::join_group(group, bind_address), ec);
        if (ec) {
            err_ << "busdump: cannot join multicast group " << options_.group << ": " << ec.message() << "\n";
            return false;
        }
        destination_.address = group.to_uint();
    }
    if (options_.write_path.empty()) return true;
    const CaptureOutput::Format format = options_.write_format.empty() ? CaptureOutput::format_for(options_.write_path)
                                         : options_.write_format == "pcapng" ? CaptureOutput::Format::pcapng
                                                                             : CaptureOutput::Format::pcap;
    if (options_.ring()) return open_ring(format);
    // A stop signal ends a live capture at once, even while Wireshark no longer reads.
    if (options_.live_capture) capture_.end_wait_when(&stop_signalled_);
    if (!capture_.open(options_.write_path, format)) {
        err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error() << "\n";
        return false;
    }
    if (capture_.state() == CaptureOutput::State::waiting_for_reader && !options_.live_capture)
        err_ << "busdump: nothing reads the FIFO " << options_.write_path
             << " yet: datagrams are written to it once a reader opens it, until then they are counted as not "
                "written\n";
    return true;
}

bool BusDump::open_ring(CaptureOutput::Format format) {
    RingSettings settings;
    settings.format = format;
    settings.file_bytes = options_.file_bytes;
    settings.file_us = static_cast<int64_t>(options_.file_seconds) * static_cast<int64_t>(US_PER_SECOND);
    settings.max_files = options_.max_files;
    settings.budget_bytes = options_.budget_bytes;
    auto to_err = [this](const std::string& line) { tell(line); };
    ring_ = std::make_unique<CaptureRing>(options_.write_path, settings, to_err);
    if (!options_.keep_dir.empty()) {
        KeepSettings keep;
        keep.folder = options_.keep_dir;
        keep.before_us = static_cast<int64_t>(options_.keep_before * US_PER_SECOND);
        keep.after_us = static_cast<int64_t>(options_.keep_after * US_PER_SECOND);
        keeper_ = std::make_unique<CaptureKeeper>(keep, to_err);
        if (!keeper_->start(RingNames(options_.write_path).folder())) {
            err_ << "busdump: " << keeper_->error() << "\n";
            return false;
        }
        ring_->on_closed([this](const RingFile& file) { keeper_->file_closed(file); });
        if (analysis_)
            analysis_->on_alert([this](const Source& sender, const Alert& a, const std::string&) {
                if (!a.raised) return;
                const std::string label =
                    Formatter::source_label(Arrival(0, sender.address(), sender.number(), sender.serial()));
                this->keep(now_us(), "alert", label, a.kind + " " + a.subject + ": expected " + a.expected + ", seen " + a.seen);
            });
    }
    if (!ring_->start(now_us())) {
        err_ << "busdump: cannot write the ring " << options_.write_path << ": " << ring_->error() << "\n";
        return false;
    }
    return true;
}

void BusDump::tell(const std::string& line) {
    err_ << line << "\n";
    err_.flush();
}

void BusDump::schedule_ring() {
    ring_timer_.expires_after(RING_TICK);
    ring_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        const int64_t now = now_us();
        ring_->tick(now);
        meter_.not_written(ring_->take_unwritten_held());
        std::string note;
        if (keeper_ && keeper_->take_request(note)) keep(now, "request", "all", note);
        schedule_ring();
    });
}

void BusDump::keep(int64_t now, const std::string& why, const std::string& sender, const std::string& what) {
    keeper_->request(now, why, sender, what, ring_->files());
}

void BusDump::wait_for_signal() {
    signals_.async_wait([this](const boost::system::error_code& ec, int number) {
        if (ec) return;
        if (keeper_ && number == platform::keep_request_signal()) {
            keep(now_us(), "signal", "all", "SIGUSR1");
            wait_for_signal();
            return;
        }
        finish();
    });
}

void BusDump::request_receive_buffer() {
    boost::system::error_code ec;
    socket_.set_option(asio::socket_base::receive_buffer_size(SOCKET_BUFFER_BYTES), ec);
    asio::socket_base::receive_buffer_size granted;
    if (!ec) socket_.get_option(granted, ec);
    // A smaller buffer than asked for makes busdump's own drops likelier: they show as gaps of
    // the sender, so say so before anyone blames the gateway.
    // Under Wireshark anything on the error stream reads as an error: the note is left out.
    if ((ec || granted.value() < SOCKET_BUFFER_BYTES) && !options_.live_capture)
        err_ << "busdump: note: the system granted a receive buffer of " << (ec ? 0 : granted.value())
             << " bytes (asked for " << SOCKET_BUFFER_BYTES
             << "); under bursts this host may drop datagrams, reported as gaps (on Linux raise "
                "net.core.rmem_max)\n";
}

uint16_t BusDump::local_port() const {
    boost::system::error_code ec;
    const udp::endpoint local = socket_.local_endpoint(ec);
    return ec ? 0 : local.port();
}

void BusDump::handle(const uint8_t* data, std::size_t size, const Arrival& arrival,
                     const PcapWriter::Endpoint& source) {
    ++handled_;
    DecodedDatagram& datagram = decoded_;
    DatagramDecoder::decode_into(data, size, datagram);
    std::vector<Notice> notices;
    if (arrival.socket_drops) drops_.observe(*arrival.socket_drops);
    Source& sender = sources_.observe(asio::ip::address_v4(source.address).to_string(), source.port, datagram,
                                      arrival.time_us, notices);
    charge_receiver_drops(sender, datagram, notices);
    write_capture(data, size, arrival, source, capture_note(sender, datagram, notices));
    meter_.count(datagram, notices);
    meter_.arrived(arrival.time_us);
    if (reporter_) reporter_->heard(sender, arrival.time_us);

    Arrival named = arrival;
    named.source_number = sender.number();
    named.serial = sender.serial();
    std::string text;
    for (const Notice& notice : notices) text += formatter_->notice(named, datagram, notice);
    if (analysis_) {
        const bool restart = std::any_of(notices.begin(), notices.end(),
                                         [](const Notice& notice) { return notice.kind == Notice::Kind::restart; });
        text += analysis_->add(sender, datagram, restart);
    }
    if (!options_.stats && !options_.quiet && !options_.analyze)
        for (std::size_t i = 0; i < datagram.records.size(); ++i)
            if (filter_.shows(datagram.records[i])) text += formatter_->record(named, datagram, i);
    out_ << text;
    out_.flush();
}

CaptureOutput::Note BusDump::capture_note(const Source& sender, const DecodedDatagram& datagram,
                                          const std::vector<Notice>& notices) const {
    CaptureOutput::Note note;
    if (!ring_ && capture_.state() == CaptureOutput::State::none) return note;
    note.serial = sender.serial();
    for (const DecodedRecord& record : datagram.records)
        if (record.kind == RecordKind::event) {
            note.card_time_us = record.event.timestamp_us;
            break;
        }
    note.comment = PcapngInterfaces::comment_for(notices);
    return note;
}

void BusDump::write_capture(const uint8_t* data, std::size_t size, const Arrival& arrival,
                            const PcapWriter::Endpoint& source, const CaptureOutput::Note& note) {
    if (ring_) {
        // The ring tells its failures and recoveries itself.
        if (!ring_->write(arrival.time_us, source, destination_, data, size, note)) meter_.not_written();
        meter_.not_written(ring_->take_unwritten_held());
        return;
    }
    if (capture_.state() == CaptureOutput::State::none) return;
    const CaptureOutput::Written written = capture_.write(arrival.time_us, source, destination_, data, size, note);
    if (written == CaptureOutput::Written::yes) return;
    if (options_.live_capture && written == CaptureOutput::Written::failed_now) {
        end_live_capture();
        return;
    }
    meter_.not_written(1 + capture_.take_unwritten_held());
    // Told once; the live output goes on, and the file stays whole up to the failure.
    if (written == CaptureOutput::Written::failed_now)
        err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error()
             << "; from now on datagrams are not written to it (counted as not written)\n";
}

void BusDump::end_live_capture() {
    // Wireshark stops with SIGTERM and by closing the pipe: this datagram came after the capture.
    if (!capture_.reader_left() && !capture_.interrupted()) {
        meter_.not_written();
        err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error()
             << "; the capture ends\n";
    }
    finish();
}

void BusDump::wait_for_capture_reader() {
    if (capture_.state() != CaptureOutput::State::waiting_for_reader) return;
    capture_timer_.expires_after(READER_RETRY_PERIOD);
    capture_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        if (capture_.retry()) {
            if (options_.live_capture)
                receive_next();
            else
                err_ << "busdump: a reader opened the FIFO " << options_.write_path
                     << ": datagrams are written to it\n";
            return;
        }
        if (capture_.state() == CaptureOutput::State::failed) {
            err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error() << "\n";
            if (options_.live_capture) finish();
            return;
        }
        wait_for_capture_reader();
    });
}

bool BusDump::open_mqtt() {
    const MqttSettings& settings = options_.mqtt;
    if (!settings.enabled()) return true;
    boost::system::error_code ec;
    const std::string host = asio::ip::host_name(ec);
    mqtt_ = std::make_unique<MqttClient>(settings, MqttReporter::receiver_topic(settings.topic, ec ? "" : host));
    std::string error;
    if (!mqtt_->start(error)) {
        err_ << "busdump: " << error << "\n";
        mqtt_.reset();
        return false;
    }
    MqttClient* client = mqtt_.get();
    reporter_ = std::make_unique<MqttReporter>(
        settings.topic,
        [client](const std::string& topic, const std::string& payload, bool retain, bool soon_stale) {
            client->publish(topic, payload, retain, soon_stale);
        });
    if (analysis_) {
        MqttReporter* reporter = reporter_.get();
        analysis_->on_alert(
            [reporter](const Source& sender, const Alert&, const std::string& json) { reporter->alert(sender, json); });
    }
    return true;
}

void BusDump::tell_mqtt_reports() {
    for (const std::string& line : mqtt_->take_reports()) err_ << line << "\n";
    err_.flush();
}

void BusDump::schedule_mqtt() {
    mqtt_timer_.expires_after(MQTT_TICK);
    mqtt_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        tell_mqtt_reports();
        const uint64_t connections = mqtt_->counts().connections;
        // A broker that came back may have lost the retained states.
        if (connections > mqtt_connections_ && mqtt_connections_ > 0) reporter_->restate();
        mqtt_connections_ = connections;
        const int64_t now = now_us();
        reporter_->check_silence(sources_, now);
        if (now >= next_summary_us_) {
            reporter_->summaries(sources_, now);
            next_summary_us_ = now + static_cast<int64_t>(options_.interval * 1e6);
        }
        schedule_mqtt();
    });
}

void BusDump::close_mqtt() {
    if (!mqtt_) return;
    reporter_->close();
    mqtt_->close(MQTT_CLOSE_GRACE);
    tell_mqtt_reports();
}

void BusDump::charge_receiver_drops(Source& sender, const DecodedDatagram& datagram, std::vector<Notice>& notices) {
    if (!drops_.known() || drops_.uncharged() == 0) return;
    uint64_t charged = 0;
    for (const Notice& notice : notices)
        if (notice.kind == Notice::Kind::sequence_gap) charged += drops_.charge(notice.lost);
    if (charged) notices.push_back(sender.charge_receiver_drops(charged, datagram.sequence));
}

void BusDump::receive_next() {
    socket_.async_wait(udp::socket::wait_read, [this](const boost::system::error_code& ec) {
        if (finished_ || ec == asio::error::operation_aborted) return;
        if (ec) err_ << "busdump: receive failed: " << ec.message() << "\n";
        if (!ec && !receive_waiting()) return;
        receive_next();
    });
}

bool BusDump::receive_waiting() {
    const std::uintptr_t socket = static_cast<std::uintptr_t>(socket_.native_handle());
    for (int taken = 0; taken < DATAGRAMS_PER_TURN; ++taken) {
        platform::ReceivedDatagram received;
        std::string error;
        switch (platform::receive_datagram(socket, buffer_.data(), buffer_.size(), received, error)) {
            case platform::ReceiveResult::nothing_waiting: return true;
            case platform::ReceiveResult::failed: err_ << "busdump: receive failed: " << error << "\n"; return true;
            case platform::ReceiveResult::datagram: break;
        }
        Arrival arrival;
        arrival.time_us = now_us();
        arrival.source = asio::ip::address_v4(received.address).to_string() + ":" + std::to_string(received.port);
        if (received.drops_known) arrival.socket_drops = received.drops;
        const PcapWriter::Endpoint source{received.address, received.port};
        handle(buffer_.data(), received.size, arrival, source);
        if (finished_ || (options_.count && handled_ >= options_.count)) {
            finish();
            return false;
        }
    }
    return true;
}

void BusDump::schedule_stats() {
    stats_timer_.expires_after(STATS_PERIOD);
    stats_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        const StatsMeter::Interval interval = meter_.take_interval(now_us());
        out_ << formatter_->stats(interval);
        print_source_losses(interval.start_us, interval.end_us);
        out_.flush();
        schedule_stats();
    });
}

void BusDump::print_source_losses(int64_t since_us, int64_t now_us) {
    for (const Source* source : sources_.sources())
        if (source->tracked() && source->last_arrival_us() >= since_us) out_ << formatter_->source_losses(*source, now_us);
}

void BusDump::schedule_analysis() {
    analysis_timer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options_.interval)));
    analysis_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        out_ << analysis_->report_start(sources_, false);
        std::vector<unsigned> senders;
        for (const auto& source : sources_.sources()) senders.push_back(source->number());
        report_senders(std::move(senders), 0);
        schedule_analysis();
    });
}

void BusDump::report_senders(std::vector<unsigned> senders, std::size_t next) {
    // One sender a turn: datagrams that came meanwhile are taken between two, so that a report
    // of hundreds of senders never holds the socket long enough to overflow its buffer.
    const int64_t now = now_us();
    for (; next < senders.size(); ++next) {
        const Source* sender = sources_.source(senders[next]);
        if (!sender) continue;  // merged into another or dropped meanwhile
        const std::string part = analysis_->report_sender(*sender, now, false);
        if (part.empty()) continue;
        out_ << part;
        out_.flush();
        asio::post(io_, [this, senders = std::move(senders), next]() mutable {
            if (!finished_) report_senders(std::move(senders), next + 1);
        });
        return;
    }
}

bool BusDump::start_metrics() {
    auto snapshot = std::make_shared<MetricsSnapshot>();
    metrics_ = std::make_unique<MetricsBoard>(snapshot);
    metrics_server_ = std::make_unique<MetricsServer>(snapshot);
    std::string why;
    if (!metrics_server_->start(options_.metrics_address, options_.metrics_port, why)) {
        err_ << "busdump: cannot serve metrics on " << options_.metrics_address << ":" << options_.metrics_port
             << ": " << why << "\n";
        metrics_server_.reset();
        return false;
    }
    metrics_->publish(sources_, analysis_.get(), now_us());
    return true;
}

void BusDump::schedule_metrics() {
    metrics_timer_.expires_after(METRICS_PERIOD);
    metrics_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        // A rendering still under way (a busy socket leaves it few turns) goes on; the next
        // starts at the first tick after it.
        if (!metrics_->rendering()) {
            metrics_->begin(sources_);
            render_metrics();
        }
        schedule_metrics();
    });
}

void BusDump::render_metrics() {
    // A few senders a turn: the figures of hundreds of senders gathered at once would hold the
    // socket long enough to overflow its buffer, and one a turn would take hundreds of turns,
    // seconds when every turn takes its full count of datagrams.
    const auto until = std::chrono::steady_clock::now() + METRICS_TURN_BUDGET;
    while (metrics_->step(sources_, analysis_.get(), now_us())) {
        if (std::chrono::steady_clock::now() < until) continue;
        asio::post(io_, [this] {
            if (!finished_) render_metrics();
        });
        return;
    }
}

bool BusDump::save_baseline() {
    const Baseline baseline = analysis_->baseline(sources_);
    std::ofstream file(options_.save_baseline_path, std::ios::binary | std::ios::trunc);
    file << baseline.to_json();
    file.close();
    if (!file) {
        err_ << "busdump: cannot write the baseline " << options_.save_baseline_path << "\n";
        return false;
    }
    if (baseline.senders.empty())
        err_ << "busdump: note: no sender named its card, the baseline " << options_.save_baseline_path
             << " holds none\n";
    return true;
}

void BusDump::finish() {
    if (finished_) return;
    finished_ = true;
    boost::system::error_code ignored;
    socket_.cancel(ignored);
    stats_timer_.cancel();
    analysis_timer_.cancel();
    metrics_timer_.cancel();
    deadline_.cancel();
    capture_timer_.cancel();
    mqtt_timer_.cancel();
    ring_timer_.cancel();
    signals_.cancel(ignored);
}

void BusDump::stop() {
    asio::post(io_, [this] { finish(); });
}

int BusDump::run(bool handle_signals) {
    if (handle_signals) {
        signals_.add(SIGINT);
        signals_.add(SIGTERM);
        if (keeper_ && platform::keep_request_signal()) signals_.add(platform::keep_request_signal());
        wait_for_signal();
        // The event loop hears the signal only between datagrams; a write blocked on Wireshark's
        // pipe must hear it at once.
        if (options_.live_capture) platform::raise_on_stop_signal(&stop_signalled_);
    }
    if (options_.seconds > 0) {
        deadline_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(options_.seconds)));
        deadline_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) finish();
        });
    }
    if (options_.stats) schedule_stats();
    wait_for_capture_reader();
    if (ring_) schedule_ring();
    if (options_.analyze) schedule_analysis();
    if (metrics_server_) schedule_metrics();
    if (mqtt_) {
        next_summary_us_ = now_us() + static_cast<int64_t>(options_.interval * 1e6);
        schedule_mqtt();
    }
    // A live capture receives once Wireshark reads: until then the socket's buffer keeps the
    // datagrams for it.
    if (!options_.live_capture || capture_.state() == CaptureOutput::State::writing) receive_next();
    io_.run();
    if (metrics_server_) metrics_server_->stop();
    if (handle_signals && options_.live_capture) platform::raise_on_stop_signal(nullptr);
    bool on_disk = capture_.close();
    // Wireshark ends a live capture by closing its end of the pipe: what came after is not lost.
    const bool ended_by_reader = options_.live_capture && capture_.reader_left();
    if (ended_by_reader) {
        on_disk = true;
        capture_.take_unwritten_held();
    }
    if (!on_disk) err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error() << "\n";
    // The file being written is closed and renamed before the totals, as on every other end.
    if (ring_) {
        ring_->close(now_us());
        on_disk = on_disk && ring_->every_file_on_disk();
    }
    if (keeper_) keeper_->finish();
    meter_.not_written(capture_.take_unwritten_held() + (ring_ ? ring_->take_unwritten_held() : 0));

    int status = 0;
    if (options_.analyze) {
        out_ << analysis_->report(sources_, now_us(), true);
        if (!options_.save_baseline_path.empty() && !save_baseline()) status = 1;
    }
    // The last, partial interval would give skewed rates; its counts are in the totals.
    for (const auto& source : sources_.sources()) out_ << formatter_->source_totals(*source);
    const StatsMeter::Interval totals = meter_.totals(now_us());
    out_ << formatter_->totals(totals);
    close_mqtt();
    if (mqtt_) out_ << formatter_->mqtt_totals(options_.mqtt.endpoint(), mqtt_->counts());
    out_.flush();
    if (status == 0 && (totals.counts.not_written || !on_disk)) status = NOT_WRITTEN_STATUS;
    return status;
}

}  // namespace busdump
