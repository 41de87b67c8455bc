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
#include "tools/busdump/captureoutput.h"
#include "tools/busdump/decodeddatagram.h"
#include "tools/busdump/formatter.h"
#include "tools/busdump/metricsboard.h"
#include "tools/busdump/metricsserver.h"
#include "tools/busdump/options.h"
#include "tools/busdump/statsmeter.h"
#include "tools/busdump/recordfilter.h"
#include "tools/busdump/sourcetable.h"

namespace busdump {

class BusDump {
public:
    static constexpr int NOT_WRITTEN_STATUS = 3;

    BusDump(const Options& options, std::ostream& out, std::ostream& err);

    // Opens the socket (and the pcap file). False after a message on err.
    bool open();
    // The port actually bound, once open() succeeded.
    uint16_t local_port() const;

    // Serves until a stop condition; prints the totals. Returns the exit status: 0; 1 when the
    // baseline could not be written; else NOT_WRITTEN_STATUS when datagrams could not be written
    // to the capture file.
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
    void schedule_stats();
    void wait_for_capture_reader();
    void write_capture(const uint8_t* data, std::size_t size, const Arrival& arrival,
                       const PcapWriter::Endpoint& source);
    void schedule_analysis();
    bool start_metrics();
    void schedule_metrics();
    void publish_metrics();
    // Writes --save-baseline; false after a message on err.
    bool save_baseline();
    void finish();
    std::string source_text(const boost::asio::ip::udp::endpoint& endpoint) const;

    Options options_;
    std::ostream& out_;
    std::ostream& err_;
    std::unique_ptr<Formatter> formatter_;
    SourceTable sources_;
    RecordFilter filter_;
    StatsMeter meter_;
    CaptureOutput capture_;
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
    boost::asio::signal_set signals_;
    boost::asio::ip::udp::endpoint sender_;
    std::vector<uint8_t> buffer_;
    // Every datagram is decoded into this one: its storage outlives the datagrams.
    DecodedDatagram decoded_;
    uint64_t handled_ = 0;
    bool finished_ = false;
};

}  // namespace busdump
