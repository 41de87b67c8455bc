#include <gtest/gtest.h>

#include <functional>

#include "tools/busdump/mqttclient.h"
#include "tools/busdump/options.h"

using busdump::Options;

// A busdump built without libmosquitto (Windows) refuses --mqtt with one reason of its own.
#define SKIP_MQTT_ROW_WITHOUT_MQTT()                                                          \
    if (std::string(GetParam().name).rfind("Mqtt", 0) == 0 && !busdump::MqttClient::available()) \
    GTEST_SKIP() << "built without libmosquitto"

struct GoodLine {
    const char* name;
    std::vector<std::string> args;
    std::function<void(const Options&)> check;
};

class OptionsAccepted : public testing::TestWithParam<GoodLine> {};

TEST_P(OptionsAccepted, Parses) {
    SKIP_MQTT_ROW_WITHOUT_MQTT();
    Options o;
    std::string error;
    ASSERT_TRUE(Options::parse(GetParam().args, o, error)) << error;
    GetParam().check(o);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OptionsAccepted,
    testing::Values(
        GoodLine{"Defaults", {}, [](const Options& o) {
                     EXPECT_EQ(o.port, 57117);
                     EXPECT_EQ(o.bind, "0.0.0.0");
                     EXPECT_TRUE(o.group.empty());
                     EXPECT_FALSE(o.json);
                     EXPECT_FALSE(o.stats);
                     EXPECT_EQ(o.count, 0u);
                     EXPECT_EQ(o.seconds, 0.0);
                 }},
        GoodLine{"Everything", {"-p", "6000", "--bind", "127.0.0.1", "--group", "239.1.2.3", "--json", "--stats",
                                "-c", "10", "-t", "2.5", "-w", "out.pcap"},
                 [](const Options& o) {
                     EXPECT_EQ(o.port, 6000);
                     EXPECT_EQ(o.bind, "127.0.0.1");
                     EXPECT_EQ(o.group, "239.1.2.3");
                     EXPECT_TRUE(o.json);
                     EXPECT_TRUE(o.stats);
                     EXPECT_EQ(o.count, 10u);
                     EXPECT_DOUBLE_EQ(o.seconds, 2.5);
                     EXPECT_EQ(o.write_path, "out.pcap");
                 }},
        GoodLine{"InlineValues", {"--port=65535", "--bind=127.0.0.2"}, [](const Options& o) {
                     EXPECT_EQ(o.port, 65535);
                     EXPECT_EQ(o.bind, "127.0.0.2");
                 }},
        GoodLine{"FractionOfASecond", {"-t", ".5"}, [](const Options& o) { EXPECT_DOUBLE_EQ(o.seconds, 0.5); }},
        GoodLine{"Help", {"-h"}, [](const Options& o) { EXPECT_TRUE(o.help); }},
        GoodLine{"Ring", {"-w", "r/cap.pcap", "-C", "0.5", "-G", "3600", "-W", "24", "--disk-budget", "1000",
                          "--keep-dir", "k", "--keep-before", "0", "--keep-after", "90"},
                 [](const Options& o) {
                     EXPECT_TRUE(o.ring());
                     EXPECT_EQ(o.file_bytes, 500000u) << "megabytes of 10^6 bytes";
                     EXPECT_EQ(o.file_seconds, 3600u);
                     EXPECT_EQ(o.max_files, 24u);
                     EXPECT_EQ(o.budget_bytes, 1000000000u);
                     EXPECT_EQ(o.keep_dir, "k");
                     EXPECT_EQ(o.keep_before, 0.0);
                     EXPECT_EQ(o.keep_after, 90.0);
                 }},
        GoodLine{"OneFileWithoutRingOptions", {"-qw", "cap.pcap"}, [](const Options& o) {
                     EXPECT_FALSE(o.ring());
                     EXPECT_TRUE(o.quiet);
                 }},
        GoodLine{"KeepNowNeedsOnlyTheFolder", {"--keep-now", "--keep-dir", "k"}, [](const Options& o) {
                     EXPECT_TRUE(o.keep_now);
                     EXPECT_TRUE(o.write_path.empty());
                 }},
        GoodLine{"GroupedFlagsAndAttachedValues", {"-jsv", "-p6000", "-c10", "-ec", "12"}, [](const Options& o) {
                     EXPECT_TRUE(o.json && o.stats && o.verbose && o.errors_only);
                     EXPECT_EQ(o.port, 6000);
                     EXPECT_EQ(o.count, 12u) << "a later value wins";
                 }},
        GoodLine{"FormatWhateverTheName", {"-F", "pcapng", "-w", "cap.pcap"}, [](const Options& o) {
                     EXPECT_EQ(o.write_format, "pcapng");
                 }},
        GoodLine{"GroupEndingInAValueOption", {"-jw", "cap.pcap"}, [](const Options& o) {
                     EXPECT_TRUE(o.json);
                     EXPECT_EQ(o.write_path, "cap.pcap");
                 }},
        GoodLine{"UnambiguousLongPrefixes", {"--po=7000", "--verb", "--lif", "--tim", "0.5"}, [](const Options& o) {
                     EXPECT_EQ(o.port, 7000);
                     EXPECT_TRUE(o.verbose);
                     EXPECT_TRUE(o.lifesigns_only);
                     EXPECT_DOUBLE_EQ(o.seconds, 0.5);
                 }},
        GoodLine{"IdentifierListsAddUp", {"--id", "0x9080,514", "-i0x0203"}, [](const Options& o) {
                     EXPECT_EQ(o.identifiers, (std::vector<uint16_t>{0x9080, 0x0202, 0x0203}));
                 }},
        GoodLine{"ControlBytesByNumberOrName", {"--control=rp_dat,0x03", "-k", "ID_MSG"}, [](const Options& o) {
                     EXPECT_EQ(o.controls, (std::vector<uint8_t>{0x02, 0x03, 0x05}));
                 }},
        GoodLine{"MqttHostAlone", {"--mqtt", "broker.plant"}, [](const Options& o) {
                     EXPECT_EQ(o.mqtt.endpoint(), "broker.plant:1883");
                     EXPECT_EQ(o.mqtt.topic, "busgate");
                     EXPECT_FALSE(o.mqtt.tls());
                 }},
        GoodLine{"MqttEverything", {"--mqtt=10.0.0.5:8883", "--mqtt-topic", "site/a", "--mqtt-queue", "50",
                                    "--mqtt-user", "rx", "--mqtt-password-file", BUSGATE_SOURCE_DIR "/tests/tools/mqtt-password.txt",
                                    "--mqtt-cafile", "ca.pem", "--mqtt-cert", "c.pem", "--mqtt-key", "k.pem"},
                 [](const Options& o) {
                     EXPECT_EQ(o.mqtt.endpoint(), "10.0.0.5:8883");
                     EXPECT_EQ(o.mqtt.topic, "site/a");
                     EXPECT_EQ(o.mqtt.queue_limit, 50u);
                     // The first line of the file, without its end (CR LF here).
                     EXPECT_EQ(o.mqtt.password, "pa ss:word");
                     EXPECT_TRUE(o.mqtt.tls());
                 }},
        GoodLine{"MetricsPortOnLoopback", {"--metrics", "9717"}, [](const Options& o) {
                     EXPECT_EQ(o.metrics_address, "127.0.0.1");
                     EXPECT_EQ(o.metrics_port, 9717);
                     EXPECT_FALSE(o.analyze) << "the analysis runs for the metrics, the screen stays as it was";
                 }},
        GoodLine{"MetricsAddressAndPort", {"--metrics=0.0.0.0:65535"}, [](const Options& o) {
                     EXPECT_EQ(o.metrics_address, "0.0.0.0");
                     EXPECT_EQ(o.metrics_port, 65535);
                 }},
        GoodLine{"DoubleDashEndsTheOptions", {"-j", "--"}, [](const Options& o) { EXPECT_TRUE(o.json); }}),
    [](const testing::TestParamInfo<GoodLine>& info) { return std::string(info.param.name); });

