// The command line: prefixes, keywords, the file name, and the copy the wizard receives.

#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <tuple>

namespace
{
// The flags in keyword order: veld, tx0852, engb, dede, frfr, eses, nlnl.
using Flags = std::array<int, 7>;

Flags FlagsOf(const CCustomCommandLineInfo& info)
{
    return {info.m_bVeld, info.m_bTx0852, info.m_bEngb, info.m_bDede,
            info.m_bFrfr, info.m_bEses,   info.m_bNlnl};
}

struct CArgumentsCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    std::string m_strFileName;
    Flags m_flags;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const CArgumentsCase& test, std::ostream* pStream)
{
    *pStream << test.m_pszName;
}

class CommandLineTest : public testing::TestWithParam<CArgumentsCase>
{
};

TEST_P(CommandLineTest, FileNameAndFlags)
{
    const CArgumentsCase& test = GetParam();
    CCustomCommandLineInfo info;
    ParseCommandLine(test.m_arguments, info);
    EXPECT_EQ(info.m_strFileName, test.m_strFileName);
    EXPECT_EQ(FlagsOf(info), test.m_flags);
}

constexpr Flags NONE = {0, 0, 0, 0, 0, 0, 0};
constexpr Flags VELD = {1, 0, 0, 0, 0, 0, 0};
constexpr Flags TX0852 = {0, 1, 0, 0, 0, 0, 0};
constexpr Flags ENGB = {0, 0, 1, 0, 0, 0, 0};
constexpr Flags DEDE = {0, 0, 0, 1, 0, 0, 0};
constexpr Flags ESES = {0, 0, 0, 0, 0, 1, 0};
constexpr Flags NLNL = {0, 0, 0, 0, 0, 0, 1};
constexpr Flags ALL = {1, 1, 1, 1, 1, 1, 1};

INSTANTIATE_TEST_SUITE_P(
    Arguments, CommandLineTest,
    testing::Values(
        CArgumentsCase{"nothing", {}, "", NONE},
        CArgumentsCase{"relative_path", {"app.bin"}, "app.bin", NONE},
        CArgumentsCase{"absolute_path", {"/home/me/app.bin"}, "/home/me/app.bin", NONE},
        CArgumentsCase{"path_then_slash_keyword", {"app.bin", "/eses"}, "app.bin", ESES},
        CArgumentsCase{
            "absolute_path_then_slash_keyword", {"/srv/a.bin", "/eses"}, "/srv/a.bin", ESES},
        CArgumentsCase{"slash_keyword_then_two_paths", {"/dede", "a.bin", "b.bin"}, "a.bin", DEDE},
        CArgumentsCase{"dash_keyword_then_path", {"-nlnl", "/tmp/a.bin"}, "/tmp/a.bin", NLNL},
        CArgumentsCase{"bare_keyword_becomes_file_name", {"dede", "a.bin"}, "dede", DEDE},
        CArgumentsCase{"bare_keyword_after_path", {"a.bin", "eses"}, "a.bin", ESES},
        CArgumentsCase{"capital_keyword_after_dash", {"-ENGB"}, "", NONE},
        CArgumentsCase{"capital_keyword_after_slash_is_a_path", {"/ENGB"}, "/ENGB", NONE},
        CArgumentsCase{"bare_capital_keyword", {"Dede"}, "Dede", NONE},
        CArgumentsCase{"path_with_blanks",
                       {"/home/me/my files/app 1.bin"},
                       "/home/me/my files/app 1.bin",
                       NONE},
        CArgumentsCase{"same_keyword_twice", {"-eses", "/eses"}, "", ESES},
        CArgumentsCase{"all_keywords",
                       {"-veld", "/tx0852", "-engb", "/dede", "-frfr", "/eses", "-nlnl"},
                       "",
                       ALL},
        CArgumentsCase{
            "recorded_keywords", {"/veld", "a.bin", "-tx0852"}, "a.bin", {1, 1, 0, 0, 0, 0, 0}},
        CArgumentsCase{"double_dash_keyword", {"--engb"}, "", NONE},
        CArgumentsCase{"dash_slash_keyword", {"-/engb"}, "", NONE},
        CArgumentsCase{"double_slash_keyword_is_a_path", {"//engb"}, "//engb", NONE},
        CArgumentsCase{"keyword_directory", {"/engb/app.bin"}, "/engb/app.bin", NONE},
        CArgumentsCase{"keyword_with_trailing_blank", {"-engb "}, "", NONE},
        CArgumentsCase{"longer_word", {"-engbx", "veldt"}, "veldt", NONE},
        CArgumentsCase{"dash_word_is_no_file", {"-app.bin"}, "", NONE},
        CArgumentsCase{"lone_dash", {"-", "a.bin"}, "a.bin", NONE},
        CArgumentsCase{"lone_slash_is_the_root", {"/"}, "/", NONE},
        CArgumentsCase{"empty_argument_names_nothing", {"", "a.bin"}, "a.bin", NONE},
        CArgumentsCase{"second_path_ignored", {"a.bin", "b.bin", "/veld"}, "a.bin", VELD},
        CArgumentsCase{"keyword_only_flags_once", {"tx0852", "tx0852"}, "tx0852", TX0852},
        CArgumentsCase{"english", {"/engb"}, "", ENGB}),
    [](const testing::TestParamInfo<CArgumentsCase>& info)
    { return std::string(info.param.m_pszName); });

// Records the calls that the splitting makes.
class CRecordingInfo : public CCustomCommandLineInfo
{
public:
    void ParseParam(const std::string& strParam, bool bSwitch, bool bLast) override
    {
        m_calls.emplace_back(strParam, bSwitch, bLast);
        CCustomCommandLineInfo::ParseParam(strParam, bSwitch, bLast);
    }
    std::vector<std::tuple<std::string, bool, bool>> m_calls;
};

TEST(CommandLineSplitTest, OneCallPerArgumentInOrder)
{
    CRecordingInfo info;
    ParseCommandLine({"-dede", "/eses", "/opt/a.bin", "--x", "plain", "/Eses"}, info);
    const std::vector<std::tuple<std::string, bool, bool>> expected = {
        {"dede", true, false}, {"eses", true, false},   {"/opt/a.bin", false, false},
        {"-x", true, false},   {"plain", false, false}, {"/Eses", false, true}};
    EXPECT_EQ(info.m_calls, expected);
    EXPECT_EQ(info.m_strFileName, "/opt/a.bin");
}

TEST(CommandLineCopyTest, CopyCarriesFileNameAndFlags)
{
    CCustomCommandLineInfo info;
    ParseCommandLine({"/dede", "/home/me/app.bin", "-veld", "nlnl"}, info);
    const CCustomCommandLineInfo copy(info);
    EXPECT_EQ(copy.m_strFileName, "/home/me/app.bin");
    EXPECT_EQ(FlagsOf(copy), FlagsOf(info));
    EXPECT_EQ(FlagsOf(copy), (Flags{1, 0, 0, 1, 0, 0, 1}));
}
} // namespace
