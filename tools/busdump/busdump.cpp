#include "tools/busdump/busdump.h"

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <csignal>
#include <fstream>

#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/textformatter.h"

namespace busdump {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

// Larger than any UDP payload over IPv4, so that no datagram is ever cut.
constexpr std::size_t RECEIVE_BUFFER_SIZE = 65536;
// A generous socket buffer rides out bursts while the terminal is slow to print.
constexpr int SOCKET_BUFFER_BYTES = 8 * 1024 * 1024;
constexpr auto STATS_PERIOD = std::chrono::seconds(1);
// How often the metrics are rendered for the endpoint: Prometheus scrapes every 15 s or so.
constexpr auto METRICS_PERIOD = std::chrono::seconds(1);
// How often a FIFO given to -w is tried again while nothing reads it.
constexpr auto READER_RETRY_PERIOD = std::chrono::milliseconds(100);

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
      signals_(io_),
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
    if (!capture_.open(options_.write_path)) {
        err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error() << "\n";
        return false;
    }
    if (capture_.state() == CaptureOutput::State::waiting_for_reader)
        err_ << "busdump: nothing reads the FIFO " << options_.write_path
             << " yet: datagrams are written to it once a reader opens it, until then they are counted as not "
                "written\n";
    return true;
}

void BusDump::request_receive_buffer() {
    boost::system::error_code ec;
    socket_.set_option(asio::socket_base::receive_buffer_size(SOCKET_BUFFER_BYTES), ec);
    asio::socket_base::receive_buffer_size granted;
    if (!ec) socket_.get_option(granted, ec);
    // A smaller buffer than asked for makes busdump's own drops likelier: they show as gaps of
    // the sender, so say so before anyone blames the gateway.
    if (ec || granted.value() < SOCKET_BUFFER_BYTES)
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

std::string BusDump::source_text(const udp::endpoint& endpoint) const {
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

void BusDump::handle(const uint8_t* data, std::size_t size, const Arrival& arrival,
                     const PcapWriter::Endpoint& source) {
    ++handled_;
    write_capture(data, size, arrival, source);
    DecodedDatagram& datagram = decoded_;
    DatagramDecoder::decode_into(data, size, datagram);
    std::vector<Notice> notices;
    const Source& sender = sources_.observe(asio::ip::address_v4(source.address).to_string(), source.port, datagram,
                                            arrival.time_us, notices);
    meter_.count(datagram, notices);
    meter_.arrived(arrival.time_us);

    Arrival named = arrival;
    named.source_number = sender.number();
    named.serial = sender.serial();
    std::string text;
    for (const Notice& notice : notices) text += formatter_->notice(named, datagram, notice);
    if (analysis_) text += analysis_->add(sender, datagram);
    if (metrics_) metrics_->observe(sender, datagram);
    if (!options_.stats && !options_.analyze)
        for (std::size_t i = 0; i < datagram.records.size(); ++i)
            if (filter_.shows(datagram.records[i])) text += formatter_->record(named, datagram, i);
    out_ << text;
    out_.flush();
}

void BusDump::write_capture(const uint8_t* data, std::size_t size, const Arrival& arrival,
                            const PcapWriter::Endpoint& source) {
    if (capture_.state() == CaptureOutput::State::none) return;
    const CaptureOutput::Written written = capture_.write(arrival.time_us, source, destination_, data, size);
    if (written == CaptureOutput::Written::yes) return;
    meter_.not_written();
    // Told once; the live output goes on, and the file stays whole up to the failure.
    if (written == CaptureOutput::Written::failed_now)
        err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error()
             << "; from now on datagrams are not written to it (counted as not written)\n";
}

void BusDump::wait_for_capture_reader() {
    if (capture_.state() != CaptureOutput::State::waiting_for_reader) return;
    capture_timer_.expires_after(READER_RETRY_PERIOD);
    capture_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        if (capture_.retry()) {
            err_ << "busdump: a reader opened the FIFO " << options_.write_path << ": datagrams are written to it\n";
            return;
        }
        if (capture_.state() == CaptureOutput::State::failed)
            err_ << "busdump: cannot write to " << options_.write_path << ": " << capture_.error() << "\n";
        wait_for_capture_reader();
    });
}

void BusDump::receive_next() {
    socket_.async_receive_from(asio::buffer(buffer_), sender_, [this](const boost::system::error_code& ec,
                                                                      std::size_t size) {
        if (finished_ || ec == asio::error::operation_aborted) return;
        if (ec) {
            err_ << "busdump: receive failed: " << ec.message() << "\n";
        } else {
            Arrival arrival;
            arrival.time_us = now_us();
            arrival.source = source_text(sender_);
            PcapWriter::Endpoint source;
            if (sender_.address().is_v4()) source.address = sender_.address().to_v4().to_uint();
            source.port = sender_.port();
            handle(buffer_.data(), size, arrival, source);
            if (options_.count && handled_ >= options_.count) {
                finish();
                return;
            }
        }
        receive_next();
    });
}

void BusDump::schedule_stats() {
    stats_timer_.expires_after(STATS_PERIOD);
    stats_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        out_ << formatter_->stats(meter_.take_interval(now_us()));
        out_.flush();
        schedule_stats();
    });
}

void BusDump::schedule_analysis() {
    analysis_timer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options_.interval)));
    analysis_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        out_ << analysis_->report(sources_, now_us(), false);
        out_.flush();
        schedule_analysis();
    });
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
    publish_metrics();
    return true;
}

void BusDump::publish_metrics() { metrics_->publish(sources_, analysis_.get(), now_us()); }

void BusDump::schedule_metrics() {
    metrics_timer_.expires_after(METRICS_PERIOD);
    metrics_timer_.async_wait([this](const boost::system::error_code& ec) {
        if (ec || finished_) return;
        publish_metrics();
        schedule_metrics();
    });
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
    signals_.cancel(ignored);
}

void BusDump::stop() {
    asio::post(io_, [this] { finish(); });
}

int BusDump::run(bool handle_signals) {
    if (handle_signals) {
        signals_.add(SIGINT);
        signals_.add(SIGTERM);
        signals_.async_wait([this](const boost::system::error_code& ec, int) {
            if (!ec) finish();
        });
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
    if (options_.analyze) schedule_analysis();
    if (metrics_server_) schedule_metrics();
    receive_next();
    io_.run();
    if (metrics_server_) metrics_server_->stop();

    int status = 0;
    if (options_.analyze) {
        out_ << analysis_->report(sources_, now_us(), true);
        if (!options_.save_baseline_path.empty() && !save_baseline()) status = 1;
    }
    // The last, partial interval would give skewed rates; its counts are in the totals.
    for (const auto& source : sources_.sources()) out_ << formatter_->source_totals(*source);
    const StatsMeter::Interval totals = meter_.totals(now_us());
    out_ << formatter_->totals(totals);
    out_.flush();
    if (status == 0 && totals.counts.not_written) status = NOT_WRITTEN_STATUS;
    return status;
}

}  // namespace busdump
