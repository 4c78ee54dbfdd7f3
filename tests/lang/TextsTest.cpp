// The built-in texts, the safe formatter for texts from the language file, and the C
// runtime's number and upper-casing rules.

#include "lang/CRuntimeRules.h"
#include "lang/DefaultStrings.h"
#include "lang/TextFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>

namespace
{
TEST(DefaultStringsTest, RequestedIdsCarryTheirTexts)
{
    const std::vector<std::pair<int, std::string>> cases = {
        {12, "&About"},
        {13, "&OK"},
        {14, "&Cancel"},
        {17, "VELD Programmer"},
        {18, "About VELD Programmer"},
        {21, "%s version:"},
        {25, "Cannot load file"},
        {26, "Program has been loaded"},
        {30, "Please connect the VELD and put it into program mode (attach the USB cable and "
             "press the 'reset' button), or click 'Cancel' to close."},
        {36, "Failed with error %d"},
        {37, "Sending Program..."},
        {38, "Send Completed"},
        {39, "Send Failed"},
        {45, "Reading chip type..."},
        {46, "Error"},
        {47, "Your borad has an old firmware and cannot be programed!"},
        {48, "&Close"},
    };
    for (const auto& [nId, strText] : cases)
        EXPECT_EQ(GetDefaultString(nId), strText) << "id " << nId;
}

TEST(DefaultStringsTest, WholeRangeHasDistinctTextsAndNothingOutside)
{
    std::set<std::string> texts;
    for (int nId = 1; nId <= 48; ++nId)
    {
        const std::string strText = GetDefaultString(nId);
        EXPECT_FALSE(strText.empty()) << "id " << nId;
        EXPECT_NE(strText, "????") << "id " << nId;
        EXPECT_TRUE(texts.insert(strText).second) << "id " << nId << " repeats " << strText;
    }
    EXPECT_NE(GetDefaultString(19).find("Corvane Limited"), std::string::npos);
    for (int nId :
         {0, 49, -1, -48, 1000, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()})
        EXPECT_EQ(GetDefaultString(nId), "????") << "id " << nId;
}

struct CFormatCase
{
    std::string m_strFormat;
    std::string m_strExpected;
};

TEST(TextFormatTest, StringGoesIntoTheFirstStringConversionOnly)
{
    const std::vector<CFormatCase> cases = {
        {"%s version:", "Quillon version:"},
        {"Version de %s :", "Version de Quillon :"},
        {"%s %s", "Quillon %s"},
        {"%n%s", "%nQuillon"},
        {"%d version:", "%d version:"},
        {"100%% %s", "100% Quillon"},
        {"%%s", "%s"},
        {"%%%s", "%Quillon"},
        {"%5s|%-s|%ls", "%5s|%-s|%ls"},
        {"version %", "version %"},
        {"%", "%"},
        {"", ""},
        {"no conversion", "no conversion"},
    };
    for (const CFormatCase& test : cases)
        EXPECT_EQ(FormatWithString(test.m_strFormat, "Quillon"), test.m_strExpected)
            << test.m_strFormat;
}

TEST(TextFormatTest, ArgumentIsNeverReadAsAFormat)
{
    EXPECT_EQ(FormatWithString("%s version:", "%s%n%%"), "%s%n%% version:");
    EXPECT_EQ(FormatWithString("[%s]", ""), "[]");
}

TEST(TextFormatTest, NumberGoesIntoTheFirstDecimalConversionOnly)
{
    struct CNumberCase
    {
        std::string m_strFormat;
        int64_t m_nNumber;
        std::string m_strExpected;
    };
    const std::vector<CNumberCase> cases = {
        {"Failed with error %d", 39, "Failed with error 39"},
        {"Fehler %d", -2, "Fehler -2"},
        {"%d", std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
        {"%s %d", 5, "%s 5"},
        {"%d%d", 5, "5%d"},
        {"%n %x %5d %ld", 5, "%n %x %5d %ld"},
        {"%% %d %%", 7, "% 7 %"},
        {"error %", 7, "error %"},
    };
    for (const CNumberCase& test : cases)
        EXPECT_EQ(FormatWithNumber(test.m_strFormat, test.m_nNumber), test.m_strExpected)
            << test.m_strFormat;
}

TEST(CRuntimeRulesTest, Atoi64)
{
    const std::vector<std::pair<std::string, int64_t>> cases = {
        {"0", 0},
        {"102400", 102400},
        {"-0", 0},
        {"", 0},
        {"-", 0},
        {"+", 0},
        {"+-1", 0},
        {"- 1", 0},
        {"0x1A", 0},
        {"12abc", 12},
        {"1e3", 1},
        {"007", 7},
        {"+42", 42},
        {"-42", -42},
        {" \t\n\v\f\r17", 17},
        {"\xA0"
         "5",
         0},
        {"12 34", 12},
        {"9223372036854775807", std::numeric_limits<int64_t>::max()},
        {"9223372036854775808", std::numeric_limits<int64_t>::max()},
        {"99999999999999999999999", std::numeric_limits<int64_t>::max()},
        {"-9223372036854775807", -9223372036854775807},
        {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
        {"-9223372036854775809", std::numeric_limits<int64_t>::min()},
        {"-99999999999999999999999x", std::numeric_limits<int64_t>::min()},
        {"00000000000000000000000000042", 42},
    };
    for (const auto& [strText, nExpected] : cases)
        EXPECT_EQ(Atoi64(strText), nExpected) << '"' << strText << '"';
}

TEST(CRuntimeRulesTest, MbsUprChangesAsciiLettersOnly)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"quillon V1.0c", "QUILLON V1.0C"},
        {"dEdE", "DEDE"},
        {"az AZ @[`{", "AZ AZ @[`{"},
        {"gr\xC3\xBC\xC3\x9F"
         "e",
         "GR\xC3\xBC\xC3\x9F"
         "E"},
        {"\xE4", "\xE4"},
        {"", ""},
    };
    for (const auto& [strText, strExpected] : cases)
        EXPECT_EQ(MbsUpr(strText), strExpected) << strText;
}
} // namespace
