#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>


#include "busgate/version.h"
#include "gateway/appcfg.h"
#include "gateway/logger.h"
#include "gateway/settings.h"
#include "platform/console.h"
#include "tests/gateway/app/commandline.h"
#include "tests/gateway/app/helptext.h"
#include "tests/support/scratchdirectory.h"

namespace {

using apptest::run_load_settings;

using apptest::EXPECTED_HELP;

class SettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        release_cfg_strings(cfg);
        logger::is_colorized = false;
        take_settings_notes();
    }
};

TEST_F(SettingsTest, NoArgumentsGiveTheDefaults) {
    const auto result = run_load_settings({"busgated"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.go_on, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(cfg.index, -1);
    EXPECT_EQ(cfg.port, 57117);
    EXPECT_EQ(cfg.stats_per, -1);
    EXPECT_EQ(cfg.max_evt, 1000);
    EXPECT_EQ(cfg.daemon, 0);
    EXPECT_EQ(cfg.lifesign, 500);
    EXPECT_EQ(cfg.buf_size, 52428800);
    EXPECT_EQ(cfg.log_file, nullptr);
    EXPECT_EQ(cfg.buff_file, nullptr);
    EXPECT_EQ(cfg.conf_file, nullptr);
    EXPECT_EQ(cfg.ip_address, nullptr);
    EXPECT_TRUE(cfg.broadcast);
    EXPECT_FALSE(logger::is_colorized);
    EXPECT_STREQ(default_buffer_path, "/tmp/solvane/busrecorder/buffer.bin");
}

TEST_F(SettingsTest, VersionUsesTheBaseName) {
    const auto result = run_load_settings({"/usr/local/bin/busgated", "-v", "--bogus"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.go_on, 0);
    EXPECT_EQ(result.out, "busgated " BUSGATE_VERSION "\n");
    EXPECT_EQ(app_name, "busgated");
}

TEST_F(SettingsTest, VersionNamesAWindowsProgramWithoutFolderAndExtension) {
    const auto result = run_load_settings({"Z:\\work\\gateway\\busgated.EXE", "-v"});
    EXPECT_EQ(result.out, "busgated " BUSGATE_VERSION "\n") << "app name: " << app_name;
    EXPECT_EQ(run_load_settings({"C:/Program Files/busgated.exe", "-v"}).out, "busgated " BUSGATE_VERSION "\n");
}

TEST_F(SettingsTest, HelpTextByteForByte) {
    const auto result = run_load_settings({"./busgated", "--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.go_on, 0);
    EXPECT_EQ(result.out, EXPECTED_HELP);
}

TEST_F(SettingsTest, HelpEndsParsingBeforeAnUnknownOption) {
    const auto result = run_load_settings({"busgated", "-h", "-x"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, EXPECTED_HELP);
}

// Wrong command lines: the help text once, status 1, the run ends.
class BadCommandLineTest : public SettingsTest,
                           public ::testing::WithParamInterface<std::vector<const char*>> {};

TEST_P(BadCommandLineTest, PrintsHelpAndFails) {
    std::vector<std::string> words{"busgated"};
    words.insert(words.end(), GetParam().begin(), GetParam().end());
    const auto result = run_load_settings(words);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.go_on, 0);
    EXPECT_EQ(result.out, EXPECTED_HELP);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadCommandLineTest,
    ::testing::Values(std::vector<const char*>{"-x"}, std::vector<const char*>{"--buff_size=10"},
                      std::vector<const char*>{"--buf=10"}, std::vector<const char*>{"-p"},
                      std::vector<const char*>{"--port"}, std::vector<const char*>{"--daemon=1"},
                      std::vector<const char*>{"-a", "localhost"}, std::vector<const char*>{"-a", "10.0.0.256"},
                      std::vector<const char*>{"-i", "2", "--nothing"}));

TEST_F(SettingsTest, BadAddressNamesTheArgumentAndWhyBeforeTheHelp) {
    for (const char* address : {"localhost", "10.0.0.256"}) {
        const auto result = run_load_settings({"busgated", "-a", address});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, EXPECTED_HELP);
        EXPECT_EQ(result.err, std::string("busgated: -a '") + address +
                                  "': not a numeric IPv4 or IPv6 address (host names are not looked up)\n");
    }
}

// One option and how it sets the record.
struct OptionCase {
    const char* name;
    std::vector<const char*> words;
    std::function<void(const app_cfg&)> check;
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class OptionTest : public SettingsTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, SetsTheRecord) {
    const OptionCase& c = GetParam();
    std::vector<std::string> words{"busgated"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    const auto result = run_load_settings(words);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.go_on, 1);
    c.check(cfg);
}

const OptionCase OPTION_CASES[] = {
    {"Index", {"-i", "3"}, [](const app_cfg& c) { EXPECT_EQ(c.index, 3); }},
    {"IndexLong", {"--index=2"}, [](const app_cfg& c) { EXPECT_EQ(c.index, 2); }},
    {"PortNotANumber", {"-p", "abc"}, [](const app_cfg& c) { EXPECT_EQ(c.port, 57117); }},
    {"PortTrailingText", {"-p", "12abc"}, [](const app_cfg& c) { EXPECT_EQ(c.port, 12); }},
    {"PortLeadingBlanks", {"--port", "  4000"}, [](const app_cfg& c) { EXPECT_EQ(c.port, 4000); }},
    {"PortOutOfRangeThenGood", {"-p", "70000", "-p", "65535"}, [](const app_cfg& c) { EXPECT_EQ(c.port, 65535); }},
    {"Address",
     {"-a", "10.0.0.5"},
     [](const app_cfg& c) {
         ASSERT_NE(c.ip_address, nullptr);
         EXPECT_STREQ(c.ip_address, "10.0.0.5");
         EXPECT_FALSE(c.broadcast);
     }},
    {"AddressIPv6", {"--ip_address", "::1"}, [](const app_cfg& c) { EXPECT_STREQ(c.ip_address, "::1"); }},
    {"Daemon", {"-d"}, [](const app_cfg& c) { EXPECT_EQ(c.daemon, 1); }},
    {"StatsPeriod", {"-s", "250"}, [](const app_cfg& c) { EXPECT_EQ(c.stats_per, 250); }},
    // A "%ld" read must not spill into the next field.
    {"StatsPeriodNegativeKeepsMaxEvt",
     {"-s", "-1"},
     [](const app_cfg& c) {
         EXPECT_EQ(c.stats_per, -1);
         EXPECT_EQ(c.max_evt, 1000);
     }},
    {"LifesignNegativeKeepsBufSize",
     {"-R", "-7"},
     [](const app_cfg& c) {
         EXPECT_EQ(c.lifesign, -7);
         EXPECT_EQ(c.buf_size, 52428800);
     }},
    {"BufSizeNegativeKeepsStrings",
     {"-S", "-1", "-L", "/tmp/x.log"},
     [](const app_cfg& c) {
         EXPECT_EQ(c.buf_size, -1);
         EXPECT_STREQ(c.log_file, "/tmp/x.log");
         EXPECT_EQ(c.buff_file, nullptr);
     }},
    {"Lifesign", {"--lifesign", "100"}, [](const app_cfg& c) { EXPECT_EQ(c.lifesign, 100); }},
    {"MaxEvt", {"-M", "5"}, [](const app_cfg& c) { EXPECT_EQ(c.max_evt, 5); }},
    {"BufSize", {"--buf_size", "10"}, [](const app_cfg& c) { EXPECT_EQ(c.buf_size, 10); }},
    {"BufSizePrefix", {"--buf_s=11"}, [](const app_cfg& c) { EXPECT_EQ(c.buf_size, 11); }},
    {"BuffFile", {"-B", "/tmp/b.bin"}, [](const app_cfg& c) { EXPECT_STREQ(c.buff_file, "/tmp/b.bin"); }},
    {"ConfFile", {"--conf_file", "a.conf"}, [](const app_cfg& c) { EXPECT_STREQ(c.conf_file, "a.conf"); }},
    {"LogFile", {"-L", "a.log"}, [](const app_cfg& c) { EXPECT_STREQ(c.log_file, "a.log"); }},
    {"LastStringWins", {"-L", "a.log", "-L", "b.log"}, [](const app_cfg& c) { EXPECT_STREQ(c.log_file, "b.log"); }},
    {"LastNumberWins", {"-p", "1", "--port=2"}, [](const app_cfg& c) { EXPECT_EQ(c.port, 2); }},
    {"PidFileNoEffect",
     {"-P", "/nonexistent/x.pid"},
     [](const app_cfg& c) {
         EXPECT_EQ(c.log_file, nullptr);
         EXPECT_EQ(c.buff_file, nullptr);
         EXPECT_EQ(c.conf_file, nullptr);
         EXPECT_EQ(c.daemon, 0);
     }},
    {"NonOptionsIgnored", {"word", "-p", "9"}, [](const app_cfg& c) { EXPECT_EQ(c.port, 9); }},
};

INSTANTIATE_TEST_SUITE_P(Options, OptionTest, ::testing::ValuesIn(OPTION_CASES),
                         [](const ::testing::TestParamInfo<OptionCase>& info) { return info.param.name; });

// What the command line names but the run cannot take: a port that does not fit (refused),
// and what is passed over (one warning line each for the log, the run goes on).
struct CommandLineNoteCase {
    const char* name;
    std::vector<const char*> words;
    int status;
    std::string err;                    // the error line, for a refused line
    std::vector<std::string> warnings;  // the notes left for the log, in order
};

void PrintTo(const CommandLineNoteCase& c, std::ostream* os) { *os << c.name; }

class CommandLineNoteTest : public SettingsTest, public ::testing::WithParamInterface<CommandLineNoteCase> {};

TEST_P(CommandLineNoteTest, RefusesOrWarns) {
    const CommandLineNoteCase& c = GetParam();
    std::vector<std::string> words{"busgated"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    const auto result = run_load_settings(words);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.go_on, c.status == 0 ? 1 : 0);
    EXPECT_EQ(result.out, c.status == 0 ? "" : EXPECTED_HELP);
    EXPECT_EQ(result.err, c.err);
    std::vector<std::string> warnings;
    for (const SettingsNote& note : take_settings_notes()) {
        EXPECT_EQ(note.level, logger::WARN) << note.text;
        warnings.push_back(note.text);
    }
    EXPECT_EQ(warnings, c.warnings);
}

const CommandLineNoteCase COMMAND_LINE_NOTE_CASES[] = {
    {"PortAbove65535", {"-p", "99999"}, 1, "busgated: -p '99999': not a UDP port (0 to 65535)\n", {}},
    {"PortNegative", {"--port=-1"}, 1, "busgated: -p '-1': not a UDP port (0 to 65535)\n", {}},
    // 2^32 + 57117 would narrow to the default port.
    {"PortWrappingToDefault", {"-p", "4295024413"}, 1, "busgated: -p '4295024413': not a UDP port (0 to 65535)\n", {}},
    {"PortNotANumber", {"-p", "abc"}, 0, "", {"option -p 'abc' is not a number: not used, the value stays 57117"}},
    {"PortTrailingText", {"-p", "12abc"}, 0, "", {"option -p '12abc' is read as 12: 'abc' is not used"}},
    {"StrayWords", {"foo", "-p", "9", "--", "-i", "bar"}, 0, "", {"not an option, not used: 'foo' '-i' 'bar'"}},
    {"NothingPassedOver", {"-p", "  9", "-i", "-1"}, 0, "", {}},
};

INSTANTIATE_TEST_SUITE_P(Lines, CommandLineNoteTest, ::testing::ValuesIn(COMMAND_LINE_NOTE_CASES),
                         [](const ::testing::TestParamInfo<CommandLineNoteCase>& info) { return info.param.name; });

// A run that ends at once has no log file: the warning goes before the version text.
TEST_F(SettingsTest, StrayWordBeforeVersionIsToldOnStandardOutput) {
    const auto result = run_load_settings({"busgated", "foo", "-v"});
    EXPECT_EQ(result.status, 0);
    const std::string warning = "[warn]  not an option, not used: 'foo'\n";
    ASSERT_GE(result.out.size(), warning.size());
    EXPECT_EQ(result.out.substr(result.out.find("] ") + 2), warning + "busgated " BUSGATE_VERSION "\n") << result.out;
    EXPECT_TRUE(take_settings_notes().empty());
}

TEST_F(SettingsTest, ColourFollowsTheTerminalCheck) {
    run_load_settings({"busgated", "-s", "1000"});
    EXPECT_EQ(logger::is_colorized.load(), platform::stdout_is_terminal());
}

TEST_F(SettingsTest, SecondCallStartsFromTheDefaults) {
    run_load_settings({"busgated", "-p", "1", "-L", "x.log", "-a", "127.0.0.1"});
    run_load_settings({"busgated"});
    EXPECT_EQ(cfg.port, 57117);
    EXPECT_EQ(cfg.log_file, nullptr);
    EXPECT_TRUE(cfg.broadcast);
}

// Configuration file contents and the index and port that they leave.
struct ConfCase {
    const char* name;
    std::string text;
    int32_t index;
    int32_t port;
    std::string note = "";  // the last note's tag and text after "configuration file <path>: "
    int32_t loss_record = 0;
};

void PrintTo(const ConfCase& c, std::ostream* os) { *os << c.name; }

class ConfFileTest : public SettingsTest, public ::testing::WithParamInterface<ConfCase> {
protected:
    void SetUp() override {
        run_load_settings({"busgated", "-p", "5000"});
    }
    std::string write_file(const std::string& text) {
        const auto path = dir_ / "busgated.conf";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    testsupport::ScratchDirectory dir_{"busgate-conf"};
};

TEST_P(ConfFileTest, LaysKeysOverTheRecord) {
    const ConfCase& c = GetParam();
    const std::string path = write_file(c.text);
    cfg.conf_file = strdup(path.c_str());
    EXPECT_EQ(read_conf_file(cfg), 0);
    EXPECT_EQ(cfg.index, c.index);
    EXPECT_EQ(cfg.port, c.port);
    EXPECT_EQ(cfg.loss_record, c.loss_record);
    const auto notes = take_settings_notes();
    if (c.note.empty()) return;
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(logger::level_tag(notes.back().level), c.note.substr(0, 7));
    EXPECT_EQ(notes.back().text, "configuration file " + path + ": " + c.note.substr(8));
}

const ConfCase CONF_CASES[] = {
    {"Example", "# settings\nDeviceIndex = 0\nUdpPort = 55010   # the receiver\n", 0, 55010},
    {"NegativePort", "UdpPort=-5\n", -1, 57117},
    {"SpacesDroppedEverywhere", "Udp Port = 6000\n", -1, 6000},
    {"KeysCaseSensitive", "udpport=6000\ndeviceindex=4\n", -1, 5000},
    {"CommentAfterValue", "DeviceIndex = 0 # first card\n", 0, 5000},
    {"BareKeyStopsReading", "DeviceIndex=3\nDeviceIndex\nUdpPort=6000\n", 3, 5000},
    {"KeyWithoutValueStops", "DeviceIndex=\nUdpPort=6000\n", -1, 5000},
    {"OnlyEqualsStops", "===\nUdpPort=6000\n", -1, 5000},
    {"CrLfLineEnds", "DeviceIndex=2\r\nUdpPort=6001\r\n", 2, 6001},
    {"RepeatedEquals", "UdpPort==6002=7\n", -1, 6002},
    {"TabStaysInKey", "UdpPort\t=6003\n", -1, 5000},
    {"BlankAndCommentLinesSkipped", "\n   \n#UdpPort=1\n\nUdpPort=6004\n", -1, 6004},
    {"LastLineWithoutLineFeed", "UdpPort=6005", -1, 6005},
    {"ValueNotANumber", "UdpPort=abc\n", -1, 0},
    // Values are cut to 99 characters before they are converted.
    {"ValueOf99Characters", "UdpPort=" + std::string(95, '0') + "6008\n", -1, 6008},
    {"ValueCutAt99Characters", "UdpPort=" + std::string(96, '0') + "6008\n", -1, 600},
    // Lines are read whole, whatever their length.
    {"LongCommentStaysOneLine", "UdpPort = 6009 # " + std::string(600, 'x') + "\r\nDeviceIndex = 2\r\n", 2, 6009},
    // 512 characters with CR LF: the CR is the 511th character, the last of a 511-character read.
    {"CrLfLineOf512Characters", std::string(502, ' ') + "UdpPort=\r\nDeviceIndex=4\r\n", -1, 5000},
    {"CrLfLongLineThenMore", std::string(509, ' ') + "UdpPort=6010\r\nDeviceIndex=1\r\n", 1, 6010},
    // A NUL byte ends its line: the next line stands on its own.
    {"NulEndsTheLine", "UdpPort=6011" + std::string(1, '\0') + "x\nDeviceIndex=2\n", 2, 6011},
    // What is not used leaves a warning; a port above 65535 is refused and leaves the port alone.
    {"PortAbove65535", "UdpPort=99999\n", -1, 5000,
     "[error] UdpPort 99999 is not a UDP port (0 to 65535): refused, nothing is started"},
    {"PortOverflowing", "UdpPort=99999999999999999999\n", -1, 5000,
     "[error] UdpPort 99999999999999999999 is not a UDP port (0 to 65535): refused, nothing is started"},
    {"PortNotANumberTold", "UdpPort=abc\n", -1, 0, "[warn]  UdpPort 'abc' is not a number: read as 0"},
    {"PortTrailingText", "UdpPort=60x0\n", -1, 60, "[warn]  UdpPort '60x0' is read as 60: 'x0' is not used"},
    {"UnknownKey", "UdpPrt=6000\n", -1, 5000, "[warn]  key 'UdpPrt' is not known: not used"},
    {"KeyWithoutValueTold", "UdpPort\nUdpPort=6000\n", -1, 5000,
     "[warn]  'UdpPort' has no value: it and the lines after it are not used"},
    {"LossRecordOn", "LossRecord = 1\n", -1, 5000, "", 1},
    {"LossRecordOffAgain", "LossRecord=1\nLossRecord=0\n", -1, 5000, "", 0},
    {"LossRecordOtherValuesTold", "LossRecord=1\nLossRecord=yes\n", -1, 5000,
     "[warn]  LossRecord 'yes' is neither 0 nor 1: not used, it stays 1", 1},
};

INSTANTIATE_TEST_SUITE_P(Lines, ConfFileTest, ::testing::ValuesIn(CONF_CASES),
                         [](const ::testing::TestParamInfo<ConfCase>& info) { return info.param.name; });

TEST_F(ConfFileTest, MissingFileIsIgnoredWithOneWarning) {
    const std::string absent = dir_ / "absent.conf";
    cfg.conf_file = strdup(absent.c_str());
    EXPECT_EQ(read_conf_file(cfg), -1);
    EXPECT_EQ(cfg.port, 5000);
    const auto notes = take_settings_notes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].level, logger::WARN);
    EXPECT_EQ(notes[0].text.rfind("configuration file " + absent + " cannot be opened (", 0), 0u) << notes[0].text;
}


TEST_F(ConfFileTest, NoFileNamed) {
    EXPECT_EQ(read_conf_file(cfg), 0);
    EXPECT_EQ(cfg.port, 5000);
}

TEST_F(ConfFileTest, LineLongerThanOneReadIsReadWhole) {
    const std::string filler(511, ' ');
    cfg.conf_file = strdup(write_file(filler + "UdpPort=6007\n").c_str());
    EXPECT_EQ(read_conf_file(cfg), 0);
    EXPECT_EQ(cfg.port, 6007);
}

}  // namespace
