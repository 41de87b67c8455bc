#include <sstream>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "gateway/monitoring/monitoring.h"

using namespace boost::posix_time;

namespace {

const std::string GREEN = "\033[32m", BOLDGREEN = "\033[1m\033[32m", BOLDRED = "\033[1m\033[31m",
                  RESET = "\033[0m";

std::vector<std::string> lines_of(const std::string& screen) {
    std::vector<std::string> lines;
    std::istringstream in(screen);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

const ptime T0(boost::gregorian::date(2026, 12, 6),
               hours(23) + minutes(28) + seconds(51) + microseconds(123456));

Monitoring::Snapshot fixed_snapshot() {
    Monitoring::Snapshot s;
    SystemStats& host = s.system_stats;
    host.start_date = T0;
    host.cpu_load = 12.345678f;
    host.cpu_temperature = 45.678f;
    host.ram_total = 16000000;
    host.ram_used = 4000000;
    host.ram_available = 12000000;
    host.ram_used_pct = 25.0f;
    host.ram_available_pct = 75.0f;
    host.storage_total = 1000;
    host.storage_used = 333;
    host.storage_available = 667;
    host.storage_used_pct = 33.3333f;
    host.storage_available_pct = 66.6667f;

    FIPStats& card = s.fip_stats;
    card.buf_total = 52428800;  // exactly 50 MB
    card.buf_used = 1048577;    // just over 1 MB
    card.buf_free = 51380223;
    card.buf_used_pct = 2.0000019f;
    card.buf_free_pct = 97.99999f;
    card.init_date = T0;
    card.is_active = false;
    card.last_start_date = T0 + seconds(2);
    card.last_stop_date = T0 + seconds(3);
    card.last_act_duration = seconds(5);
    card.last_inact_duration = seconds(7);
    card.total_act_duration = hours(30);
    card.total_inact_duration = time_duration(not_a_date_time);
    card.act_loss_cnt = 0;
    card.frame_rcvd_cnt = 123;
    card.frame_rcvd_cnt_per_sec = 45;
    card.bytes_rcvd_cnt = 2147483648u;  // 2 GB
    card.bytes_rcvd_cnt_per_sec = 1048577;
    card.loss_evt_cnt = 1;
    card.lost_frame_cnt = 0;

    UDPStats& net = s.udp_stats;
    net.ip = "127.0.0.1";
    net.port = 57117;
    net.init_date = T0;
    net.is_active = true;
    net.last_start_date = T0 + seconds(1);
    net.last_stop_date = T0;  // never stopped
    net.act_duration = time_duration(1, 2, 3) + milliseconds(500);
    net.inact_duration = -seconds(1);
    net.total_act_duration = time_duration(not_a_date_time);
    net.total_inact_duration = seconds(0);
    net.act_loss_cnt = 3;
    net.pkt_sent_cnt = 1000;
    net.pkt_sent_cnt_per_sec = 10;
    net.bytes_sent_cnt = 1025;
    net.bytes_sent_cnt_per_sec = 1024;
    net.pkt_err_cnt = 2;
    net.pkt_err_cnt_per_sec = 1;
    return s;
}

}  // namespace

TEST(Dashboard, ScreenForFixedStatistics) {
    std::ostringstream out;
    Monitoring::print_screen(out, fixed_snapshot(), 7, 500);
    const std::vector<std::string> expected = {
        GREEN + "==> SERVICE INFOS" + RESET,
        "  Start date\t\t: 2026-Dec-06 23:28:51.123456",
        "  Duration\t\t: -",
        "  Ip\t\t\t: 127.0.0.1",
        "  Port\t\t\t: 57117",
        GREEN + "==> CPU INFOS" + RESET,
        "  Load\t\t\t: 12.3457 %",
        "  Temperature\t\t: 45.7 \xC2\xB0" "C",
        GREEN + "==> RAM INFOS" + RESET,
        "  Total\t\t\t: 16000000 KB",
        "  Used\t\t\t: 4000000 KB (25 %)",
        "  Available\t\t: 12000000 KB (75 %)",
        GREEN + "==> STORAGE INFOS" + RESET,
        "  Total\t\t\t: 1000 KB",
        "  Used\t\t\t: 333 KB (33.3 %)",
        "  Available\t\t: 667 KB (66.7 %)",
        GREEN + "==> BUFFERS (DISK) ex: sd-card" + RESET,
        "  Total\t\t\t: 50 MB",
        "  Used\t\t\t: 1 MB (2 %)",
        "  Available\t\t: 49 MB (98 %)",
        GREEN + "==> ETHERNET INFOS" + RESET,
        "  Is Active\t\t: " + BOLDGREEN + "YES" + RESET,
        "  Total Act duration\t: -",
        "  Total Inact duration\t: 00:00:00",
        "  Last start date\t: " + BOLDGREEN + "2026-Dec-06 23:28:52.123456" + RESET,
        "  Last stop date\t: -",
        "  Activity duration\t: " + BOLDGREEN + "01:02:03.500000" + RESET,
        "  Inactivity duration\t: -00:00:01",
        "  Loss Act count\t: " + BOLDRED + "3" + RESET,
        "  OUT [->]\t\t: 1000 pkts (10 pps) - 1.001 KB (1024 B/s)",
        "  IN  [<-]\t\t: 0 pkts (0 pps) - 0 B (0 B/s)",
        "  Errors\t\t: 2 errors (1 errors/s)",
        GREEN + "==> FIP INFOS" + RESET,
        "  Is Active\t\t: " + BOLDRED + "NO" + RESET,
        "  Total Act duration\t: 30:00:00",
        "  Total Inact duration\t: -",
        "  Last start date\t: 2026-Dec-06 23:28:53.123456",
        "  Last stop date\t: " + BOLDRED + "2026-Dec-06 23:28:54.123456" + RESET,
        "  Last Act duration\t: 00:00:05",
        "  Last Inact duration\t: " + BOLDRED + "00:00:07" + RESET,
        "  Loss Act count\t: 0",
        "  IN  [<-]\t\t: 123 frames (45 fps) - 2 GB (1 MB/s)",
        "  Loss Continuity event\t: " + BOLDRED + "1" + RESET + " (0 lost frames)",
        GREEN + "==> LIFESIGN INFOS " + RESET + "(T=500ms)",
        "  Counter\t\t: 7",
    };
    const std::vector<std::string> got = lines_of(out.str());
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
    EXPECT_EQ(out.str().back(), '\n');
}

TEST(Dashboard, LoadLineTakesThePrecisionLeftByThePreviousScreen) {
    std::ostringstream out;
    Monitoring::print_screen(out, fixed_snapshot(), 1, 500);
    out.str("");
    Monitoring::print_screen(out, fixed_snapshot(), 2, 500);
    EXPECT_EQ(lines_of(out.str()).at(6), "  Load\t\t\t: 12.35 %");
}

TEST(Dashboard, FirstScreenBeforeAnyNotification) {
    Monitoring idle(0, -1, nullptr);
    std::ostringstream out;
    Monitoring::print_screen(out, idle.snapshot(), idle.lifesign_count(), 0);
    const std::vector<std::string> got = lines_of(out.str());
    ASSERT_EQ(got.size(), 45u);
    EXPECT_EQ(got[1], "  Start date\t\t: -");
    EXPECT_EQ(got[2], "  Duration\t\t: -");
    EXPECT_EQ(got[3], "  Ip\t\t\t: Broadcast");
    EXPECT_EQ(got[4], "  Port\t\t\t: 0");
    EXPECT_EQ(got[6], "  Load\t\t\t: nan %");
    EXPECT_EQ(got[7], "  Temperature\t\t: nan \xC2\xB0" "C");
    EXPECT_EQ(got[10], "  Used\t\t\t: 0 KB (nan %)");
    EXPECT_EQ(got[13], "  Total\t\t\t: 0 KB");
    EXPECT_EQ(got[17], "  Total\t\t\t: 0 B");
    EXPECT_EQ(got[18], "  Used\t\t\t: 0 B (0 %)");
    for (std::size_t i : {21u, 33u}) EXPECT_EQ(got[i], "  Is Active\t\t: " + BOLDRED + "NO" + RESET);
    for (std::size_t i : {24u, 25u, 36u, 37u}) EXPECT_EQ(got[i].substr(got[i].size() - 3), ": -") << i;
    EXPECT_EQ(got[28], "  Loss Act count\t: 0");
    EXPECT_EQ(got[42], "  Loss Continuity event\t: 0 (0 lost frames)");
    EXPECT_EQ(got[43], GREEN + "==> LIFESIGN INFOS " + RESET + "(T=0ms)");
    EXPECT_EQ(got[44], "  Counter\t\t: 0");
}

TEST(Dashboard, ErrorCountsAreBoldRedUnlessZero) {
    std::ostringstream out;
    Monitoring::print_err_cnt(out, 0);
    out << "|";
    Monitoring::print_err_cnt(out, 4294967295u);
    EXPECT_EQ(out.str(), "0|" + BOLDRED + "4294967295" + RESET);
}

struct SizeCase {
    unsigned int bytes;
    float value;
    sz_scale scale;
};

class FormattedSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FormattedSize, ChoosesTheFirstUnitAboveOne) {
    float value = -1;
    sz_scale scale = SZ_TB;
    Monitoring::get_formatted_size_value(GetParam().bytes, &value, &scale);
    EXPECT_FLOAT_EQ(value, GetParam().value);
    EXPECT_EQ(scale, GetParam().scale);
    EXPECT_EQ(Monitoring::unit_table().count(scale), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FormattedSize,
    ::testing::Values(SizeCase{0, 0.0f, SZ_B}, SizeCase{1024, 1024.0f, SZ_B},
                      SizeCase{1025, 1025.0f / 1024, SZ_KB}, SizeCase{1048576, 1024.0f, SZ_KB},
                      SizeCase{1048577, 1.0000009f, SZ_MB}, SizeCase{1073741824u, 1024.0f, SZ_MB},
                      SizeCase{1073741825u, 1.0f, SZ_GB},
                      SizeCase{4294967295u, 4.0f, SZ_GB}));

TEST(FormattedSizeOutputs, NullPointerWritesNothing) {
    float value = 7;
    sz_scale scale = SZ_MB;
    Monitoring::get_formatted_size_value(5000, nullptr, &scale);
    Monitoring::get_formatted_size_value(5000, &value, nullptr);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(scale, SZ_MB);
}

TEST(UnitNames, FiveUnitsInOrder) {
    Monitoring idle(0, -1, nullptr);
    const std::map<sz_scale, std::string> expected = {
        {SZ_B, "B"}, {SZ_KB, "KB"}, {SZ_MB, "MB"}, {SZ_GB, "GB"}, {SZ_TB, "TB"}};
    EXPECT_EQ(idle.units(), expected);
}
