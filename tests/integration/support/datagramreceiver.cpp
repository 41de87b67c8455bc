#include "tests/integration/support/datagramreceiver.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/stream/datagramheader.h"
#include "common/stream/recordwalk.h"
#include "tests/integration/support/gatewayprocess.h"

namespace integration {

namespace {
constexpr std::size_t MAX_DATAGRAM = 65536;
constexpr int RECEIVE_BUFFER_BYTES = 8 << 20;
}  // namespace

std::optional<ReceivedDatagram> parse_datagram(const uint8_t* data, std::size_t size, std::string* error) {
    DatagramHeader header;
    if (!DatagramHeader::decode(data, size, header, error)) return std::nullopt;
    ReceivedDatagram d;
    d.sequence = header.sequence;
    d.record_count = header.record_count;
    const auto keep = [&d](const RecordWalk::Record& record, std::string&) {
        d.records.emplace_back(record.bytes, record.bytes + record.length);
        return true;
    };
    if (!RecordWalk::walk(data, size, header.record_count, keep, error)) return std::nullopt;
    return d;
}

struct DatagramReceiver::Socket {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket{io};
    // Kept between calls: clearing 64 KiB for every datagram made the receiver the slowest
    // part of a long run, under the sanitizers above all.
    std::vector<uint8_t> buffer = std::vector<uint8_t>(MAX_DATAGRAM);
};

DatagramReceiver::DatagramReceiver() : socket_(std::make_unique<Socket>()) {
    open_socket(0);
    port_ = socket_->socket.local_endpoint().port();
}

DatagramReceiver::~DatagramReceiver() = default;

void DatagramReceiver::open_socket(uint16_t port) {
    using boost::asio::ip::udp;
    socket_->socket.open(udp::v4());
    // A gateway started afterwards must not inherit the socket: it would keep the port bound.
    keep_from_child_processes(static_cast<std::intptr_t>(socket_->socket.native_handle()));
    socket_->socket.bind(udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), port));
    boost::system::error_code ignored;  // a smaller buffer only risks drops under load
    socket_->socket.set_option(boost::asio::socket_base::receive_buffer_size(RECEIVE_BUFFER_BYTES), ignored);
}

uint16_t DatagramReceiver::port() const { return port_; }

void DatagramReceiver::pause() {
    boost::system::error_code ignored;
    socket_->socket.close(ignored);
}

void DatagramReceiver::resume() {
    if (!socket_->socket.is_open()) open_socket(port_);
}

std::optional<ReceivedDatagram> DatagramReceiver::receive(std::chrono::milliseconds timeout) {
    std::vector<uint8_t>& buffer = socket_->buffer;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t received = 0;
        bool done = false;
        boost::asio::ip::udp::endpoint from;
        socket_->socket.async_receive_from(boost::asio::buffer(buffer), from,
                                           [&](const boost::system::error_code& ec, std::size_t n) {
                                               done = !ec;
                                               received = n;
                                           });
        socket_->io.restart();
        socket_->io.run_until(deadline);
        if (!done) {
            socket_->socket.cancel();
            socket_->io.restart();
            socket_->io.run();  // lets the cancelled handler finish
            if (!done) return std::nullopt;
        }
        std::string error;
        if (auto d = parse_datagram(buffer.data(), received, &error)) return d;
        ++malformed_;
        last_error_ = error;
    }
}

}  // namespace integration
