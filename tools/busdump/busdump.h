// The receiver: listens on the UDP port, decodes every datagram, follows each sender's stream,
// shows what the filters pass, and stops on the datagram count, the time limit, a signal or stop().
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/busdump/analysisboard.h"
#include "common/stream/pcapwriter.h"
#include "tools/busdump/capturekeeper.h"
#include "tools/busdump/captureoutput.h"
#include "tools/busdump/capturering.h"
#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/formatter.h"
#include "tools/busdump/mqttclient.h"
#include "tools/busdump/mqttreporter.h"
#include "tools/busdump/metricsboard.h"
#include "tools/busdump/metricsserver.h"
#include "tools/busdump/options.h"
#include "tools/busdump/statsmeter.h"
#include "tools/busdump/receivedrops.h"
#include "tools/busdump/recordfilter.h"
#include "tools/busdump/sourcetable.h"

namespace busdump {

class BusDump {
public:
    static constexpr int NOT_WRITTEN_STATUS = 3;

    BusDump(const Options& options, std::ostream& out, std::ostream& err);

    // Opens the socket (and the pcap file, and starts the MQTT client). False after a message on err.
    bool open();
    // The port actually bound, once open() succeeded.
    uint16_t local_port() const;

    // Serves until a stop condition; prints the totals. Returns the exit status: 0; 1 when the
    // baseline could not be written; else NOT_WRITTEN_STATUS when datagrams could not be written
    // to the capture file, or a capture file could not be brought to the disk whole.
    // With handle_signals, SIGINT and SIGTERM end the run the same way.
    int run(bool handle_signals);
    // From any thread: end run() soon.
    void stop();

    // Everything done for one received datagram, socket aside.
    void handle(const uint8_t* data, std::size_t size, const Arrival& arrival, const PcapWriter::Endpoint& source);

    uint64_t datagrams() const { return handled_; }
    // The port of the metrics endpoint, once open() started it (0: none).
    uint16_t metrics_port() const { return metrics_server_ ? metrics_server_->port() : 0; }
    const SourceTable& sources() const { return sources_; }

    static int64_t now_us();

private:
    void request_receive_buffer();
    void receive_next();
    // Takes the datagrams waiting on the socket (a bounded number, so that timers and signals
    // get their turn); false once the run is over.
    bool receive_waiting();
    // The sender's sequence gaps that this host's socket made: receiver_drop notices.
    void charge_receiver_drops(Source& sender, const DecodedDatagram& datagram, std::vector<Notice>& notices);
    void print_source_losses(int64_t since_us, int64_t now_us);
    void schedule_stats();
    void wait_for_capture_reader();
    CaptureOutput::Note capture_note(const Source& sender, const DecodedDatagram& datagram,
                                     const std::vector<Notice>& notices) const;
    // A write to the live capture's FIFO failed: told unless its reader closed it, then the end.
    void end_live_capture();
    // -w with ring options: the ring and, with --keep-dir, its keeper. False after a message.
    bool open_ring(CaptureOutput::Format format);
    void schedule_ring();
    void wait_for_signal();
    void keep(int64_t now_us, const std::string& why, const std::string& sender, const std::string& what);
    void tell(const std::string& line);
    void write_capture(const uint8_t* data, std::size_t size, const Arrival& arrival,
                       const PcapWriter::Endpoint& source, const CaptureOutput::Note& note);
    void schedule_analysis();
    void report_senders(std::vector<unsigned> senders, std::size_t next);
    bool start_metrics();
    void schedule_metrics();
    // The next steps of the metrics' rendering, for a short while; the rest posted for later turns.
    void render_metrics();
    // Writes --save-baseline; false after a message on err.
    bool save_baseline();
    void finish();
    bool open_mqtt();
    void schedule_mqtt();
    void tell_mqtt_reports();
    void close_mqtt();

    Options options_;
    std::ostream& out_;
    std::ostream& err_;
    std::unique_ptr<Formatter> formatter_;
    SourceTable sources_;
    RecordFilter filter_;
    StatsMeter meter_;
    ReceiveDrops drops_;
    CaptureOutput capture_;
    std::unique_ptr<CaptureRing> ring_;
    std::unique_ptr<CaptureKeeper> keeper_;
    PcapWriter::Endpoint destination_;

    boost::asio::io_context io_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::steady_timer stats_timer_;
    std::unique_ptr<AnalysisBoard> analysis_;  // with --analyze
    boost::asio::steady_timer analysis_timer_;
    // With --metrics: the figures gathered here, published for the server's threads.
    std::unique_ptr<MetricsBoard> metrics_;
    std::unique_ptr<MetricsServer> metrics_server_;
    boost::asio::steady_timer metrics_timer_;
    boost::asio::steady_timer deadline_;
    boost::asio::steady_timer capture_timer_;
    boost::asio::steady_timer ring_timer_;
    boost::asio::signal_set signals_;
    // With --mqtt: the reporter runs on this thread and hands its messages to the client.
    std::unique_ptr<MqttClient> mqtt_;
    std::unique_ptr<MqttReporter> reporter_;
    boost::asio::steady_timer mqtt_timer_;
    int64_t next_summary_us_ = 0;
    uint64_t mqtt_connections_ = 0;
    std::vector<uint8_t> buffer_;
    // Every datagram is decoded into this one: its storage outlives the datagrams.
    DecodedDatagram decoded_;
    uint64_t handled_ = 0;
    bool finished_ = false;
    std::atomic<bool> stop_signalled_{false};  // raised in signal context (live capture)
};

}  // namespace busdump
