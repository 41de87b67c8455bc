// Writes the seed corpora of the fuzz targets into DIR/<target>/ (run once by hand, the files
// are committed):  makecorpus tests/fuzz/corpus
// Real traffic comes from a simulated card; the rest is built with the test builders.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/driver/byteorder.h"
#include "common/driver/controlbyte.h"
#include "common/driver/devicepath.h"
#include "common/driver/eventblock.h"
#include "common/driver/protocol.h"
#include "common/stream/lifesignrecord.h"
#include "common/stream/pcapngwriter.h"
#include "common/stream/pcapwriter.h"
#include "gateway/udp/datagram.h"
#include "platform/deviceio.h"
#include "sim/simulatedcards.h"
#include "tests/support/blockbuilder.h"

using namespace linkscope;
using testsupport::make_frame;
using testsupport::make_identifier_frame;
using testsupport::make_record;
using testsupport::make_response_frame;
using Bytes = std::vector<uint8_t>;

namespace {

namespace fs = std::filesystem;

fs::path root;

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = root / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s/%s\n", target.c_str(), name.c_str());
        std::exit(1);
    }
}

void write_text(const std::string& target, const std::string& name, const std::string& text) {
    write(target, name, Bytes(text.begin(), text.end()));
}

// The event area's records, concatenated.
Bytes concat(const std::vector<Bytes>& records) {
    Bytes out;
    for (const Bytes& r : records) out.insert(out.end(), r.begin(), r.end());
    return out;
}

// A block's flags and event area, cut after `area`.
Bytes block_prefix(const Bytes& area, uint32_t flags = BLOCK_FLAG_EVENTS_A) {
    Bytes out(EVENT_AREA_OFFSET, 0);
    store_le32(out.data(), flags);
    out.insert(out.end(), area.begin(), area.end());
    return out;
}

// The first `count` records of one block of a simulated card at full speed.
std::vector<Bytes> simulated_records(std::size_t count) {
    setenv("LINKSCOPE_SIM", "speed=max,seed=7,stations=6,absent=1", 1);
    const std::string lock_dir = (fs::temp_directory_path() / "makecorpus-locks").string();
    fs::create_directories(lock_dir);
    setenv("LINKSCOPE_LOCK_DIR", lock_dir.c_str(), 1);
    sim::offer_simulated_cards();
    platform::DeviceHandle dev = platform::device_open(device_path(FIRST_DEVICE_NUMBER).c_str());
    if (dev == platform::INVALID_DEVICE_HANDLE) {
        std::fprintf(stderr, "no simulated card\n");
        std::exit(1);
    }
    uint8_t on[SNIFFER_INPUT_SIZE];
    store_le32(on, SNIFFER_ON);
    uint32_t returned = 0;
    Bytes block(EVENT_BLOCK_SIZE);
    platform::device_request(dev, LINKSCOPE_IOCTL_RESET, nullptr, 0, nullptr, 0, &returned);
    const bool ok = platform::device_request(dev, LINKSCOPE_IOCTL_SET_SNIFFER, on, sizeof on, nullptr, 0, nullptr) &&
                    platform::device_request(dev, LINKSCOPE_IOCTL_WAIT_EVENTS, nullptr, 0, block.data(),
                                             static_cast<uint32_t>(block.size()), &returned);
    platform::device_close(dev);
    if (!ok || returned != EVENT_BLOCK_SIZE) {
        std::fprintf(stderr, "the simulated card gave no block\n");
        std::exit(1);
    }
    std::vector<Bytes> records;
    EventBlock(block.data()).walk([&](const EventRecord& r) {
        if (records.size() < count) records.emplace_back(r.data(), r.data() + r.size());
    });
    return records;
}

uint16_t status_of(uint16_t flags = 0) { return make_status(FCS_MODE_1DCF, 3, flags); }

Bytes id_dat(uint64_t index, uint16_t id, uint64_t time) {
    return make_record(make_identifier_frame(CTRL_ID_DAT, id), index, time, status_of());
}

