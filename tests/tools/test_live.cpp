// busdump on a real socket on 127.0.0.1: what it prints, and the pcap it writes read back by tshark
// through the Lua dissector.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <thread>

#include "tests/support/blockbuilder.h"
#include "tests/tools/datagrambytes.h"
#include "tests/tools/jsonline.h"
#include "tools/busdump/busdump.h"

using boost::asio::ip::udp;
using busdumptest::put_be;

namespace {

struct LiveRun {
    std::ostringstream out, err;
    std::unique_ptr<busdump::BusDump> dump;
    std::thread thread;

    explicit LiveRun(busdump::Options options) {
        options.port = 0;
        options.bind = "127.0.0.1";
        dump = std::make_unique<busdump::BusDump>(options, out, err);
    }
    bool start() {
        if (!dump->open()) return false;
        thread = std::thread([this] { dump->run(false); });
        return true;
    }
    // Waits for run() to end on its own; stops it after a generous limit so a fault fails, not hangs.
    bool join() {
        auto done = std::async(std::launch::async, [this] { thread.join(); });
        if (done.wait_for(std::chrono::seconds(60)) == std::future_status::ready) return true;
        dump->stop();
        done.wait();
        return false;
    }
};

void send_all(uint16_t port, const std::vector<std::vector<uint8_t>>& datagrams) {
    boost::asio::io_context io;
    udp::socket socket(io, udp::endpoint(udp::v4(), 0));
    const udp::endpoint to(boost::asio::ip::make_address_v4("127.0.0.1"), port);
    for (const auto& d : datagrams) socket.send_to(boost::asio::buffer(d), to);
}

std::vector<std::map<std::string, busdumptest::JsonValue>> json_lines(const std::string& text) {
    std::vector<std::map<std::string, busdumptest::JsonValue>> out;
    std::istringstream in(text);
    std::string line, error;
    while (std::getline(in, line)) {
        std::map<std::string, busdumptest::JsonValue> object;
        EXPECT_TRUE(busdumptest::parse_json_line(line, object, error)) << error << ": " << line;
        out.push_back(object);
    }
    return out;
}

std::vector<uint8_t> lifesign_with_counter(uint32_t counter) {
    auto record = busdumptest::make_lifesign();
    put_be(record, 7, 4, counter);
    put_be(record, 19, 4, 0x00C0FFEE);
    put_be(record, 63, 4, 52429);
    put_be(record, 225, 4, 123456);
    put_be(record, 315, 8, 99);
    return record;
}

std::vector<std::vector<uint8_t>> sample_stream() {
    const auto bad = testsupport::make_frame(0x02, {0x40, 0x02, 0x11, 0x22}, 2, false);
    return {
        busdumptest::make_datagram(1, {busdumptest::make_id_event(41, 0x9080), lifesign_with_counter(7)}),
        busdumptest::make_datagram(2, {testsupport::make_record(bad, 42)}),
        busdumptest::make_datagram(4, {busdumptest::make_id_event(50)}),
        {'X', 'Y', 1, 0, 0},
    };
}

}  // namespace

