// The loopback limit: sends the datagrams of a pcap capture (written by busdump -w) to
// 127.0.0.1 with a plain sendto loop, as fast as it goes, and prints what it sent as one JSON
// line. The sequence numbers are rewritten to keep counting across passes, so the receiver
// sees one unbroken stream and counts only what the path itself loses.
//   bench_sendto_loop CAPTURE PORT DATAGRAMS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/driver/byteorder.h"
#include "gateway/udp/datagram.h"
#include "tools/busdump/pcapwriter.h"

namespace {

using busdump::PcapWriter;
using Payload = std::vector<uint8_t>;

std::vector<uint8_t> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The UDP payloads of a capture; a truncated or foreign file yields what could be read.
std::vector<Payload> payloads_of(const std::vector<uint8_t>& file) {
    std::vector<Payload> out;
    if (file.size() < PcapWriter::FILE_HEADER_SIZE ||
        linkscope::load_le32(file.data()) != PcapWriter::MAGIC_MICROSECONDS)
        return out;
    std::size_t at = PcapWriter::FILE_HEADER_SIZE;
    while (file.size() - at >= PcapWriter::PACKET_HEADER_SIZE) {
        const std::size_t captured = linkscope::load_le32(file.data() + at + 8);
        at += PcapWriter::PACKET_HEADER_SIZE;
        if (captured > file.size() - at) break;
        if (captured >= PcapWriter::FRAMING_SIZE + Datagram::HEADER_SIZE)
            out.emplace_back(file.begin() + at + PcapWriter::FRAMING_SIZE, file.begin() + at + captured);
        at += captured;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_sendto_loop CAPTURE PORT DATAGRAMS\n");
        return 2;
    }
    std::vector<Payload> payloads = payloads_of(read_file(argv[1]));
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
        linkscope::store_be64(datagram.data() + Datagram::OFF_SEQUENCE, sequence);
        boost::system::error_code error;
        socket.send_to(boost::asio::buffer(datagram), to, 0, error);
        if (error) ++errors;
        records += linkscope::load_be32(datagram.data() + Datagram::OFF_RECORD_COUNT);
        bytes += datagram.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("{\"datagrams\": %llu, \"records\": %llu, \"bytes\": %llu, \"errors\": %llu, \"seconds\": %.6f}\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(records),
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(errors), seconds);
    return errors == 0 ? 0 : 1;
}