struct BadLine {
    const char* name;
    std::vector<std::string> args;
    const char* reason;
};

class OptionsRefused : public testing::TestWithParam<BadLine> {};

TEST_P(OptionsRefused, SaysWhy) {
    SKIP_MQTT_ROW_WITHOUT_MQTT();
    Options o;
    std::string error;
    EXPECT_FALSE(Options::parse(GetParam().args, o, error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, OptionsRefused,
    testing::Values(BadLine{"PortZero", {"-p", "0"}, "1 to 65535"}, BadLine{"PortTooBig", {"-p", "65536"}, "1 to 65535"},
                    BadLine{"PortNegative", {"-p", "-1"}, "1 to 65535"},
                    BadLine{"PortTrailingText", {"-p", "80x"}, "1 to 65535"},
                    BadLine{"PortMissing", {"-p"}, "needs a value"},
                    BadLine{"RingWithoutFile", {"-C", "1"}, "need -w"},
                    BadLine{"FileCountAloneNeverCloses", {"-w", "c.pcap", "-W", "3"}, "files that close"},
                    BadLine{"KeepAloneNeverCloses", {"-w", "c.pcap", "--keep-dir", "k"}, "files that close"},
                    BadLine{"FileSmallerThanADatagram", {"-w", "c.pcap", "-C", "0.05"}, "0.1 or more"},
                    BadLine{"BudgetNotANumber", {"-w", "c.pcap", "--disk-budget", "1G"}, "megabytes"},
                    BadLine{"PeriodInFractions", {"-w", "c.pcap", "-G", "1.5"}, "whole seconds"},
                    BadLine{"KeepTimesWithoutFolder", {"-w", "c.pcap", "-C", "1", "--keep-after", "5"}, "need --keep-dir"},
                    BadLine{"KeepNowWithoutFolder", {"--keep-now"}, "needs --keep-dir"},
                    BadLine{"BindNotAnAddress", {"--bind", "localhost"}, "IPv4 address"},
                    BadLine{"BindTooManyParts", {"--bind", "1.2.3.4.5"}, "IPv4 address"},
                    BadLine{"GroupNotMulticast", {"--group", "10.1.2.3"}, "multicast"},
                    BadLine{"CountZero", {"-c", "0"}, "1 or more"},
                    BadLine{"CountHuge", {"-c", "99999999999999999999999"}, "1 or more"},
                    BadLine{"TimeZero", {"-t", "0"}, "more than 0"},
                    BadLine{"TimeNegative", {"-t", "-3"}, "more than 0"},
                    BadLine{"TimeNotANumber", {"-t", "nan"}, "more than 0"},
                    BadLine{"TimeInfinite", {"-t", "1e400"}, "more than 0"},
                    BadLine{"WriteEmpty", {"-w", ""}, "file name"},
                    BadLine{"FormatUnknown", {"-w", "a.pcapng", "-F", "pcapng2"}, "pcap or pcapng"},
                    BadLine{"FlagWithValue", {"--json=yes"}, "takes no value"},
                    BadLine{"Unknown", {"--colour"}, "unknown option '--colour'"},
                    BadLine{"UnknownInAGroup", {"-jx"}, "unknown option '-x' in '-jx'"},
                    BadLine{"AmbiguousPrefix", {"--co", "5"}, "ambiguous: --count, --control"},
                    BadLine{"PrefixOfAFlagWithValue", {"--verb=1"}, "--verbose takes no value"},
                    BadLine{"AttachedValueStillChecked", {"-p70000"}, "1 to 65535"},
                    BadLine{"GroupedValueMissing", {"-jp"}, "-p needs a value"},
                    BadLine{"Operand", {"-j", "57117"}, "unexpected argument '57117'"},
                    BadLine{"IdentifierTooBig", {"--id", "0x10000"}, "0 to 0xFFFF"},
                    BadLine{"IdentifierEmptyItem", {"--id", "0x10,"}, "0 to 0xFFFF"},
                    BadLine{"IdentifierNotHex", {"--id", "0xZZ"}, "0 to 0xFFFF"},
                    BadLine{"ControlUnknownName", {"--control", "RP_FOO"}, "names such as RP_DAT"},
                    BadLine{"ControlTooBig", {"-k", "256"}, "0 to 0xFF"},
                    BadLine{"MqttPortZero", {"--mqtt", "host:0"}, "HOST:PORT with a port"},
                    BadLine{"MqttNoHost", {"--mqtt", ":1883"}, "HOST or HOST:PORT"},
                    BadLine{"MqttTopicWildcard", {"--mqtt", "h", "--mqtt-topic", "a/#"}, "without '+', '#'"},
                    BadLine{"MqttTopicSlashEnd", {"--mqtt", "h", "--mqtt-topic", "a/"}, "without '+', '#'"},
                    BadLine{"MqttQueueZero", {"--mqtt", "h", "--mqtt-queue", "0"}, "1 to 1000000"},
                    BadLine{"MqttPasswordFileMissing", {"--mqtt", "h", "--mqtt-user", "u", "--mqtt-password-file",
                                                        "/nonexistent/pw"}, "cannot read the file"},
                    BadLine{"MqttPasswordWithoutUser", {"--mqtt", "h", "--mqtt-password-file",
                                                        BUSGATE_SOURCE_DIR "/tests/tools/mqtt-password.txt"}, "needs --mqtt-user"},
                    BadLine{"MqttDetailWithoutBroker", {"--mqtt-user", "u"}, "need --mqtt HOST"},
                    BadLine{"MqttKeyWithoutCert", {"--mqtt", "h", "--mqtt-cafile", "ca", "--mqtt-key", "k"}, "go together"},

                    BadLine{"MetricsPortZero", {"--metrics", "0"}, "[ADDR:]PORT"},
                    BadLine{"MetricsPortTooBig", {"--metrics", "127.0.0.1:65536"}, "[ADDR:]PORT"},
                    BadLine{"MetricsHostName", {"--metrics", "localhost:9717"}, "[ADDR:]PORT"},
                    BadLine{"MetricsPortMissing", {"--metrics", "127.0.0.1:"}, "[ADDR:]PORT"}),
    [](const testing::TestParamInfo<BadLine>& info) { return std::string(info.param.name); });

TEST(OptionsUsage, ListsEveryOptionByBothNames) {
    const std::string usage = Options::usage();
    for (const char* both : {"-p, --port", "-b, --bind", "-g, --group", "-j, --json", "-s, --stats", "-v, --verbose",
                             "-c, --count", "-t, --time", "-w, --write", "-F, --format", "-i, --id", "-k, --control", "-e, --errors",
                             "-l, --lifesigns", "-h, --help", "-V, --version"})
        EXPECT_NE(usage.find(both), std::string::npos) << both;
    // Every long name the usage shows is accepted as written.
    for (const char* flag : {"--json", "--stats", "--verbose", "--errors", "--lifesigns", "--help", "--version"}) {
        Options o;
        std::string error;
        EXPECT_TRUE(Options::parse({flag}, o, error)) << flag << ": " << error;
    }
}
