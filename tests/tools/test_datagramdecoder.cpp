#include <gtest/gtest.h>

#include <random>
#include <string>

#include "common/driver/eventrecord.h"
#include "tests/support/blockbuilder.h"
#include "tests/tools/datagrambytes.h"
#include "tools/busdump/datagramdecoder.h"

using busdump::DatagramDecoder;
using busdump::DecodedDatagram;
using busdump::FcsResult;
using busdump::RecordKind;
using busdumptest::make_datagram;
using busdumptest::put_be;

namespace {

DecodedDatagram decode(const std::vector<uint8_t>& bytes) { return DatagramDecoder::decode(bytes.data(), bytes.size()); }

}  // namespace

TEST(DatagramDecoder, HeaderAndEveryEventField) {
    const auto frame = testsupport::make_frame(0x03, {0x12, 0x34}, 2);
    linkscope::EventHeader header;
    header.status = linkscope::make_status(2, 5, linkscope::STATUS_BIT0 | linkscope::STATUS_BIT3 | linkscope::STATUS_BIT5);
    header.index = 0x0102030405060708ull;
    header.timestamp = 1765141445123456ull;
    header.time_a = 0xABCDEF;
    header.time_b = 0x012345;
    std::vector<uint8_t> record;
    linkscope::append_event_record(record, header, frame.data(), frame.size());

    const auto d = decode(make_datagram(0x1122334455667788ull, {record}));
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_TRUE(d.header_valid);
    EXPECT_EQ(d.sequence, 0x1122334455667788ull);
    EXPECT_EQ(d.record_count, 1u);
    ASSERT_EQ(d.records.size(), 1u);
    const auto& r = d.records[0];
    EXPECT_EQ(r.kind, RecordKind::event);
    EXPECT_EQ(r.offset, 16u);
    EXPECT_EQ(r.length, 35u);
    const auto& e = r.event;
    EXPECT_EQ(e.index, 0x0102030405060708ull);
    EXPECT_EQ(e.timestamp_us, 1765141445123456ull);
    EXPECT_EQ(e.time_a, 0xABCDEFu);
    EXPECT_EQ(e.time_b, 0x012345u);
    EXPECT_EQ(e.status, header.status);
    EXPECT_EQ(e.rx_errors, 0x9);  // bits 0 and 3
    EXPECT_EQ(e.flags, 0x2);      // bit 5
    EXPECT_EQ(e.fcs_mode, 2);
    EXPECT_EQ(e.period_code, 5);
    ASSERT_TRUE(e.control.has_value());
    EXPECT_EQ(*e.control, 0x03);
    ASSERT_TRUE(e.identifier.has_value());
    EXPECT_EQ(*e.identifier, 0x1234);
    EXPECT_EQ(e.frame_length, 5u);
    EXPECT_EQ(e.data_length, 2u);
    EXPECT_EQ(e.fcs, FcsResult::ok);
    EXPECT_EQ(e.fcs_carried, e.fcs_computed);
}

struct FcsCase {
    const char* name;
    uint8_t written_mode;  // mode the FCS bytes were computed for
    uint8_t status_mode;   // mode the status word announces
    std::size_t body;      // bytes between control byte and FCS
    FcsResult expected;
};

class DecoderFcs : public testing::TestWithParam<FcsCase> {};

TEST_P(DecoderFcs, FrameCheckResult) {
    const FcsCase& c = GetParam();
    const auto frame = testsupport::make_frame(0x02, std::vector<uint8_t>(c.body, 0x40), c.written_mode);
    const auto record = testsupport::make_record(frame, 7, 0, linkscope::make_status(c.status_mode, 0));
    const auto d = decode(make_datagram(1, {record}));
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_EQ(d.records.at(0).event.fcs, c.expected);
    EXPECT_FALSE(d.records[0].event.identifier.has_value()) << "RP_DAT carries no identifier";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, DecoderFcs,
    testing::Values(FcsCase{"Mode1Correct", 1, 1, 3, FcsResult::ok}, FcsCase{"Mode2Correct", 2, 2, 3, FcsResult::ok},
                    FcsCase{"Mode1BytesUnderMode2", 1, 2, 3, FcsResult::bad},
                    FcsCase{"Mode2BytesUnderMode1", 2, 1, 3, FcsResult::bad},
                    FcsCase{"Mode0", 2, 0, 3, FcsResult::no_mode}, FcsCase{"Mode3", 2, 3, 3, FcsResult::no_mode},
                    FcsCase{"ControlAndFcsOnly", 2, 2, 0, FcsResult::ok}),
    [](const testing::TestParamInfo<FcsCase>& info) { return std::string(info.param.name); });

TEST(DatagramDecoder, WrongFcsBytesAreBadWithBothValues) {
    const auto frame = testsupport::make_frame(0x03, {0x90, 0x80}, 2, false);
    const auto d = decode(make_datagram(1, {testsupport::make_record(frame, 1)}));
    ASSERT_TRUE(d.ok());
    const auto& e = d.records.at(0).event;
    EXPECT_EQ(e.fcs, FcsResult::bad);
    EXPECT_NE(e.fcs_carried, e.fcs_computed);
    EXPECT_EQ(e.fcs_carried, (frame[3] << 8) | frame[4]);
}