Bytes rp_dat(uint64_t index, const Bytes& data, uint64_t time) {
    return make_record(make_response_frame(data), index, time, status_of());
}

// Every kind of fault the acquisition counts, and a gap in the indices.
std::vector<Bytes> faulty_records() {
    return {
        id_dat(1, 0x9080, 10),
        make_record(make_identifier_frame(CTRL_ID_DAT, 0x0201, FCS_MODE_1DCF, false), 2, 20, status_of()),
        make_record(make_frame(0x77, {1, 2, 3}), 3, 30, status_of()),                     // unknown control
        make_record(make_frame(CTRL_RP_DAT, {0x20, 1, 9}), 4, 40, status_of()),           // PDU type
        make_record(make_frame(CTRL_ID_DAT, {0x02, 0x01, 0x00, 0x00}), 5, 50, status_of()),  // length
        make_record(make_identifier_frame(CTRL_ID_DAT, 0x0202), 9, 90, status_of(STATUS_BIT0 | STATUS_BIT5)),
        make_record(make_identifier_frame(CTRL_ID_DAT, 0x0203), 0, 95, status_of(STATUS_BIT3 | STATUS_BIT6)),
        make_record(make_identifier_frame(CTRL_ID_DAT, 0x0204, FCS_MODE_1021), 10, 100, make_status(1, 0)),
        make_record(make_identifier_frame(CTRL_ID_DAT, 0x0205, 0), 11, 110, make_status(0, 7)),
        make_record({}, 12, 120, status_of()),  // no frame at all
    };
}

void acquisition() {
    const std::vector<Bytes> sim = simulated_records(48);
    write("acquisition", "simulated_block", block_prefix(concat(sim)));
    write("acquisition", "faults_and_gap", block_prefix(concat(faulty_records())));
    write("acquisition", "flag_b", block_prefix(concat({sim[0], sim[1], sim[2]}), BLOCK_FLAG_EVENTS_B));
    write("acquisition", "no_event_flag", block_prefix(concat({sim[0], sim[1]}), 0));
    Bytes short_length = id_dat(13, 0x9080, 130);
    store_be16(short_length.data() + EVT_OFF_LENGTH, 12);  // below the header size: the walk stops
    write("acquisition", "length_below_header", block_prefix(concat({sim[0], short_length, sim[1]})));
    write("acquisition", "empty", {});
}

// Network-management variables of station 5, a silent station 6, lists, messages, and a
// repeating cycle for the cycle search.
std::vector<Bytes> analysis_records() {
    std::vector<Bytes> r;
    uint64_t index = 1;
    uint64_t time = 1000;
    auto next = [&]() { time += 25; return index++; };
    const std::string vendor = "LINKSCOPE-SIM", name = "STATION-005";
    Bytes identification{0x80, static_cast<uint8_t>(vendor.size())};
    identification.insert(identification.end(), vendor.begin(), vendor.end());
    identification.insert(identification.end(), {0x82, 1, 0x33, 0x84, 1, 0x07, 0x8A, static_cast<uint8_t>(name.size())});
    identification.insert(identification.end(), name.begin(), name.end());
    Bytes present_list{0x80, 32};
    present_list.resize(2 + 32, 0);
    present_list[2] = 0x3F;
    for (int cycle = 0; cycle < 4; ++cycle) {
        r.push_back(id_dat(next(), 0x9080, time));
        r.push_back(rp_dat(next(), {0x01, 0x02}, time));
        for (uint16_t station = 0; station < 3; ++station) {
            r.push_back(id_dat(next(), static_cast<uint16_t>(0x0200 | station), time));
            r.push_back(rp_dat(next(), {uint8_t(cycle), uint8_t(station), 0, 0}, time));
        }
        r.push_back(make_record(make_identifier_frame(CTRL_ID_MSG, 0x0105), next(), time, status_of()));
        r.push_back(make_record(make_frame(0x14, {0, 0, 5, 0, 0, 1, 'h', 'i'}), next(), time, status_of()));
        r.push_back(make_record(make_frame(0x30, {}), next(), time, status_of()));
    }
    r.push_back(id_dat(next(), 0x1005, time));
    r.push_back(rp_dat(next(), identification, time));
    r.push_back(id_dat(next(), 0x1105, time));
    r.push_back(rp_dat(next(), {'P', 0x01, 0x02, 'Q', 0x03, 0x04, 'T', 0xFF, 0xFE}, time));
    r.push_back(id_dat(next(), 0x1405, time));
    r.push_back(rp_dat(next(), {0x50, 0x00, 0x00, 0x00, 0x21}, time));
    r.push_back(id_dat(next(), 0x1406, time));  // no answer
    r.push_back(id_dat(next(), 0x9002, time));
    r.push_back(rp_dat(next(), present_list, time));
    r.push_back(id_dat(next(), 0x9003, time));
    r.push_back(rp_dat(next(), {0x80, 0x02, 0x12, 0x34}, time));
    r.push_back(make_record(make_identifier_frame(CTRL_ID_RQ1, 0x0300), next(), time, status_of()));
    r.push_back(make_record(make_frame(0x08, {0x02, 0x01, 0x02, 0x02}), next(), time, status_of()));
    return r;
}

