// The INI reader against a corpus of awkward files, each written to disk and read back.

#include "lang/IniFile.h"
#include "IniCorpus.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{
class IniCorpusTest : public testing::TestWithParam<CIniCase>
{
};

TEST_P(IniCorpusTest, ReadsLikeThePlatformReader)
{
    const CIniCase& test = GetParam();
    CTempDir dir;
    if (test.m_eKind == EPathKind::REGULAR_FILE)
        dir.Write("case.ini", test.m_strContents);
    else if (test.m_eKind == EPathKind::DIRECTORY)
        std::filesystem::create_directory(dir.Path("case.ini"));
    const CIniFile file(dir.Path("case.ini"));
    EXPECT_EQ(file.ReadString(test.m_strSection, test.m_strKey, test.m_strDefault),
              test.m_strExpected);
}

INSTANTIATE_TEST_SUITE_P(Corpus, IniCorpusTest, testing::ValuesIn(IniCorpus()),
                         [](const testing::TestParamInfo<CIniCase>& info)
                         { return std::string(info.param.m_pszName); });

// A file larger than any language file or setting is not read at all (each lookup would read
// all of it again); one within the limit is read whole.
TEST(IniFileTest, FilePastTheSizeLimitCountsAsMissing)
{
    CTempDir dir;
    const std::string strKey = "[S]\nK=value\n";
    const std::string strFill = "; " + std::string(78, '-') + "\n";
    const struct
    {
        const char* m_pszName;
        uintmax_t m_nSize;
        const char* m_pszExpected;
    } cases[] = {
        {"at the limit", MAX_INI_FILE_SIZE, "value"},
        {"one byte past", MAX_INI_FILE_SIZE + 1, "d"},
        {"far past", 4 * MAX_INI_FILE_SIZE, "d"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        std::string strContents = strKey;
        while (strContents.size() + strFill.size() <= c.m_nSize)
            strContents += strFill;
        strContents += std::string(c.m_nSize - strContents.size(), ';');
        const CIniFile file(dir.Write("f.ini", strContents));
        EXPECT_EQ(file.ReadString("S", "K", "d"), c.m_pszExpected);
        EXPECT_EQ(file.FindString("S", "K").has_value(), std::string(c.m_pszExpected) == "value");
    }
}

TEST(IniFileTest, EveryReadSeesTheFileAsItIsNow)
{
    CTempDir dir;
    const CIniFile file(dir.Write("f.ini", "[S]\nK=first\n"));
    EXPECT_EQ(file.ReadString("S", "K", "d"), "first");
    dir.Write("f.ini", "[S]\nK=second\n");
    EXPECT_EQ(file.ReadString("S", "K", "d"), "second");
    std::filesystem::remove(dir.Path("f.ini"));
    EXPECT_EQ(file.ReadString("S", "K", "d"), "d");
}
} // namespace
