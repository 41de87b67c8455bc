// Frame bytes in the readable and JSON lines, the response's identifier, the per-sender lines,
// and the record filters, read back by parsing.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/support/blockbuilder.h"
#include "tests/tools/datagrambytes.h"
#include "tests/tools/jsonline.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/recordfilter.h"
#include "tools/busdump/sourcetable.h"
#include "tools/busdump/textformatter.h"

using busdump::Arrival;
using busdump::DatagramDecoder;
using busdump::DecodedDatagram;
using busdump::Options;
using busdump::RecordFilter;
using busdumptest::JsonValue;

namespace {

using Object = std::map<std::string, JsonValue>;

Object parse(const std::string& line) {
    Object object;
    std::string error;
    EXPECT_TRUE(busdumptest::parse_json_line(line.substr(0, line.size() - 1), object, error)) << error << "\n" << line;
    return object;
}

// The text after `key` up to the end of the line: "data: 01 02" gives "01 02".
std::string field_after(const std::string& line, const std::string& key) {
    const std::size_t at = line.find(key);
    if (at == std::string::npos) return "<missing>";
    std::string rest = line.substr(at + key.size());
    if (!rest.empty() && rest.back() == '\n') rest.pop_back();
    return rest;
}

// An ID_DAT 0x0202, its RP_DAT with three data bytes, an ID_DAT 0x9080 and its RP_DAT (wrong
// frame check), a frame with an unknown control byte and a lifesign, all from one sender.
struct Stream {
    DecodedDatagram datagram;
    Arrival arrival{1765141445000000, "127.0.0.1:40000", 1, 0x4C530001};

    Stream() {
        using testsupport::make_record;
        const std::vector<std::vector<uint8_t>> records = {
            busdumptest::make_id_event(10, 0x0202),
            make_record(testsupport::make_response_frame({0xAB, 0xCD, 0xEF}), 11),
            busdumptest::make_id_event(12, 0x9080),
            make_record(testsupport::make_response_frame({0x01}, 2, false), 13),
            make_record(testsupport::make_frame(0x77, {0x55}), 14),
            busdumptest::make_lifesign(),
        };
        const auto bytes = busdumptest::make_datagram(5, records);
        datagram = DatagramDecoder::decode(bytes.data(), bytes.size());
        busdump::Source source(1, busdump::SenderId("127.0.0.1", 40000));
        source.observe(datagram, 0);
    }

    // Positions of the records that `options` lets through.
    std::vector<std::size_t> shown(const Options& options) const {
        const RecordFilter filter(options);
        std::vector<std::size_t> out;
        for (std::size_t i = 0; i < datagram.records.size(); ++i)
            if (filter.shows(datagram.records[i])) out.push_back(i);
        return out;
    }
};

}  // namespace

TEST(FrameBytes, TextShowsTheDataBytesOrTheWholeFrameWhenVerbose) {
    const Stream s;
    ASSERT_TRUE(s.datagram.ok()) << s.datagram.error;
    const std::string plain = busdump::TextFormatter().record(s.arrival, s.datagram, 1);
    // A response frame: control, PDU type 0x40, length byte, the values, then the FCS.
    EXPECT_EQ(field_after(plain, " data: "), "40 03 ab cd ef") << plain;
    EXPECT_NE(plain.find("[#1 5:1] "), std::string::npos) << plain;
    EXPECT_NE(plain.find("ctrl 0x02 RP_DAT for id 0x0202 "), std::string::npos) << plain;

    const std::string verbose = busdump::TextFormatter(true).record(s.arrival, s.datagram, 1);
    const auto& e = s.datagram.records[1].event;
    char fcs[8];
    std::snprintf(fcs, sizeof fcs, "%02x %02x", e.fcs_carried >> 8, e.fcs_carried & 0xFF);
    EXPECT_EQ(field_after(verbose, " frame: "), std::string("02 40 03 ab cd ef ") + fcs) << verbose;
    EXPECT_EQ(verbose.find(" data: "), std::string::npos);
    EXPECT_EQ(field_after(busdump::TextFormatter().record(s.arrival, s.datagram, 0), " data: "), "02 02");
}