TEST(DatagramDecoder, FramesTooShortForAnFcs) {
    const std::vector<uint8_t> empty;
    const std::vector<uint8_t> two = {0x03, 0x90};
    const auto d = decode(make_datagram(1, {testsupport::make_record(empty, 1), testsupport::make_record(two, 2)}));
    ASSERT_TRUE(d.ok()) << d.error;
    ASSERT_EQ(d.records.size(), 2u);
    EXPECT_FALSE(d.records[0].event.control.has_value());
    EXPECT_EQ(d.records[0].event.frame_length, 0u);
    EXPECT_EQ(d.records[0].event.fcs, FcsResult::short_frame);
    EXPECT_EQ(d.records[1].event.control, 0x03);
    EXPECT_FALSE(d.records[1].event.identifier.has_value()) << "one identifier byte is no identifier";
    EXPECT_EQ(d.records[1].event.data_length, 0u);
    EXPECT_EQ(d.records[1].event.fcs, FcsResult::short_frame);
}

TEST(DatagramDecoder, IdentifierOnlyForKnownIdentifierFrames) {
    // 0x07 has the identifier bit but is no known control byte.
    const auto unknown = testsupport::make_frame(0x07, {0x12, 0x34});
    const auto id_msg = testsupport::make_frame(0x05, {0x12, 0x34});
    const auto d = decode(make_datagram(1, {testsupport::make_record(unknown, 1), testsupport::make_record(id_msg, 2)}));
    ASSERT_TRUE(d.ok());
    EXPECT_FALSE(d.records.at(0).event.identifier.has_value());
    EXPECT_EQ(d.records.at(1).event.identifier, 0x1234);
}

TEST(DatagramDecoder, LifesignBetweenEventsAndUnknownRecordsKeepTheirPlace) {
    auto lifesign = busdumptest::make_lifesign();
    put_be(lifesign, 7, 4, 42);       // lifesign_counter
    put_be(lifesign, 19, 4, 0xCAFE);  // card sn
    std::vector<uint8_t> unknown = {0x55, 0x00, 0x05, 0xAA, 0xBB};
    const auto d = decode(make_datagram(9, {busdumptest::make_id_event(1), lifesign, unknown,
                                            busdumptest::make_id_event(2)}));
    ASSERT_TRUE(d.ok()) << d.error;
    ASSERT_EQ(d.records.size(), 4u);
    EXPECT_EQ(d.records[0].kind, RecordKind::event);
    EXPECT_EQ(d.records[1].kind, RecordKind::lifesign);
    ASSERT_NE(d.records[1].lifesign, nullptr);
    EXPECT_EQ(d.records[1].lifesign->counter, 42u);
    EXPECT_EQ(d.records[1].lifesign->sn, 0xCAFEu);
    EXPECT_EQ(d.records[2].kind, RecordKind::unknown);
    EXPECT_EQ(d.records[2].type, 0x55);
    EXPECT_EQ(d.records[2].length, 5u);
    EXPECT_EQ(d.records[3].kind, RecordKind::event);
    EXPECT_EQ(d.records[3].event.index, 2u);
    EXPECT_EQ(d.records[3].offset, 16u + 35 + 323 + 5);
}

TEST(DatagramDecoder, HeaderWithoutRecords) {
    const auto d = decode(make_datagram(3, {}));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.sequence, 3u);
    EXPECT_TRUE(d.records.empty());
}

struct MalformedCase {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* reason;
    bool header_valid;
};

std::vector<uint8_t> with_byte(std::vector<uint8_t> bytes, std::size_t at, uint8_t value) {
    bytes.at(at) = value;
    return bytes;
}

