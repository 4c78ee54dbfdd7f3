// Our own INI reader against the system's GetPrivateProfileStringA on the same corpus: each file
// is written to disk and read by both. Where Wine, which stands in for Windows here, is known
// to read differently from Windows, the case is skipped with the reason.

#include "lang/IniFile.h"

#include "IniCorpus.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace
{
// Case name -> why the system reader under Wine does not give Windows' answer.
const std::map<std::string, std::string> WINE_DIFFERS = {
    {"requested_names_keep_tabs", "Wine trims tabs around the requested key; Windows keeps them"},
    {"header_without_bracket", "Wine ignores a section header without its closing bracket"},
    {"empty_section_name", "Wine does not find keys of a section named \"\""},
    {"keys_before_any_section_nameless", "Wine finds keys before the first section by \"\""},
    {"truncation_keeps_whole_characters",
     "our reader never cuts a UTF-8 character; the system reader counts bytes"},
    {"utf16le_file", "a UTF-16 file comes back in the ANSI code page, UTF-8 only with the "
                     "program's manifest"},
};

class IniOracleTest : public testing::TestWithParam<CIniCase>
{
};

TEST_P(IniOracleTest, OurReaderReadsAsTheSystemReader)
{
    const CIniCase& test = GetParam();
    // Ours, over the bytes that are read from the file (none when no file is there).
    const std::string strContents =
        test.m_eKind == EPathKind::REGULAR_FILE ? test.m_strContents : std::string();
    EXPECT_EQ(ReadIniValue(strContents, test.m_strSection, test.m_strKey, test.m_strDefault),
              test.m_strExpected);

    const auto known = WINE_DIFFERS.find(test.m_pszName);
    if (known != WINE_DIFFERS.end())
    {
        GTEST_SKIP() << known->second;
    }
    CTempDir dir;
    if (test.m_eKind == EPathKind::REGULAR_FILE)
    {
        dir.Write("case.ini", test.m_strContents);
    }
    else if (test.m_eKind == EPathKind::DIRECTORY)
    {
        std::filesystem::create_directory(dir.Path("case.ini"));
    }
    // On Windows CIniFile is the system's reader.
    EXPECT_EQ(CIniFile(dir.Path("case.ini"))
                  .ReadString(test.m_strSection, test.m_strKey, test.m_strDefault),
              test.m_strExpected);
}

INSTANTIATE_TEST_SUITE_P(Corpus, IniOracleTest, testing::ValuesIn(IniCorpus()),
                         [](const testing::TestParamInfo<CIniCase>& info)
                         { return std::string(info.param.m_pszName); });
} // namespace