Bytes with_prefix(uint16_t sync_id, uint8_t flags, const Bytes& area) {
    Bytes out{static_cast<uint8_t>(sync_id >> 8), static_cast<uint8_t>(sync_id), flags};
    out.insert(out.end(), area.begin(), area.end());
    return out;
}

void eventanalysis() {
    write("eventanalysis", "variables_and_cycles", with_prefix(0x9080, 1, concat(analysis_records())));
    write("eventanalysis", "simulated_bus", with_prefix(0, 1, concat(simulated_records(64))));
    write("eventanalysis", "faults_stopped_session", with_prefix(0x9080, 0, concat(faulty_records())));
    // A truncated identification list and a response whose length byte overstates its data.
    const std::vector<Bytes> truncated = {id_dat(1, 0x1007, 5), rp_dat(2, {0x80, 40, 'A', 'B'}, 6),
                                          id_dat(3, 0x1107, 7),
                                          make_record(make_frame(CTRL_RP_DAT, {0x40, 9, 'P', 0}), 4, 8, status_of())};
    write("eventanalysis", "truncated_items", with_prefix(0x9080, 1, concat(truncated)));
    write("eventanalysis", "prefix_only", with_prefix(0x9080, 1, {}));
}

std::vector<char> as_chars(const Bytes& b) { return std::vector<char>(b.begin(), b.end()); }

Bytes datagram_of(uint64_t sequence, const std::vector<Bytes>& records) {
    Datagram d;
    for (const Bytes& r : records) d.append(as_chars(r));
    return d.close(sequence);
}

Bytes lifesign() {
    LifesignRecord l;
    l.counter = 42;
    l.created_us = 1700000000000000;
    l.sn = 0x4C530001;
    l.cpu_load = 12.5f;
    l.ram_total = 4096;
    l.ram_used = 1024;
    l.net_pkt_sent_cnt = 17;
    l.card_is_active = 1;
    const std::vector<char> bytes = l.encode();
    return Bytes(bytes.begin(), bytes.end());
}

