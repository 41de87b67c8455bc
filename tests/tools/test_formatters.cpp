#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "common/driver/eventrecord.h"
#include "tests/support/blockbuilder.h"
#include "tests/tools/datagrambytes.h"
#include "tests/tools/jsonline.h"
#include "tools/busdump/datagramdecoder.h"
#include "tools/busdump/jsonformatter.h"
#include "tools/busdump/jsonobject.h"
#include "tools/busdump/streamtracker.h"
#include "tools/busdump/textformatter.h"

using busdump::Arrival;
using busdump::DatagramDecoder;
using busdump::DecodedDatagram;
using busdumptest::JsonValue;
using busdumptest::put_be;

namespace {

using Object = std::map<std::string, JsonValue>;

Object parse(const std::string& line) {
    Object object;
    std::string error;
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    EXPECT_TRUE(busdumptest::parse_json_line(line.substr(0, line.size() - 1), object, error)) << error << "\n" << line;
    return object;
}

std::string number(const Object& o, const std::string& key) {
    const auto it = o.find(key);
    if (it == o.end()) return "<missing>";
    if (it->second.type != JsonValue::Type::number) return "<not a number>";
    return it->second.text;
}

std::string string_field(const Object& o, const std::string& key) {
    const auto it = o.find(key);
    if (it == o.end()) return "<missing>";
    if (it->second.type != JsonValue::Type::string) return "<not a string>";
    return it->second.text;
}

bool is_null(const Object& o, const std::string& key) {
    const auto it = o.find(key);
    return it != o.end() && it->second.type == JsonValue::Type::null;
}

DecodedDatagram decode(const std::vector<uint8_t>& bytes) { return DatagramDecoder::decode(bytes.data(), bytes.size()); }

const Arrival ARRIVAL{1765141445000000, "127.0.0.1:40000"};

uint32_t float_bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Every lifesign field: where it lies, its width and how it is read.
struct LifesignField {
    const char* name;
    std::size_t offset;
    std::size_t size;
    enum Kind { unsigned_int, signed_int, real } kind;
};

const LifesignField LIFESIGN_FIELDS[] = {
    {"counter", 7, 4, LifesignField::unsigned_int},
    {"created_us", 11, 8, LifesignField::signed_int},
    {"sn", 19, 4, LifesignField::unsigned_int},
    {"cpu_load", 23, 4, LifesignField::real},
    {"cpu_temperature", 27, 4, LifesignField::real},
    {"storage_total", 31, 4, LifesignField::unsigned_int},
    {"storage_used", 35, 4, LifesignField::unsigned_int},
    {"storage_available", 39, 4, LifesignField::unsigned_int},
    {"storage_used_pct", 43, 4, LifesignField::real},
    {"ram_total", 47, 4, LifesignField::unsigned_int},
    {"ram_used", 51, 4, LifesignField::unsigned_int},
    {"ram_available", 55, 4, LifesignField::unsigned_int},
    {"ram_used_pct", 59, 4, LifesignField::real},
    {"buf_total", 63, 4, LifesignField::unsigned_int},
    {"buf_used", 67, 4, LifesignField::unsigned_int},
    {"buf_free", 71, 4, LifesignField::unsigned_int},
    {"buf_used_pct", 75, 4, LifesignField::real},
    {"net_is_active", 79, 1, LifesignField::unsigned_int},
    {"net_total_act_duration_us", 80, 8, LifesignField::signed_int},
    {"net_total_inact_duration_us", 88, 8, LifesignField::signed_int},
    {"net_last_start_date_us", 96, 8, LifesignField::signed_int},
    {"net_last_stop_date_us", 104, 8, LifesignField::signed_int},
    {"net_act_duration_us", 112, 8, LifesignField::signed_int},
    {"net_inact_duration_us", 120, 8, LifesignField::signed_int},
    {"net_act_loss_cnt", 128, 2, LifesignField::unsigned_int},
    {"net_pkt_rcvd_cnt", 134, 4, LifesignField::unsigned_int},
    {"net_pkt_rcvd_cnt_per_sec", 138, 4, LifesignField::unsigned_int},
    {"net_bytes_rcvd_cnt_per_sec", 146, 4, LifesignField::unsigned_int},
    {"net_pkt_sent_cnt", 154, 4, LifesignField::unsigned_int},
    {"net_pkt_sent_cnt_per_sec", 158, 4, LifesignField::unsigned_int},
    {"net_bytes_sent_cnt_per_sec", 166, 4, LifesignField::unsigned_int},
    {"card_is_active", 170, 1, LifesignField::unsigned_int},
    {"card_total_act_duration_us", 171, 8, LifesignField::signed_int},
    {"card_total_inact_duration_us", 179, 8, LifesignField::signed_int},
    {"card_last_start_date_us", 187, 8, LifesignField::signed_int},
    {"card_last_stop_date_us", 195, 8, LifesignField::signed_int},
    {"card_last_act_duration_us", 203, 8, LifesignField::signed_int},
    {"card_last_inact_duration_us", 211, 8, LifesignField::signed_int},
    {"card_act_loss_cnt", 219, 2, LifesignField::unsigned_int},
    {"card_frame_rcvd_cnt", 225, 4, LifesignField::unsigned_int},
    {"card_frame_rcvd_cnt_per_sec", 229, 4, LifesignField::unsigned_int},
    {"card_bytes_rcvd_cnt_per_sec", 237, 4, LifesignField::unsigned_int},
    {"card_fcs_mode", 241, 1, LifesignField::unsigned_int},
    {"card_aux", 242, 1, LifesignField::unsigned_int},
    {"status_b0_cnt", 243, 8, LifesignField::unsigned_int},
    {"status_b12_cnt", 251, 8, LifesignField::unsigned_int},
    {"status_b3_cnt", 259, 8, LifesignField::unsigned_int},
    {"unknown_ctrl_cnt", 267, 8, LifesignField::unsigned_int},
    {"fcs_err_cnt", 275, 8, LifesignField::unsigned_int},
    {"pdu_type_err_cnt", 283, 8, LifesignField::unsigned_int},
    {"length_err_cnt", 291, 8, LifesignField::unsigned_int},
    {"status_b6_cnt", 299, 8, LifesignField::unsigned_int},
    {"status_b5_cnt", 307, 8, LifesignField::unsigned_int},
    {"status_b4_cnt", 315, 8, LifesignField::unsigned_int},
};

// A value that fills the field's width and differs from every other field's.
std::string expected_text(const LifesignField& f) {
    switch (f.kind) {
        case LifesignField::real: {
            char text[32];
            std::snprintf(text, sizeof text, "%.9g", static_cast<double>(f.offset) + 0.25);
            return text;
        }
        case LifesignField::signed_int: return std::to_string(-static_cast<int64_t>(f.offset) * 1000000007LL);
        case LifesignField::unsigned_int: break;
    }
    if (f.size == 1) return std::to_string(f.offset & 0x7F);
    const uint64_t top = uint64_t{0x80} << (8 * (f.size - 1));
    return std::to_string(top + f.offset);
}

void write_field(std::vector<uint8_t>& record, const LifesignField& f) {
    switch (f.kind) {
        case LifesignField::real:
            put_be(record, f.offset, 4, float_bits(static_cast<float>(f.offset) + 0.25f));
            return;
        case LifesignField::signed_int:
            put_be(record, f.offset, 8, static_cast<uint64_t>(-static_cast<int64_t>(f.offset) * 1000000007LL));
            return;
        case LifesignField::unsigned_int: break;
    }
    put_be(record, f.offset, f.size, std::stoull(expected_text(f)));
}

std::vector<uint8_t> full_lifesign() {
    auto record = busdumptest::make_lifesign();
    for (const LifesignField& f : LIFESIGN_FIELDS) write_field(record, f);
    return record;
}

}  // namespace