TEST(BusDumpLive, JsonLinesGapsAndTotals) {
    busdump::Options options;
    options.json = true;
    options.count = 4;
    LiveRun run(options);
    ASSERT_TRUE(run.start()) << run.err.str();
    send_all(run.dump->local_port(), sample_stream());
    ASSERT_TRUE(run.join()) << "busdump did not stop after 4 datagrams";

    const auto lines = json_lines(run.out.str());
    std::vector<std::string> types;
    for (const auto& o : lines) {
        const std::string type = o.at("type").text;
        types.push_back(type == "notice" ? "notice:" + o.at("kind").text : type);
    }
    const std::vector<std::string> expected = {
        "notice:new_source", "notice:card_serial", "event", "lifesign", "event", "notice:sequence_gap",
        "notice:index_gap", "event", "notice:malformed", "source_totals", "totals"};
    EXPECT_EQ(types, expected) << run.out.str();
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_EQ(lines[1].at("to").text, std::to_string(0x00C0FFEE));
    EXPECT_EQ(lines[3].at("counter").text, "7");
    EXPECT_EQ(lines[4].at("fcs").text, "bad");
    EXPECT_EQ(lines[4].at("response_to").text, std::to_string(0x9080)) << "follows the ID frame of index 41";
    EXPECT_EQ(lines[5].at("lost").text, "1");
    EXPECT_EQ(lines[6].at("lost").text, "7");
    EXPECT_EQ(lines[8].at("sn").text, std::to_string(0x00C0FFEE)) << "the malformed datagram's sender is known";
    EXPECT_EQ(lines[9].at("datagrams").text, "4");
    const auto& totals = lines.back();
    EXPECT_EQ(totals.at("datagrams").text, "4");
    EXPECT_EQ(totals.at("events").text, "3");
    EXPECT_EQ(totals.at("lifesigns").text, "1");
    EXPECT_EQ(totals.at("malformed").text, "1");
    EXPECT_EQ(totals.at("datagrams_lost").text, "1");
    EXPECT_EQ(totals.at("frames_lost").text, "7");
    EXPECT_EQ(totals.at("fcs_bad").text, "1");
}

TEST(BusDumpLive, TimeLimitEndsAQuietRun) {
    busdump::Options options;
    options.seconds = 0.2;
    options.stats = true;
    LiveRun run(options);
    ASSERT_TRUE(run.start()) << run.err.str();
    ASSERT_TRUE(run.join()) << "the time limit did not end the run";
    EXPECT_NE(run.out.str().find("totals: "), std::string::npos) << run.out.str();
}

TEST(BusDumpLive, PortInUseIsReported) {
    boost::asio::io_context io;
    udp::socket taken(io, udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
    busdump::Options options;
    options.port = taken.local_endpoint().port();
    options.bind = "127.0.0.1";
    std::ostringstream out, err;
    busdump::BusDump dump(options, out, err);
    EXPECT_FALSE(dump.open());
    EXPECT_NE(err.str().find("cannot listen on 127.0.0.1:" + std::to_string(options.port)), std::string::npos);
}

TEST(BusDumpLive, PcapReadByTsharkThroughTheDissector) {
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/setup installs it: apt-get install tshark)";
    const std::string pcap = testing::TempDir() + "busdump_live_" + std::to_string(getpid()) + ".pcap";
    busdump::Options options;
    options.count = 4;
    options.write_path = pcap;
    LiveRun run(options);
    ASSERT_TRUE(run.start()) << run.err.str();
    send_all(run.dump->local_port(), sample_stream());
    ASSERT_TRUE(run.join());

    const std::string fields_path = testing::TempDir() + "busdump_tshark_" + std::to_string(getpid()) + ".txt";
    const std::string command =
        "tshark -n -r " + pcap + " -X lua_script:" BUSGATE_SOURCE_DIR "/contrib/wireshark/busgate.lua" +
        " -T fields -E 'separator=|' -E occurrence=a -E aggregator=,"
        " -e busgate.seq -e busgate.count -e busgate.event.index -e busgate.event.control_name"
        " -e busgate.event.identifier -e busgate.event.fcs_status -e busgate.lifesign.counter"
        " -e busgate.lifesign.sn -e busgate.lifesign.buf_total -e busgate.lifesign.card_frame_rcvd_cnt"
        " -e busgate.lifesign.status_b4_cnt -e _ws.expert.message > " + fields_path + " 2>" + fields_path + ".err";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(fields_path);
    std::vector<std::string> rows;
    for (std::string row; std::getline(in, row);) rows.push_back(row);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "1|2|41|ID_DAT|0x9080|ok|7|0x00c0ffee|52429|123456|99|");
    EXPECT_EQ(rows[1].substr(0, rows[1].find("|RP_DAT|")), "2|1|42");
    EXPECT_NE(rows[1].find("|bad|"), std::string::npos) << rows[1];
    EXPECT_EQ(rows[2].substr(0, 10), "4|1|50|ID_");
    EXPECT_NE(rows[1].find("Frame check sequence is wrong"), std::string::npos) << rows[1];
    // The last one is not ours: the heuristic leaves it alone.
    EXPECT_EQ(rows[3].find_first_not_of('|'), std::string::npos) << rows[3];
}

