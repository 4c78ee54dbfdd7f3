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