TEST(FrameBytes, JsonCarriesDataHexAndTheResponsesIdentifier) {
    const Stream s;
    const Object response = parse(busdump::JsonFormatter().record(s.arrival, s.datagram, 1));
    EXPECT_EQ(response.at("data").text, "4003abcdef");
    EXPECT_EQ(response.at("response_to").text, "514");
    EXPECT_EQ(response.at("source").text, "127.0.0.1:40000");
    EXPECT_EQ(response.count("frame"), 0u) << "the whole frame only when verbose";
    const Object id = parse(busdump::JsonFormatter(true).record(s.arrival, s.datagram, 2));
    EXPECT_EQ(id.at("data").text, "9080");
    EXPECT_EQ(id.at("frame").text.substr(0, 6), "039080");
    EXPECT_EQ(id.at("frame").text.size(), 10u);
    EXPECT_EQ(id.at("response_to").type, JsonValue::Type::null);
}

TEST(FrameBytes, NoticesAndTotalsNameTheSender) {
    busdump::Source source(1, busdump::SenderId("127.0.0.1", 40000));
    auto gap = busdumptest::make_datagram(1, {busdumptest::make_id_event(1)});
    auto after = busdumptest::make_datagram(4, {busdumptest::make_id_event(2)});
    DecodedDatagram d1 = DatagramDecoder::decode(gap.data(), gap.size());
    DecodedDatagram d2 = DatagramDecoder::decode(after.data(), after.size());
    source.observe(d1, 10);
    const auto notices = source.observe(d2, 20);
    ASSERT_EQ(notices.size(), 1u);
    const Arrival arrival{20, "127.0.0.1:40000", 1, 0x4C530002};
    EXPECT_EQ(busdump::TextFormatter().notice(arrival, d2, notices[0]),
              "!! #1 127.0.0.1:40000 sn 0x4c530002: sequence gap: 1 -> 4, 2 datagram(s) lost\n");
    const Object json = parse(busdump::JsonFormatter().notice(arrival, d2, notices[0]));
    EXPECT_EQ(json.at("source_number").text, "1");
    EXPECT_EQ(json.at("sn").text, std::to_string(0x4C530002));

    const Object totals = parse(busdump::JsonFormatter().source_totals(source));
    EXPECT_EQ(totals.at("type").text, "source_totals");
    EXPECT_EQ(totals.at("source").text, "127.0.0.1:40000");
    EXPECT_EQ(totals.at("sn").type, JsonValue::Type::null) << "no lifesign came";
    EXPECT_EQ(totals.at("datagrams").text, "2");
    EXPECT_EQ(totals.at("datagrams_lost").text, "2");
    EXPECT_EQ(totals.at("first_rx_time_us").text, "10");
    EXPECT_EQ(totals.at("last_rx_time_us").text, "20");
    const std::string text = busdump::TextFormatter().source_totals(source);
    EXPECT_EQ(text.rfind("totals from #1 127.0.0.1:40000: 2 datagrams, 2 events, ", 0), 0u) << text;
}

TEST(RecordFilters, EachFilterAndTheirCombination) {
    const Stream s;
    Options all;
    EXPECT_EQ(s.shown(all), (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
    Options by_id;
    by_id.identifiers = {0x9080};
    EXPECT_EQ(s.shown(by_id), (std::vector<std::size_t>{2, 3})) << "the ID frame and its response";
    Options by_control;
    by_control.controls = {0x02};
    EXPECT_EQ(s.shown(by_control), (std::vector<std::size_t>{1, 3}));
    Options errors;
    errors.errors_only = true;
    EXPECT_EQ(s.shown(errors), (std::vector<std::size_t>{3, 4})) << "bad frame check, unknown control byte";
    Options lifesigns;
    lifesigns.lifesigns_only = true;
    EXPECT_EQ(s.shown(lifesigns), std::vector<std::size_t>{5});
    Options both;
    both.identifiers = {0x0202, 0x9080};
    both.controls = {0x02};
    EXPECT_EQ(s.shown(both), (std::vector<std::size_t>{1, 3})) << "every filter must hold";
    both.errors_only = true;
    EXPECT_EQ(s.shown(both), std::vector<std::size_t>{3});
}