TEST(BusDumpLive, FiltersChooseTheLinesButEverythingIsCounted) {
    busdump::Options options;
    options.json = true;
    options.count = 4;
    options.identifiers = {0x9080};
    options.controls = {0x02};
    LiveRun run(options);
    ASSERT_TRUE(run.start()) << run.err.str();
    send_all(run.dump->local_port(), sample_stream());
    ASSERT_TRUE(run.join());
    std::vector<std::string> records;
    for (const auto& o : json_lines(run.out.str())) {
        const std::string type = o.at("type").text;
        if (type == "event") records.push_back(type + ":" + o.at("index").text);
        if (type == "lifesign") records.push_back(type);
        if (type == "totals") {
            EXPECT_EQ(o.at("events").text, "3");
        }
    }
    EXPECT_EQ(records, std::vector<std::string>{"event:42"}) << "the RP_DAT answering 0x9080 only\n" << run.out.str();
}

TEST(BusDumpLive, QuietShowsNoRecordButTheTotals) {
    busdump::Options options;
    options.json = true;
    options.quiet = true;
    options.count = 4;
    LiveRun run(options);
    ASSERT_TRUE(run.start()) << run.err.str();
    send_all(run.dump->local_port(), sample_stream());
    ASSERT_TRUE(run.join());
    std::size_t totals = 0;
    for (const auto& o : json_lines(run.out.str())) {
        EXPECT_NE(o.at("type").text, "event");
        EXPECT_NE(o.at("type").text, "lifesign");
        totals += o.at("type").text == "totals";
    }
    EXPECT_EQ(totals, 1u) << run.out.str();
}

// One gateway restarted 300 times: every run sends from a new port, as the gateway's unbound
// socket does, opens with a lifesign of its card, and every third run loses its third datagram.
TEST(BusDumpLive, AGatewayRestartedThreeHundredTimesIsOneSender) {
    constexpr int RUNS = 300;
    constexpr uint64_t PER_RUN = 4;
    auto lifesign = busdumptest::make_lifesign();
    put_be(lifesign, 19, 4, 0x4C530001);
    std::vector<std::vector<std::vector<uint8_t>>> runs(RUNS);
    uint64_t sent = 0, lost = 0;
    for (int run = 0; run < RUNS; ++run)
        for (uint64_t sequence = 1; sequence <= PER_RUN; ++sequence) {
            if (run % 3 == 0 && sequence == 3) {
                ++lost;
                continue;
            }
            std::vector<std::vector<uint8_t>> records{busdumptest::make_id_event(sequence)};
            if (sequence == 1) records.insert(records.begin(), lifesign);
            runs[run].push_back(busdumptest::make_datagram(sequence, records));
            ++sent;
        }
    busdump::Options options;
    options.json = true;
    options.count = sent;
    LiveRun run(options);
    ASSERT_TRUE(run.start()) << run.err.str();
    for (const auto& datagrams : runs) send_all(run.dump->local_port(), datagrams);
    ASSERT_TRUE(run.join()) << "busdump did not stop after " << sent << " datagrams";

    std::map<std::string, int> notices;
    std::vector<std::map<std::string, busdumptest::JsonValue>> senders;
    for (const auto& o : json_lines(run.out.str())) {
        if (o.at("type").text == "notice") ++notices[o.at("kind").text];
        if (o.at("type").text == "source_totals") senders.push_back(o);
    }
    EXPECT_EQ(notices["new_source"], 1);
    EXPECT_EQ(notices["card_serial"], 1);
    EXPECT_EQ(notices["restart"], RUNS - 1);
    EXPECT_EQ(notices["sequence_gap"], static_cast<int>(lost));
    EXPECT_EQ(notices["index_gap"], static_cast<int>(lost));
    ASSERT_EQ(senders.size(), 1u) << run.out.str().substr(0, 4000);
    const auto& gateway = senders[0];
    EXPECT_EQ(gateway.at("sn").text, std::to_string(0x4C530001));
    EXPECT_EQ(gateway.at("datagrams").text, std::to_string(sent));
    EXPECT_EQ(gateway.at("restarts").text, std::to_string(RUNS - 1));
    EXPECT_EQ(gateway.at("datagrams_lost").text, std::to_string(lost));
    EXPECT_EQ(gateway.at("frames_lost").text, std::to_string(lost));
    EXPECT_EQ(gateway.at("index_resets").text, "0");
}