class LifesignJson : public testing::TestWithParam<LifesignField> {};

TEST_P(LifesignJson, FieldHasItsValue) {
    const auto d = decode(busdumptest::make_datagram(4, {full_lifesign()}));
    ASSERT_TRUE(d.ok()) << d.error;
    const Object o = parse(busdump::JsonFormatter().record(ARRIVAL, d, 0));
    EXPECT_EQ(number(o, GetParam().name), expected_text(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(EveryField, LifesignJson, testing::ValuesIn(LIFESIGN_FIELDS),
                         [](const testing::TestParamInfo<LifesignField>& info) { return std::string(info.param.name); });

TEST(LifesignJsonRecord, CommonFieldsAndNothingUnlisted) {
    const auto d = decode(busdumptest::make_datagram(4, {full_lifesign()}));
    const Object o = parse(busdump::JsonFormatter().record(ARRIVAL, d, 0));
    EXPECT_EQ(string_field(o, "type"), "lifesign");
    EXPECT_EQ(number(o, "seq"), "4");
    EXPECT_EQ(number(o, "rec"), "0");
    EXPECT_EQ(number(o, "record_type"), "193");
    EXPECT_EQ(number(o, "length"), "323");
    EXPECT_EQ(string_field(o, "source"), "127.0.0.1:40000");
    EXPECT_EQ(o.size(), std::size(LIFESIGN_FIELDS) + 7) << "a field without a documented name";
}

TEST(LifesignJsonRecord, UnsetHostFiguresAreNull) {
    auto record = busdumptest::make_lifesign();
    put_be(record, 23, 4, 0x7FC00000);  // NaN, as sent before the host sampler reported
    put_be(record, 27, 4, 0x7F800000);  // +inf
    const auto d = decode(busdumptest::make_datagram(1, {record}));
    const Object o = parse(busdump::JsonFormatter().record(ARRIVAL, d, 0));
    EXPECT_TRUE(is_null(o, "cpu_load"));
    EXPECT_TRUE(is_null(o, "cpu_temperature"));
    EXPECT_NE(busdump::TextFormatter().record(ARRIVAL, d, 0).find("cpu n/a temp n/a"), std::string::npos);
}

TEST(EventJson, EveryFieldReadsBack) {
    const auto frame = testsupport::make_frame(0x03, {0x90, 0x80}, 1);
    linkscope::EventHeader header;
    header.status = linkscope::make_status(1, 6, linkscope::STATUS_BIT1 | linkscope::STATUS_BIT4 | linkscope::STATUS_BIT6);
    header.index = 18446744073709551615ull;
    header.timestamp = 1765141445123456ull;
    header.time_a = 0xFFFFFF;
    header.time_b = 7;
    std::vector<uint8_t> record;
    linkscope::append_event_record(record, header, frame.data(), frame.size());
    const auto d = decode(busdumptest::make_datagram(77, {record}));
    ASSERT_TRUE(d.ok()) << d.error;

    const Object o = parse(busdump::JsonFormatter().record(ARRIVAL, d, 0));
    EXPECT_EQ(string_field(o, "type"), "event");
    EXPECT_EQ(number(o, "seq"), "77");
    EXPECT_EQ(number(o, "rec"), "0");
    EXPECT_EQ(number(o, "rx_time_us"), "1765141445000000");
    EXPECT_EQ(number(o, "record_type"), "192");
    EXPECT_EQ(number(o, "length"), "35");
    EXPECT_EQ(number(o, "index"), "18446744073709551615");
    EXPECT_EQ(number(o, "timestamp_us"), "1765141445123456");
    EXPECT_EQ(number(o, "time_a"), "16777215");
    EXPECT_EQ(number(o, "time_b"), "7");
    EXPECT_EQ(number(o, "status"), std::to_string(header.status));
    EXPECT_EQ(number(o, "rx_errors"), "2");
    EXPECT_EQ(number(o, "flags"), "5");
    EXPECT_EQ(number(o, "fcs_mode"), "1");
    EXPECT_EQ(number(o, "period_code"), "6");
    EXPECT_EQ(number(o, "control"), "3");
    EXPECT_EQ(string_field(o, "control_name"), "ID_DAT");
    EXPECT_EQ(number(o, "identifier"), std::to_string(0x9080));
    EXPECT_EQ(number(o, "frame_length"), "5");
    EXPECT_EQ(number(o, "data_length"), "2");
    EXPECT_EQ(string_field(o, "fcs"), "ok");
    const std::string fcs = std::to_string((frame[3] << 8) | frame[4]);
    EXPECT_EQ(number(o, "fcs_carried"), fcs);
    EXPECT_EQ(number(o, "fcs_computed"), fcs);
}

TEST(EventJson, AbsentValuesAreNull) {
    const std::vector<uint8_t> empty;
    const auto frame = testsupport::make_frame(0x77, {1, 2, 3}, 2);
    const auto d = decode(busdumptest::make_datagram(
        1, {testsupport::make_record(empty, 1), testsupport::make_record(frame, 2, 0, linkscope::make_status(0, 0))}));
    ASSERT_TRUE(d.ok());
    const Object none = parse(busdump::JsonFormatter().record(ARRIVAL, d, 0));
    EXPECT_TRUE(is_null(none, "control"));
    EXPECT_TRUE(is_null(none, "control_name"));
    EXPECT_TRUE(is_null(none, "identifier"));
    EXPECT_EQ(string_field(none, "fcs"), "short");
    EXPECT_TRUE(is_null(none, "fcs_carried"));
    const Object unknown = parse(busdump::JsonFormatter().record(ARRIVAL, d, 1));
    EXPECT_EQ(string_field(unknown, "control_name"), "unknown");
    EXPECT_EQ(string_field(unknown, "fcs"), "no_mode");
    EXPECT_TRUE(is_null(unknown, "fcs_computed"));
}

TEST(NoticeJson, MalformedCarriesTheReasonVerbatim) {
    std::vector<uint8_t> bytes = busdumptest::make_datagram(1, {});
    bytes[1] = 'X';
    const auto d = decode(bytes);
    busdump::StreamTracker tracker;
    const auto notices = tracker.observe(d);
    ASSERT_EQ(notices.size(), 1u);
    const Object o = parse(busdump::JsonFormatter().notice(ARRIVAL, d, notices[0]));
    EXPECT_EQ(string_field(o, "type"), "notice");
    EXPECT_EQ(string_field(o, "kind"), "malformed");
    EXPECT_TRUE(is_null(o, "seq"));
    EXPECT_EQ(string_field(o, "source"), "127.0.0.1:40000");
    EXPECT_EQ(number(o, "size"), "16");
    EXPECT_EQ(string_field(o, "error"), d.error);
    EXPECT_NE(d.error.find("\"LS\""), std::string::npos) << "the quotes must survive escaping";
}

TEST(NoticeJson, GapCarriesItsNumbers) {
    busdump::StreamTracker tracker;
    tracker.observe(decode(busdumptest::make_datagram(10, {})));
    const auto d = decode(busdumptest::make_datagram(13, {}));
    const auto notices = tracker.observe(d);
    ASSERT_EQ(notices.size(), 1u);
    const Object o = parse(busdump::JsonFormatter().notice(ARRIVAL, d, notices[0]));
    EXPECT_EQ(string_field(o, "kind"), "sequence_gap");
    EXPECT_EQ(number(o, "seq"), "13");
    EXPECT_EQ(number(o, "from"), "10");
    EXPECT_EQ(number(o, "to"), "13");
    EXPECT_EQ(number(o, "lost"), "2");
}

TEST(StatsJson, RatesUseTheIntervalLength) {
    busdump::StatsMeter meter(0);
    const auto d = decode(busdumptest::make_datagram(1, {busdumptest::make_id_event(1), busdumptest::make_lifesign()}));
    meter.count(d, {});
    meter.arrived(500000);
    meter.count(d, {});
    meter.arrived(1500000);
    const Object o = parse(busdump::JsonFormatter().stats(meter.take_interval(2000000)));
    EXPECT_EQ(string_field(o, "type"), "stats");
    EXPECT_EQ(number(o, "datagrams"), "2");
    EXPECT_EQ(number(o, "datagrams_per_sec"), "1");
    EXPECT_EQ(number(o, "events_per_sec"), "1");
    EXPECT_EQ(number(o, "lifesigns_per_sec"), "1");
    EXPECT_EQ(number(o, "bytes_per_sec"), std::to_string(d.size));
    const Object totals = parse(busdump::JsonFormatter().totals(meter.totals(4000000)));
    EXPECT_EQ(number(totals, "records"), "4");
    EXPECT_EQ(number(totals, "seconds"), "4");
    EXPECT_EQ(number(totals, "first_rx_time_us"), "500000");
    EXPECT_EQ(number(totals, "last_rx_time_us"), "1500000");
}

TEST(JsonObject, EscapesEverythingOutsidePrintableAscii) {
    const std::string nasty = std::string("a\"b\\c\n\t") + '\x01' + '\x7f' + '\xe9';
    busdump::JsonObject o;
    o.add("text", nasty);
    Object parsed;
    std::string error;
    ASSERT_TRUE(busdumptest::parse_json_line(o.str(), parsed, error)) << error;
    EXPECT_EQ(parsed["text"].text, nasty);
    for (const char c : o.str()) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "raw byte in output";
}

TEST(JsonObject, PlainRunsAndIntegersAreCopiedWhole) {
    busdump::JsonObject o;
    o.add("first", "x\"plain run\"").add("", "").add("max", UINT64_MAX).add("min", INT64_MIN).add("zero", 0);
    EXPECT_EQ(o.str(), "{\"first\":\"x\\\"plain run\\\"\",\"\":\"\",\"max\":18446744073709551615,"
                       "\"min\":-9223372036854775808,\"zero\":0}");
}

TEST(JsonObject, DoublesReadAsPrintfNineDigits) {
    for (const double value : {0.0, -0.0, 0.1, 1e-7, 4997.45025, 123456789012.0, 1e300, -2.5e-300, 20044.7992}) {
        char expected[40];
        std::snprintf(expected, sizeof expected, "{\"v\":%.9g}", value);
        EXPECT_EQ(busdump::JsonObject().add("v", value).str(), expected);
    }
}

TEST(TextFormat, EventLineShowsTheFacts) {
    const auto bad = testsupport::make_frame(0x03, {0x90, 0x80}, 2, false);
    const auto d = decode(busdumptest::make_datagram(8, {testsupport::make_record(bad, 41, 0,
        linkscope::make_status(2, 3, linkscope::STATUS_BIT0))}));
    const std::string line = busdump::TextFormatter().record(ARRIVAL, d, 0);
    const auto& e = d.records.at(0).event;
    char fcs[64];
    std::snprintf(fcs, sizeof fcs, "fcs BAD (carried 0x%04x, computed 0x%04x)", e.fcs_carried, e.fcs_computed);
    for (const std::string& part : std::vector<std::string>{"[8:0] event index 41 ", "ctrl 0x03 ID_DAT", "id 0x9080", "rx_error b0",
                                   "fcs_mode 2 period 3", "frame 5 data 2", fcs})
        EXPECT_NE(line.find(part), std::string::npos) << part << " not in " << line;
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line per record";
}

TEST(TextFormat, LifesignIsOneLine) {
    const auto d = decode(busdumptest::make_datagram(4, {full_lifesign()}));
    const std::string line = busdump::TextFormatter().record(ARRIVAL, d, 0);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    EXPECT_NE(line.find("lifesign 2147483655 "), std::string::npos) << line;  // 0x80000000 + 7
    EXPECT_NE(line.find("b4 " + expected_text(LIFESIGN_FIELDS[std::size(LIFESIGN_FIELDS) - 1])), std::string::npos);
}

TEST(TextFormat, MalformedLineNamesSenderAndReason) {
    const auto d = decode(busdumptest::make_datagram(3, 2, {}));
    busdump::StreamTracker tracker;
    const auto notices = tracker.observe(d);
    const std::string line = busdump::TextFormatter().notice(ARRIVAL, d, notices.at(0));
    EXPECT_NE(line.find("malformed datagram (sequence 3, 16 bytes from 127.0.0.1:40000)"), std::string::npos) << line;
    EXPECT_NE(line.find(d.error), std::string::npos);
}

// The output must be JSON to a standard parser too, not only to the reader above.
TEST(JsonOutput, StandardParserAcceptsEveryKindOfLine) {
    if (std::system("python3 -c 'import json' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
    auto nan_lifesign = busdumptest::make_lifesign();
    put_be(nan_lifesign, 23, 4, 0x7FC00000);
    const auto d = decode(busdumptest::make_datagram(
        2, {busdumptest::make_id_event(1), full_lifesign(), nan_lifesign, {0x42, 0x00, 0x03}}));
    ASSERT_TRUE(d.ok()) << d.error;
    const busdump::JsonFormatter f;
    std::string lines;
    for (std::size_t i = 0; i < d.records.size(); ++i) lines += f.record(ARRIVAL, d, i);
    std::vector<uint8_t> bad = busdumptest::make_datagram(3, {});
    bad[0] = 0xFF;
    const auto bad_d = decode(bad);
    busdump::StreamTracker tracker;
    for (const auto& n : tracker.observe(bad_d)) lines += f.notice(ARRIVAL, bad_d, n);
    busdump::StatsMeter meter(0);
    meter.count(d, {});
    lines += f.stats(meter.take_interval(1000000));
    lines += f.totals(meter.totals(1000000));

    const std::string path = testing::TempDir() + "busdump_json_lines_" + std::to_string(getpid()) + ".txt";
    std::ofstream(path) << lines;
    const std::string check =
        "python3 -c 'import json,sys\n"
        "def no_constants(name): raise ValueError(name)\n"
        "n = 0\n"
        "for line in open(sys.argv[1]):\n"
        "    obj = json.loads(line, parse_constant=no_constants)\n"
        "    assert isinstance(obj, dict) and \"type\" in obj\n"
        "    n += 1\n"
        "assert n == 7, n\n' " + path;
    EXPECT_EQ(std::system(check.c_str()), 0) << lines;
}