void datagram() {
    const std::vector<Bytes> sim = simulated_records(20);
    std::vector<Bytes> records(sim.begin(), sim.begin() + 10);
    records.push_back(lifesign());
    records.insert(records.end(), sim.begin() + 10, sim.end());
    write("datagram", "events_and_lifesign", datagram_of(1, records));
    write("datagram", "faulty_events", datagram_of(7, faulty_records()));
    write("datagram", "unknown_record_type", datagram_of(2, {{0x55, 0x00, 0x05, 0xAA, 0xBB}, sim[0]}));
    Bytes wrong_count = datagram_of(3, {sim[0], sim[1]});
    store_be32(wrong_count.data() + DatagramHeader::OFF_RECORD_COUNT, 3);
    write("datagram", "count_mismatch", wrong_count);
    Bytes cut = datagram_of(4, {sim[0], lifesign()});
    cut.resize(cut.size() - 100);
    write("datagram", "truncated_lifesign", cut);
    write("datagram", "header_only", datagram_of(5, {}));
    write("datagram", "short_header", {0x4C, 0x53, 0x01});
}

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// What busdump -w writes, in both formats, and a pcapng cut inside a block.
void capturefile() {
    const PcapWriter::Endpoint a{0x0A000005, 40000}, b{0x0A000006, 40009}, to{0x7F000001, 57117};
    const std::vector<Bytes> sim = simulated_records(6);
    const Bytes first = datagram_of(1, {lifesign(), sim[0], sim[1]});
    const Bytes second = datagram_of(3, {sim[2], sim[3]});
    Bytes pcap = PcapWriter::file_header();
    append(pcap, PcapWriter::packet(1700000000000000, a, to, first.data(), first.size(), 1));
    append(pcap, PcapWriter::packet(1700000000001000, a, to, second.data(), second.size(), 2));
    write("capturefile", "pcap_two_datagrams", pcap);
    Bytes ng = PcapngWriter::section_header("makecorpus");
    append(ng, PcapngWriter::interface_description({a, to, 0x4C530001}));
    append(ng, PcapngWriter::enhanced_packet(0, 1700000000000000, PcapWriter::frame(a, to, first.data(), first.size())));
    append(ng, PcapngWriter::interface_description({b, to, std::nullopt}));
    append(ng, PcapngWriter::enhanced_packet(1, 1700000000000500, PcapWriter::frame(b, to, first.data(), first.size())));
    append(ng, PcapngWriter::enhanced_packet(0, 1700000000001000, PcapWriter::frame(a, to, second.data(), second.size()),
                                             "loss, network: 1 datagram(s) missing before this one (sequence 1 then 3)"));
    write("capturefile", "pcapng_two_senders", ng);
    ng.resize(ng.size() - 7);
    write("capturefile", "pcapng_cut_short", ng);
}

void conffile() {
    write_text("conffile", "both_keys", "DeviceIndex=2\nUdpPort=55010\n");
    write_text("conffile", "comments_spaces_crlf", "# gateway\r\n  DeviceIndex = 0 # first card\r\n\r\nUdpPort=  4000\r\n");
    write_text("conffile", "negative_port_unknown_key", "Colour=blue\nUdpPort=-5\nDeviceIndex=99999999999\n");
    write_text("conffile", "key_without_value", "UdpPort=1234\nDeviceIndex\nUdpPort=9\n");
    write_text("conffile", "long_line", "UdpPort=" + std::string(600, '7') + "\nDeviceIndex=" + std::string(150, 'x') + "\n");
    write_text("conffile", "empty", "");
}

void cmdline() {
    auto args = [](const std::vector<std::string>& argv) {
        std::string joined;
        for (std::size_t i = 0; i < argv.size(); ++i) joined += (i ? std::string(1, '\0') : "") + argv[i];
        return joined;
    };
    write_text("cmdline", "short_options", args({"busgated", "-i", "1", "-p", "55010", "-R", "250", "-M", "10"}));
    write_text("cmdline", "long_options", args({"/usr/bin/busgated", "--index=0", "--ip_address", "127.0.0.1",
                                                "--buf_size=1048576", "--buff_file", "/tmp/b.bin", "--log_file=/tmp/l"}));
    write_text("cmdline", "bad_address", args({"busgated", "-a", "not-an-address"}));
    write_text("cmdline", "help", args({"busgated", "-h"}));
    write_text("cmdline", "version", args({"busgated", "--version"}));
    write_text("cmdline", "list", args({"busgated", "-l"}));
    write_text("cmdline", "dashboard_daemon_conf", args({"busgated", "-s", "500", "-d", "-C", "/etc/busgated.conf", "-P", "/run/p"}));
    write_text("cmdline", "unknown_and_missing", args({"busgated", "-x", "-i"}));
    write_text("cmdline", "argv0_only", "busgated");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    root = argv[1];
    acquisition();
    eventanalysis();
    datagram();
    capturefile();
    conffile();
    cmdline();
    return 0;
}