std::vector<uint8_t> truncated(std::vector<uint8_t> bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

std::vector<MalformedCase> malformed_cases() {
    const auto event = busdumptest::make_id_event(1);
    const auto good = make_datagram(5, {event});
    std::vector<uint8_t> tiny_event = {0xC0, 0x00, 0x14};
    tiny_event.resize(20, 0);
    auto long_lifesign = busdumptest::make_lifesign();
    long_lifesign.push_back(0);
    put_be(long_lifesign, 1, 2, 324);
    auto trailing = good;
    trailing.insert(trailing.end(), {0xC0, 0x00});
    return {
        {"Empty", {}, "short header", false},
        {"FifteenBytes", truncated(good, 15), "short header", false},
        {"BadMagic", with_byte(good, 1, 'X'), "bad magic", false},
        {"BadMark", with_byte(good, 2, 0x02), "bad mark", false},
        {"ReservedSet", with_byte(good, 3, 0x01), "reserved", false},
        {"RecordPastTheEnd", truncated(good, good.size() - 1), "runs past the end", true},
        {"RecordLengthTwo", with_byte(with_byte(good, 17, 0), 18, 2), "below the minimum", true},
        {"RecordLengthZero", with_byte(with_byte(good, 17, 0), 18, 0), "below the minimum", true},
        {"TwoBytesLeft", trailing, "2 bytes left", true},
        {"CountTooHigh", make_datagram(5, 2, {event}), "record count 2", true},
        {"CountTooLow", make_datagram(5, 1, {event, event}), "record count 1", true},
        {"CountWithoutRecords", make_datagram(5, 1, {}), "record count 1", true},
        {"EventShorterThanHeader", make_datagram(5, {tiny_event}), "shorter than its 30-byte header", true},
        {"LifesignTooLong", make_datagram(5, {long_lifesign}), "lifesign record of 324 bytes", true},
        {"LifesignTooShort", make_datagram(5, {{0xC1, 0x00, 0x03}}), "lifesign record of 3 bytes", true},
    };
}

class DecoderMalformed : public testing::TestWithParam<MalformedCase> {};

TEST_P(DecoderMalformed, ReportedWithTheReasonAndNoRecords) {
    const MalformedCase& c = GetParam();
    const auto d = decode(c.bytes);
    EXPECT_FALSE(d.ok());
    EXPECT_NE(d.error.find(c.reason), std::string::npos) << d.error;
    EXPECT_TRUE(d.records.empty());
    EXPECT_EQ(d.header_valid, c.header_valid);
    if (c.header_valid) {
        EXPECT_EQ(d.sequence, 5u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DecoderMalformed, testing::ValuesIn(malformed_cases()),
                         [](const testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

TEST(DatagramDecoder, ErrorNamesTheRecordAndItsOffset) {
    auto bad = busdumptest::make_id_event(2);
    put_be(bad, 1, 2, 400);
    const auto d = decode(make_datagram(1, {busdumptest::make_id_event(1), bad}));
    EXPECT_NE(d.error.find("record 1 at offset 51"), std::string::npos) << d.error;
}

// busdump decodes every datagram into the same object: nothing of the one before may show through.
TEST(DatagramDecoder, DecodingIntoAReusedDatagramKeepsNothingOfThePreviousOne) {
    const auto sound = make_datagram(7, {busdumptest::make_id_event(1), busdumptest::make_lifesign(),
                                         busdumptest::make_id_event(2)});
    auto bad_record = busdumptest::make_id_event(3);
    put_be(bad_record, 1, 2, 400);
    const auto malformed = make_datagram(8, {busdumptest::make_id_event(1), bad_record});
    const std::vector<uint8_t> short_header(sound.begin(), sound.begin() + 5);
    const auto empty = make_datagram(9, {});

    DecodedDatagram reused;
    for (const auto* bytes : {&sound, &malformed, &short_header, &sound, &empty, &sound}) {
        DatagramDecoder::decode_into(bytes->data(), bytes->size(), reused);
        const DecodedDatagram fresh = decode(*bytes);
        EXPECT_EQ(reused.size, fresh.size);
        EXPECT_EQ(reused.header_valid, fresh.header_valid);
        EXPECT_EQ(reused.sequence, fresh.sequence);
        EXPECT_EQ(reused.record_count, fresh.record_count);
        EXPECT_EQ(reused.error, fresh.error);
        EXPECT_EQ(reused.bytes, *bytes);
        ASSERT_EQ(reused.records.size(), fresh.records.size());
        for (std::size_t i = 0; i < fresh.records.size(); ++i) {
            EXPECT_EQ(reused.records[i].kind, fresh.records[i].kind);
            EXPECT_EQ(reused.records[i].offset, fresh.records[i].offset);
            EXPECT_EQ(reused.records[i].event.index, fresh.records[i].event.index);
            EXPECT_EQ(reused.records[i].lifesign != nullptr, fresh.records[i].lifesign != nullptr);
        }
    }
}

// Mangled copies of a sound datagram: the decoder must stay inside the bytes it was given
// (AddressSanitizer sees every stray read) and agree with itself about soundness.
TEST(DatagramDecoder, SurvivesMangledDatagrams) {
    auto lifesign = busdumptest::make_lifesign();
    const auto good = make_datagram(1, {busdumptest::make_id_event(1), lifesign, busdumptest::make_id_event(2)});
    std::mt19937 random(12345);
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> bytes(good.begin(), good.begin() + static_cast<long>(random() % (good.size() + 1)));
        const int flips = static_cast<int>(random() % 4);
        for (int f = 0; f < flips && !bytes.empty(); ++f)
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        // Heap copy of exactly the bytes, so that a read past the end is caught.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        const auto d = DatagramDecoder::decode(exact.get(), bytes.size());
        EXPECT_EQ(d.ok(), d.error.empty());
        if (d.ok()) {
            EXPECT_EQ(d.records.size(), d.record_count);
        } else {
            EXPECT_TRUE(d.records.empty());
        }
    }
}
