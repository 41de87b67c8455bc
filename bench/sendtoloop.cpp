// The loopback limit: sends the datagrams of a pcap capture (written by busdump -w) to
// 127.0.0.1 with a plain sendto loop, as fast as it goes, and prints what it sent as one JSON
// line. The sequence numbers are rewritten to keep counting across passes, so the receiver
// sees one unbroken stream and counts only what the path itself loses.
//   bench_sendto_loop CAPTURE PORT DATAGRAMS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/driver/byteorder.h"
#include "common/stream/capturefile.h"
#include "common/stream/datagramheader.h"

namespace {

using Payload = std::vector<uint8_t>;

// The UDP payloads of a capture; a truncated or foreign file yields what could be read.
std::vector<Payload> payloads_of(const char* path) {
    std::vector<Payload> out;
    std::string error;
    const std::unique_ptr<CaptureFile> file = CaptureFile::open(path, &error);
    if (!file) return out;
    CaptureFile::Packet packet;
    while (file->next(packet))
        if (packet.payload.size() >= DatagramHeader::HEADER_SIZE) out.push_back(std::move(packet.payload));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_sendto_loop CAPTURE PORT DATAGRAMS\n");
        return 2;
    }
    std::vector<Payload> payloads = payloads_of(argv[1]);
    if (payloads.empty()) {
        std::fprintf(stderr, "bench_sendto_loop: no datagram in %s\n", argv[1]);
        return 1;
    }
    const auto port = static_cast<unsigned short>(std::strtoul(argv[2], nullptr, 10));
    const uint64_t total = std::strtoull(argv[3], nullptr, 10);

    boost::asio::io_service io;
    boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::v4());
    socket.set_option(boost::asio::socket_base::send_buffer_size(1048576));
    const boost::asio::ip::udp::endpoint to(boost::asio::ip::address_v4::loopback(), port);

    uint64_t records = 0, bytes = 0, errors = 0;
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t sequence = 1; sequence <= total; ++sequence) {
        Payload& datagram = payloads[(sequence - 1) % payloads.size()];
        linkscope::store_be64(datagram.data() + DatagramHeader::OFF_SEQUENCE, sequence);
        boost::system::error_code error;
        socket.send_to(boost::asio::buffer(datagram), to, 0, error);
        if (error) ++errors;
        records += linkscope::load_be32(datagram.data() + DatagramHeader::OFF_RECORD_COUNT);
        bytes += datagram.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("{\"datagrams\": %llu, \"records\": %llu, \"bytes\": %llu, \"errors\": %llu, \"seconds\": %.6f}\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(records),
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(errors), seconds);
    return errors == 0 ? 0 : 1;
}
