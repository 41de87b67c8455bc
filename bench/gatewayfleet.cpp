// A fleet of gateways on one host: plays the datagrams of a capture (written by busdump -w from
// one busgated) as N gateways at once, each from its own socket on 127.0.0.1 (its own source
// port) with its own card serial in its lifesigns, each at the bus's full frame rate, to
// 127.0.0.1:PORT. Every gateway's stream stays one unbroken run: sequence numbers count on, and
// at each pass through the capture the frame indices and card time stamps are moved on by the
// capture's span, so the receiver sees neither gaps nor a card reset and counts only what the
// path loses. Prints what was sent as one JSON line; `behind` says the fleet fell short of its
// rate (the figures of such a run say nothing about the receiver).
//   bench_gateway_fleet CAPTURE PORT GATEWAYS SECONDS [EVENTS_PER_SECOND_EACH]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/driver/byteorder.h"
#include "common/driver/protocol.h"
#include "common/stream/capturefile.h"
#include "common/stream/datagramheader.h"
#include "common/stream/lifesignrecord.h"
#include "common/stream/recordwalk.h"

namespace {

using udp = boost::asio::ip::udp;
using Clock = std::chrono::steady_clock;

// 2.5 Mbit/s over the shortest frame's 64 bit times.
constexpr double FULL_BUS_EVENTS_PER_SECOND = 39062.0;
// The first fleet serial; the simulated cards' own are 0x4C53nnnn.
constexpr uint32_t FIRST_SERIAL = 0x4C460001;
// A round of the fleet that finds nothing due sleeps this long.
constexpr auto IDLE = std::chrono::microseconds(200);

// One datagram of the capture and where its fields to move on are.
struct Template {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> events;     // offsets of the event records
    std::vector<uint32_t> lifesigns;  // offsets of the lifesign records
};

// How far one pass through the capture moves the indices and time stamps on.
struct Span {
    uint64_t indices = 0;
    uint64_t time_us = 0;
};

struct Gateway {
    std::unique_ptr<udp::socket> socket;
    uint32_t serial = 0;
    uint64_t sequence = 0;
    std::size_t next = 0;  // the template to send next
    uint64_t pass = 0;
    double events = 0;     // sent so far, plus the stagger that spreads the fleet's sends
};

std::vector<Template> templates_of(const char* path) {
    std::vector<Template> out;
    std::string error;
    const std::unique_ptr<CaptureFile> file = CaptureFile::open(path, &error);
    if (!file) return out;
    CaptureFile::Packet packet;
    while (file->next(packet)) {
        DatagramHeader header;
        if (!DatagramHeader::decode(packet.payload.data(), packet.payload.size(), header)) continue;
        Template datagram;
        const bool whole = RecordWalk::walk(
            packet.payload.data(), packet.payload.size(), header.record_count,
            [&datagram](const RecordWalk::Record& record, std::string&) {
                if (record.type == linkscope::EVT_MARKER && record.length >= linkscope::EVT_HEADER_SIZE)
                    datagram.events.push_back(static_cast<uint32_t>(record.offset));
                if (record.type == lifesign::RECORD_TYPE && record.length == lifesign::RECORD_SIZE)
                    datagram.lifesigns.push_back(static_cast<uint32_t>(record.offset));
                return true;
            });
        if (!whole) continue;
        datagram.bytes = std::move(packet.payload);
        out.push_back(std::move(datagram));
    }
    return out;
}

Span span_of(const std::vector<Template>& templates) {
    uint64_t first_index = 0, last_index = 0, first_time = 0, last_time = 0, events = 0;
    for (const Template& datagram : templates)
        for (uint32_t offset : datagram.events) {
            const uint8_t* record = datagram.bytes.data() + offset;
            const uint64_t index = linkscope::load_be64(record + linkscope::EVT_OFF_INDEX);
            const uint64_t time = linkscope::load_be64(record + linkscope::EVT_OFF_TIMESTAMP);
            if (events++ == 0) first_index = index, first_time = time;
            last_index = index;
            last_time = time;
        }
    Span span;
    if (events == 0 || last_index < first_index || last_time < first_time) return span;
    span.indices = last_index - first_index + 1;
    // One mean gap between events beyond the last, so that the next pass follows on.
    const uint64_t covered = last_time - first_time;
    span.time_us = covered + (events > 1 ? covered / (events - 1) : 1);
    return span;
}

// The template as gateway `g` sends it on its current pass.
void prepare(const Template& datagram, const Gateway& gateway, const Span& span, std::vector<uint8_t>& out) {
    out.assign(datagram.bytes.begin(), datagram.bytes.end());
    linkscope::store_be64(out.data() + DatagramHeader::OFF_SEQUENCE, gateway.sequence);
    const uint64_t index_shift = gateway.pass * span.indices;
    const uint64_t time_shift = gateway.pass * span.time_us;
    for (uint32_t offset : datagram.events) {
        uint8_t* record = out.data() + offset;
        linkscope::store_be64(record + linkscope::EVT_OFF_INDEX,
                              linkscope::load_be64(record + linkscope::EVT_OFF_INDEX) + index_shift);
        linkscope::store_be64(record + linkscope::EVT_OFF_TIMESTAMP,
                              linkscope::load_be64(record + linkscope::EVT_OFF_TIMESTAMP) + time_shift);
    }
    for (uint32_t offset : datagram.lifesigns) linkscope::store_be32(out.data() + offset + lifesign::OFF_SN, gateway.serial);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: bench_gateway_fleet CAPTURE PORT GATEWAYS SECONDS [EVENTS_PER_SECOND_EACH]\n");
        return 2;
    }
    const std::vector<Template> templates = templates_of(argv[1]);
    const Span span = span_of(templates);
    if (templates.empty() || span.indices == 0) {
        std::fprintf(stderr, "bench_gateway_fleet: no gateway datagram with event records in %s\n", argv[1]);
        return 1;
    }
    const auto port = static_cast<unsigned short>(std::strtoul(argv[2], nullptr, 10));
    const unsigned count = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    const double seconds = std::strtod(argv[4], nullptr);
    const double rate = argc == 6 ? std::strtod(argv[5], nullptr) : FULL_BUS_EVENTS_PER_SECOND;
    if (count == 0 || !(seconds > 0) || !(rate > 0)) {
        std::fprintf(stderr, "bench_gateway_fleet: GATEWAYS, SECONDS and the rate must be above 0\n");
        return 2;
    }

