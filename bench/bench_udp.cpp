// Datagrams and bytes per second of the sender to 127.0.0.1, against a plain send loop of the
// same datagrams in the same run. The receiver socket is bound but never read: both paths pay
// only for the send.
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/driver/byteorder.h"
#include "common/stream/datagramheader.h"
#include "gateway/udp/udpclient.h"
#include "tests/support/scratchdirectory.h"

namespace {

using boost::asio::ip::udp;
constexpr int DATAGRAMS_PER_ITERATION = 200;
constexpr unsigned LIFESIGN_MS = 500;

struct Shape {
    int records;         // per datagram, also max_evt
    std::size_t length;  // of each record
};

Shape shape_of(const benchmark::State& state) {
    return {static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1))};
}

std::vector<char> make_record(std::size_t length) {
    std::vector<char> record(length, 0x33);
    record[0] = static_cast<char>(0xC0);
    linkscope::store_be16(reinterpret_cast<uint8_t*>(record.data()) + 1, static_cast<uint16_t>(length));
    return record;
}

class Sink {
public:
    Sink() : socket_(io_, udp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {}
    unsigned short port() const { return socket_.local_endpoint().port(); }

private:
    boost::asio::io_service io_;
    udp::socket socket_;
};

void set_rates(benchmark::State& state, std::size_t datagram_length) {
    state.SetItemsProcessed(state.iterations() * DATAGRAMS_PER_ITERATION);
    state.SetBytesProcessed(state.iterations() * DATAGRAMS_PER_ITERATION * static_cast<int64_t>(datagram_length));
    state.counters["datagram_bytes"] = static_cast<double>(datagram_length);
}

void BM_SenderToLoopback(benchmark::State& state) {
    const Shape shape = shape_of(state);
    const std::vector<char> record = make_record(shape.length);
    const testsupport::ScratchDirectory dir{"busgate-bench"};
    Sink sink;
    {
        auto queue = std::make_shared<UDPClient::RecordQueue>(dir / "buffer.bin", 52428800);
        for (auto _ : state) {
            state.PauseTiming();
            for (int n = 0; n < DATAGRAMS_PER_ITERATION * shape.records; ++n) queue->enqueue(record);
            state.ResumeTiming();
            auto client = std::make_unique<UDPClient>("127.0.0.1", sink.port(), false, LIFESIGN_MS, shape.records,
                                                      queue, nullptr);
            while (client->stats().pkt_sent_cnt < static_cast<uint32_t>(DATAGRAMS_PER_ITERATION))
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            state.PauseTiming();
            if (client->stats().pkt_err_cnt != 0) state.SkipWithError("send failed");
            client.reset();  // joins the threads outside the measured time
            state.ResumeTiming();
        }
        set_rates(state, DatagramHeader::HEADER_SIZE + shape.records * shape.length);
    }
}

void BM_PlainSendToLoop(benchmark::State& state) {
    const Shape shape = shape_of(state);
    const std::vector<char> record = make_record(shape.length);
    Sink sink;
    boost::asio::io_service io;
    udp::socket socket(io, udp::v4());
    socket.set_option(boost::asio::socket_base::send_buffer_size(UDPClient::SOCKET_BUFFER_SIZE));
    const udp::endpoint destination(boost::asio::ip::address_v4::loopback(), sink.port());
    std::vector<std::vector<uint8_t>> datagrams;
    for (int d = 0; d < DATAGRAMS_PER_ITERATION; ++d) {
        Datagram datagram;
        for (int r = 0; r < shape.records; ++r) datagram.append(record);
        datagrams.push_back(datagram.close(static_cast<uint64_t>(d) + 1));
    }
    for (auto _ : state) {
        for (const auto& bytes : datagrams) {
            boost::system::error_code error;
            socket.send_to(boost::asio::buffer(bytes), destination, 0, error);
            if (error) state.SkipWithError("send failed");
        }
    }
    set_rates(state, datagrams.front().size());
}

// The gateway's default batch of short event records, a few larger records, and single records.
#define RECORD_PATH_SHAPES ->Args({1000, 40})->Args({100, 600})->Args({1, 323})->UseRealTime()
BENCHMARK(BM_SenderToLoopback) RECORD_PATH_SHAPES;
BENCHMARK(BM_PlainSendToLoop) RECORD_PATH_SHAPES;

}  // namespace