// Two gateways into one pcapng: an interface each, named with its address, port and card (the
// second one's first datagram waits for the lifesign that names its card), packet times from
// the card, a comment where a datagram was lost on the network or a frame by the card, and
// every record decoded by the dissector as in pcap.
TEST(BusDumpLive, PcapngOfTwoSendersReadByTshark) {
    if (std::system("tshark --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed (scripts/setup installs it: apt-get install tshark)";
    const std::string file = testing::TempDir() + "busdump_live_" + std::to_string(getpid()) + ".pcapng";
    busdump::Options options;
    options.count = 5;
    options.write_path = file;
    LiveRun run(options);
    ASSERT_TRUE(run.start()) << run.err.str();
    const auto stamped = [](uint64_t index, uint64_t stamp_us) {
        auto record = busdumptest::make_id_event(index);
        put_be(record, 13, 8, stamp_us);
        return record;
    };
    const auto lifesign = [](uint32_t serial) {
        auto record = busdumptest::make_lifesign();
        put_be(record, 19, 4, serial);
        return record;
    };
    boost::asio::io_context io;
    udp::socket a(io, udp::endpoint(udp::v4(), 0)), b(io, udp::endpoint(udp::v4(), 0));
    const udp::endpoint to(boost::asio::ip::make_address_v4("127.0.0.1"), run.dump->local_port());
    const std::vector<std::pair<udp::socket*, std::vector<uint8_t>>> sent = {
        {&a, busdumptest::make_datagram(1, {lifesign(0xA0000001), stamped(41, 1700000000000001)})},
        {&b, busdumptest::make_datagram(1, {stamped(7, 1700000000500000)})},
        {&a, busdumptest::make_datagram(2, {stamped(42, 1700000001000000)})},
        {&b, busdumptest::make_datagram(2, {lifesign(0xB0000002), stamped(9, 1700000002000000)})},
        {&a, busdumptest::make_datagram(4, {stamped(43, 1700000003000000)})},
    };
    for (const auto& [socket, bytes] : sent) socket->send_to(boost::asio::buffer(bytes), to);
    ASSERT_TRUE(run.join());

    const std::string fields_path = testing::TempDir() + "busdump_tshark_ng_" + std::to_string(getpid()) + ".txt";
    const std::string command =
        "tshark -n -r " + file + " -X lua_script:" BUSGATE_SOURCE_DIR "/contrib/wireshark/busgate.lua" +
        " -T fields -E 'separator=|' -e frame.interface_id -e frame.interface_name -e frame.time_epoch"
        " -e busgate.seq -e busgate.event.index -e frame.comment > " + fields_path + " 2>" + fields_path + ".err";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(fields_path);
    std::vector<std::string> rows;
    for (std::string row; std::getline(in, row);) rows.push_back(row);
    const std::string name_a = "busgate 127.0.0.1:" + std::to_string(a.local_endpoint().port()) + " sn 0xa0000001";
    const std::string name_b = "busgate 127.0.0.1:" + std::to_string(b.local_endpoint().port()) + " sn 0xb0000002";
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "0|" + name_a + "|1700000000.000001000|1|41|",
                        "0|" + name_a + "|1700000001.000000000|2|42|",
                        "1|" + name_b + "|1700000000.500000000|1|7|",
                        "1|" + name_b + "|1700000002.000000000|2|9|loss, card: 1 frame(s) missing before an event of "
                                                             "this datagram (event index 7 then 9)",
                        "0|" + name_a + "|1700000003.000000000|4|43|loss, network: 1 datagram(s) missing before this "
                                                             "one (sequence 2 then 4)",
                    }));
    std::remove(file.c_str());
    std::remove(fields_path.c_str());
}