    boost::asio::io_service io;
    const udp::endpoint to(boost::asio::ip::address_v4::loopback(), port);
    uint64_t events_per_pass = 0;
    for (const Template& datagram : templates) events_per_pass += datagram.events.size();
    const double mean_events = static_cast<double>(events_per_pass) / static_cast<double>(templates.size());
    std::vector<Gateway> fleet(count);
    for (unsigned g = 0; g < count; ++g) {
        Gateway& gateway = fleet[g];
        gateway.socket = std::make_unique<udp::socket>(io, udp::v4());
        gateway.socket->bind(udp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        gateway.socket->set_option(boost::asio::socket_base::send_buffer_size(1048576));
        gateway.serial = FIRST_SERIAL + g;
        // Spread over one datagram's worth of events, so the fleet does not send in step: each
        // gateway's first datagram falls due a little after the one before (a start owed from
        // before 0 would make every gateway's first datagram due at once, a burst of all of them
        // that no receiver meets from gateways already running).
        gateway.events = mean_events * g / count;
    }

    uint64_t datagrams = 0, events = 0, bytes = 0, errors = 0;
    std::vector<uint8_t> scratch;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (auto now = start; now < end; now = Clock::now()) {
        const double due = rate * std::chrono::duration<double>(now - start).count();
        bool sent = false;
        for (Gateway& gateway : fleet) {
            while (gateway.events < due) {
                const Template& datagram = templates[gateway.next];
                ++gateway.sequence;
                prepare(datagram, gateway, span, scratch);
                boost::system::error_code error;
                gateway.socket->send_to(boost::asio::buffer(scratch), to, 0, error);
                if (error) ++errors;
                // Datagrams of lifesigns alone still count, so a gateway never stalls on them.
                gateway.events += std::max<double>(1.0, static_cast<double>(datagram.events.size()));
                events += datagram.events.size();
                bytes += scratch.size();
                ++datagrams;
                sent = true;
                if (++gateway.next == templates.size()) {
                    gateway.next = 0;
                    ++gateway.pass;
                }
            }
        }
        if (!sent) std::this_thread::sleep_for(IDLE);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double wanted = rate * seconds * count;
    const bool behind = static_cast<double>(events) < 0.98 * wanted;
    std::printf("{\"gateways\": %u, \"datagrams\": %llu, \"events\": %llu, \"bytes\": %llu, \"errors\": %llu, "
                "\"seconds\": %.6f, \"events_per_second\": %.0f, \"behind\": %s}\n",
                count, static_cast<unsigned long long>(datagrams), static_cast<unsigned long long>(events),
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(errors), elapsed,
                static_cast<double>(events) / elapsed, behind ? "true" : "false");
    return errors == 0 ? 0 : 1;
}
