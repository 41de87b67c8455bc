#include "tools/servicesetup/windowscommandline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

struct SplitCase {
    const char* text;
    Words words;  // empty with `refused`
    bool refused;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, ReadsAsTheCRuntimeOrRefuses) {
    const SplitCase& c = GetParam();
    Words words;
    std::string error;
    const bool read = WindowsCommandLine::split(c.text, words, error);
    EXPECT_EQ(read, !c.refused) << c.text << ": " << error;
    if (read) {
        EXPECT_EQ(words, c.words) << c.text;
        // What is read back from the joined words is the same words.
        Words again;
        ASSERT_TRUE(WindowsCommandLine::split(WindowsCommandLine::join(words), again, error));
        EXPECT_EQ(again, words);
    } else {
        EXPECT_FALSE(error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SplitTest,
    ::testing::Values(SplitCase{"-a 127.0.0.1  -p\t47311", {"-a", "127.0.0.1", "-p", "47311"}, false},
                      SplitCase{R"(-L "C:\Program Files\busgate\busgated.log")",
                                {"-L", R"(C:\Program Files\busgate\busgated.log)"}, false},
                      SplitCase{R"(-B "C:\my data\"x)", {}, true},                 // \" inside a value
                      SplitCase{R"(-B "C:\my data\\")", {"-B", R"(C:\my data\)"}, false},
                      SplitCase{R"(-B C:\a\b)", {"-B", R"(C:\a\b)"}, false},
                      SplitCase{R"(-L "C:\Program Files\x.log)", {}, true},        // not closed
                      SplitCase{R"(-L "a""b")", {}, true},                         // "" inside quotes
                      SplitCase{R"(-L "")", {"-L", ""}, false},
                      SplitCase{"", {}, false}));

TEST(Quote, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(WindowsCommandLine::quote("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(WindowsCommandLine::quote(R"(C:\Program Files\busgate\bin\busgated.exe)"),
              R"("C:\Program Files\busgate\bin\busgated.exe")");
    EXPECT_EQ(WindowsCommandLine::quote(R"(C:\my data\)"), R"("C:\my data\\")");
    EXPECT_EQ(WindowsCommandLine::quote(""), R"("")");
}

struct ParametersCase {
    const char* parameters;
    const char* options;
    bool refused;
};

class InstallerOptionsTest : public ::testing::TestWithParam<ParametersCase> {};

TEST_P(InstallerOptionsTest, FindsTheValue) {
    const ParametersCase& c = GetParam();
    std::string options, error;
    EXPECT_EQ(WindowsCommandLine::installer_options(c.parameters, options, error), !c.refused) << c.parameters;
    if (!c.refused) {
        EXPECT_EQ(options, c.options) << c.parameters;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, InstallerOptionsTest,
    ::testing::Values(
        ParametersCase{"/S /OPTIONS=-a 127.0.0.1 -p 47311 /START=auto /D=C:\\busgate", "-a 127.0.0.1 -p 47311", false},
        ParametersCase{"/S /OPTIONS=\"-a 192.0.2.10 -p 55010\" /BROADCAST", "-a 192.0.2.10 -p 55010", false},
        ParametersCase{R"(/S /OPTIONS=-a 127.0.0.1 -L "C:\Program Files\busgate\busgated.log" /START=auto)",
                       R"(-a 127.0.0.1 -L "C:\Program Files\busgate\busgated.log")", false},
        ParametersCase{R"(/S "/OPTIONS=-a 127.0.0.1 -L \"C:\my logs\b.log\"" /D=C:\b)",
                       R"(-a 127.0.0.1 -L "C:\my logs\b.log")", false},
        ParametersCase{R"(/S "/OPTIONS=-a 127.0.0.1 -L \"C:\x)", "", true},
        ParametersCase{"/s /options=-a 127.0.0.1 -B C:\\path/with/slashes /keepdata", "-a 127.0.0.1 -B C:\\path/with/slashes",
                       false},
        ParametersCase{"/S /D=C:\\busgate", "", false}));

}  // namespace
