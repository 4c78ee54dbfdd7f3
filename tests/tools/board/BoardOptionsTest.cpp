// quillon-board's command line: a refused value says what would have been taken, and the help
// offers only what is taken.

#include "board/BoardOptions.h"

#include <gtest/gtest.h>

namespace
{
struct CBoardOptionCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    std::string m_strErrorContains; // empty: taken
};

const CBoardOptionCase BOARD_OPTION_CASES[] = {
    {"WrongReplyStep", {"--wrong-reply", "s1"}, ""},
    {"WrongReplyStepAndByte", {"--wrong-reply", "x1:41"}, ""},
    {"WrongReplyToTheVersionNamesTheSteps",
     {"--wrong-reply", "v1"},
     "bad value \"v1\" for --wrong-reply: it takes STEP[:HH], STEP one of s1 s2 s3 R1 R2 R3 x1"},
    {"WrongReplyVersionPointsToTheBanner", {"--wrong-reply", "v1"}, "--banner"},
    {"WrongReplyShortByte", {"--wrong-reply", "s1:4"}, "HH two hex digits"},
    {"NoReplyToTheVersion", {"--no-reply", "v1"}, ""},
    {"NoReplyUnknownStep", {"--no-reply", "q9"}, "STEP, one of s1 s2 s3 R1 R2 R3 x1 v1"},
    {"BannerTooLong", {"--banner", "Plinth BL 2.1 long"}, "(see --help)"},
    {"UnknownOption", {"--frob"}, "unknown option \"--frob\""},
};

void PrintTo(const CBoardOptionCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class BoardOptionTable : public testing::TestWithParam<CBoardOptionCase>
{
};

TEST_P(BoardOptionTable, TakenOrRefusedWithWhatItTakes)
{
    const CBoardOptionCase& row = GetParam();
    CBoardOptions options;
    std::string strError;

    const bool bOk = ParseBoardOptions(row.m_arguments, &options, &strError);

    EXPECT_EQ(bOk, row.m_strErrorContains.empty()) << strError;
    if (!bOk)
    {
        EXPECT_NE(strError.find(row.m_strErrorContains), std::string::npos) << strError;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, BoardOptionTable, testing::ValuesIn(BOARD_OPTION_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

TEST(BoardUsageTest, OffersNoWrongVersionReply)
{
    const std::string strUsage = BoardUsage();
    EXPECT_NE(strUsage.find("not v1, which has no reply byte"), std::string::npos) << strUsage;
}
} // namespace
