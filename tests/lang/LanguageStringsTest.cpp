// The language object: opening the file, choosing the language from the per-user store,
// and looking texts up with the fall-back to the built-in table.

#include "lang/LanguageStrings.h"
#include "ScopedEnv.h"
#include "TempDir.h"
#include "lang/DefaultStrings.h"
#include "lang/LanguageStore.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace
{
const std::string FIVE_LANGUAGES = "[LANG_ENGLISH]\nid=ENGB\n21=%s version:\n"
                                   "[LANG_GERMAN]\nid=DEDE\n21=%s-Version:\n"
                                   "[LANG_FRENCH]\nid=FRFR\n21=Version de %s :\n"
                                   "[LANG_SPANISH]\nid=ESES\n"
                                   "[LANG_DUTCH]\nid=NLNL\n21=%s-versie:\n";

// Every test starts from a fresh language object and a private configuration directory.
class LanguageStringsTest : public testing::Test
{
protected:
    void SetUp() override { CLanguageStrings::Instance().Reset(); }
    void TearDown() override { CLanguageStrings::Instance().Reset(); }

    CLanguageStrings& Strings() { return CLanguageStrings::Instance(); }
    void WriteStore(const std::string& strContents)
    {
        m_dir.Write("config/corvane/TesselV3_ARM.conf", strContents);
    }

    CTempDir m_dir;
    CScopedEnv m_config{"XDG_CONFIG_HOME", m_dir.Path("config").c_str()};
    CScopedEnv m_debug{"QUILLON_DEBUG", nullptr};
};

TEST_F(LanguageStringsTest, LanguageSectionsByIndex)
{
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "LANG_ENGLISH"}, {1, "LANG_GERMAN"},  {2, "LANG_FRENCH"},  {3, "LANG_SPANISH"},
        {4, "LANG_DUTCH"},   {5, "LANG_ENGLISH"}, {7, "LANG_ENGLISH"}, {-1, "LANG_ENGLISH"}};
    for (const auto& [nIndex, strSection] : cases)
        EXPECT_EQ(CLanguageStrings::LanguageSection(nIndex), strSection) << nIndex;
}

TEST_F(LanguageStringsTest, NothingChangesWithoutAFile)
{
    EXPECT_EQ(Strings().Open(m_dir.Path("absent.ini"), LANGUAGE_GERMAN), LANGUAGE_ENGLISH);
    EXPECT_EQ(Strings().SetLanguage(LANGUAGE_DUTCH), LANGUAGE_ENGLISH);
    WriteStore("[Info]\nCurrentLanguage=dede\n");
    EXPECT_EQ(Strings().SelectLanguageFromRegistry(), LANGUAGE_ENGLISH);
    EXPECT_EQ(Strings().m_strSection, "LANG_ENGLISH");
    EXPECT_EQ(Strings().GetString(17), GetDefaultString(17));
}

TEST_F(LanguageStringsTest, OpenAndSetLanguage)
{
    const std::string strPath = m_dir.Write("quillon.ini", FIVE_LANGUAGES);
    EXPECT_EQ(Strings().Open(strPath, LANGUAGE_FRENCH), LANGUAGE_FRENCH);
    EXPECT_EQ(Strings().m_strSection, "LANG_FRENCH");
    EXPECT_EQ(Strings().GetString(21), "Version de %s :");

    // An index outside the table is kept as given; its section is the English one.
    EXPECT_EQ(Strings().SetLanguage(7), 7);
    EXPECT_EQ(Strings().m_nLanguage, 7);
    EXPECT_EQ(Strings().m_strSection, "LANG_ENGLISH");
    EXPECT_EQ(Strings().GetString(21), "%s version:");

    EXPECT_EQ(Strings().SetLanguage(LANGUAGE_DUTCH), LANGUAGE_DUTCH);
    EXPECT_EQ(Strings().GetString(21), "%s-versie:");
}

TEST_F(LanguageStringsTest, DirectoryAtThePathOpensAndGivesBuiltInTexts)
{
    std::filesystem::create_directory(m_dir.Path("quillon.ini"));
    EXPECT_EQ(Strings().Open(m_dir.Path("quillon.ini"), LANGUAGE_GERMAN), LANGUAGE_GERMAN);
    EXPECT_EQ(Strings().GetString(39), GetDefaultString(39));
}

struct CLookupCase
{
    const char* m_pszName;
    std::string m_strSectionBody; // the German section's lines
    int m_nId;
    std::string m_strExpected; // empty: the built-in text of the id
    bool m_bReportsMissing;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const CLookupCase& test, std::ostream* pStream)
{
    *pStream << test.m_pszName;
}

class LookupTest : public LanguageStringsTest, public testing::WithParamInterface<CLookupCase>
{
};

TEST_P(LookupTest, FileTextOrBuiltInWithDebugReport)
{
    const CLookupCase& test = GetParam();
    CScopedEnv debug("QUILLON_DEBUG", "1");
    Strings().Open(m_dir.Write("quillon.ini", "[LANG_GERMAN]\n" + test.m_strSectionBody),
                   LANGUAGE_GERMAN);

    testing::internal::CaptureStderr();
    const std::string strText = Strings().GetString(test.m_nId);
    const std::string strDebug = testing::internal::GetCapturedStderr();

    EXPECT_EQ(strText,
              test.m_strExpected.empty() ? GetDefaultString(test.m_nId) : test.m_strExpected);
    EXPECT_EQ(strDebug, test.m_bReportsMissing ? "String not found (" + std::to_string(test.m_nId) +
                                                     ") in [LANG_GERMAN]\n"
                                               : "");
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, LookupTest,
    testing::Values(
        CLookupCase{"present", "39=Senden fehlgeschlagen\n", 39, "Senden fehlgeschlagen", false},
        CLookupCase{"missing_id", "39=x\n", 38, "", true},
        CLookupCase{"marker_value_counts_as_missing", "38=STRING_NOT_FOUND\n", 38, "", true},
        CLookupCase{"marker_compared_exactly", "38=string_not_found\n", 38, "string_not_found",
                    false},
        CLookupCase{"quoted_marker_counts_as_missing", "38=\"STRING_NOT_FOUND\"\n", 38, "", true},
        CLookupCase{"long_text_cut", "30=" + std::string(260, 'y') + "\n", 30,
                    std::string(254, 'y'), false},
        CLookupCase{"unknown_everywhere", "", 49, "????", true},
        CLookupCase{"negative_id_key", "-1=minus\n", -1, "minus", false}),
    [](const testing::TestParamInfo<CLookupCase>& info)
    { return std::string(info.param.m_pszName); });

TEST_F(LanguageStringsTest, EmptyTextFromTheFileIsReturnedEmpty)
{
    Strings().Open(m_dir.Write("quillon.ini", "[LANG_ENGLISH]\n38=\n"), LANGUAGE_ENGLISH);
    EXPECT_EQ(Strings().GetString(38), "");
}

TEST_F(LanguageStringsTest, DebugChannelIsSilentUnlessSwitchedOn)
{
    Strings().Open(m_dir.Write("quillon.ini", "[LANG_SPANISH]\n"), LANGUAGE_SPANISH);
    for (const char* pszSetting : {static_cast<const char*>(nullptr), ""})
    {
        CScopedEnv debug("QUILLON_DEBUG", pszSetting);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Strings().GetString(21), "%s version:");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    CScopedEnv debug("QUILLON_DEBUG", "yes");
    testing::internal::CaptureStderr();
    Strings().GetString(21);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "String not found (21) in [LANG_SPANISH]\n");
}

struct CStoreCase
{
    const char* m_pszName;
    const char* m_pszStore; // nullptr: no store file
    std::string m_strIni;
    int m_nStart;
    int m_nExpected;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const CStoreCase& test, std::ostream* pStream)
{
    *pStream << test.m_pszName;
}

const std::string SPANISH_ID_EMPTY = "[LANG_ENGLISH]\nid=ENGB\n[LANG_GERMAN]\nid=DEDE\n"
                                     "[LANG_FRENCH]\n[LANG_SPANISH]\nid=\n[LANG_DUTCH]\nid=\n";
const std::string ID_OF_32 = std::string(32, 'q');

class StoreTest : public LanguageStringsTest, public testing::WithParamInterface<CStoreCase>
{
};

TEST_P(StoreTest, SelectsTheStoredLanguage)
{
    const CStoreCase& test = GetParam();
    if (test.m_pszStore != nullptr)
        WriteStore(test.m_pszStore);
    Strings().Open(m_dir.Write("quillon.ini", test.m_strIni), test.m_nStart);
    EXPECT_EQ(Strings().SelectLanguageFromRegistry(), test.m_nExpected);
    EXPECT_EQ(Strings().m_nLanguage, test.m_nExpected);
    EXPECT_EQ(Strings().m_strSection, CLanguageStrings::LanguageSection(test.m_nExpected));
}

INSTANTIATE_TEST_SUITE_P(
    Stores, StoreTest,
    testing::Values(
        CStoreCase{"exact", "[Info]\nCurrentLanguage=FRFR\n", FIVE_LANGUAGES, 0, 2},
        CStoreCase{"letter_case_ignored", "[info]\ncurrentlanguage=dEdE\n", FIVE_LANGUAGES, 0, 1},
        CStoreCase{"quoted_value", "[Info]\nCurrentLanguage=\"nlnl\"\n", FIVE_LANGUAGES, 0, 4},
        CStoreCase{"back_to_english", "[Info]\nCurrentLanguage=engb\n", FIVE_LANGUAGES, 3, 0},
        CStoreCase{"unknown_value_keeps_language", "[Info]\nCurrentLanguage=xxxx\n", FIVE_LANGUAGES,
                   3, 3},
        CStoreCase{"lower_index_wins", "[Info]\nCurrentLanguage=dede\n",
                   "[LANG_DUTCH]\nid=DEDE\n[LANG_GERMAN]\nid=dede\n", 0, 1},
        CStoreCase{"empty_value_keeps_language", "[Info]\nCurrentLanguage=\n", SPANISH_ID_EMPTY, 2,
                   2},
        CStoreCase{"no_store_matches_empty_id", nullptr, SPANISH_ID_EMPTY, 0, 3},
        CStoreCase{"no_store_no_empty_id", nullptr, FIVE_LANGUAGES, 4, 4},
        CStoreCase{"no_key_matches_empty_id", "[Info]\nOther=dede\n", SPANISH_ID_EMPTY, 0, 3},
        CStoreCase{"key_outside_info", "[Misc]\nCurrentLanguage=dede\n", FIVE_LANGUAGES, 0, 0},
        CStoreCase{"over_long_value_is_unreadable",
                   "[Info]\nCurrentLanguage=dedeDEDEdedeDEDEdedeDEDEdedeDEDEx\n", SPANISH_ID_EMPTY,
                   0, 3},
        CStoreCase{"value_of_32_bytes_is_read",
                   "[Info]\nCurrentLanguage=qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqq\n",
                   "[LANG_FRENCH]\nid=" + ID_OF_32 + "\n[LANG_SPANISH]\nid=\n", 0, 2}),
    [](const testing::TestParamInfo<CStoreCase>& info)
    { return std::string(info.param.m_pszName); });

TEST_F(LanguageStringsTest, StoreThatIsADirectoryCountsAsAbsent)
{
    std::filesystem::create_directories(m_dir.Path("config/corvane/TesselV3_ARM.conf"));
    Strings().Open(m_dir.Write("quillon.ini", SPANISH_ID_EMPTY), LANGUAGE_ENGLISH);
    EXPECT_EQ(Strings().SelectLanguageFromRegistry(), LANGUAGE_SPANISH);
}

TEST(LanguageStorePathTest, FollowsTheConfigurationDirectory)
{
    struct CPathCase
    {
        const char* m_pszConfig;
        const char* m_pszHome;
        std::string m_strExpected;
    };
    const std::vector<CPathCase> cases = {
        {"/tmp/cfg", "/home/u", "/tmp/cfg/corvane/TesselV3_ARM.conf"},
        {nullptr, "/home/u", "/home/u/.config/corvane/TesselV3_ARM.conf"},
        {"", "/home/u", "/home/u/.config/corvane/TesselV3_ARM.conf"},
        {"relative/cfg", "/home/u", "/home/u/.config/corvane/TesselV3_ARM.conf"},
    };
    for (const CPathCase& test : cases)
    {
        CScopedEnv config("XDG_CONFIG_HOME", test.m_pszConfig);
        CScopedEnv home("HOME", test.m_pszHome);
        EXPECT_EQ(GetUserLanguageStorePath(), test.m_strExpected)
            << (test.m_pszConfig ? test.m_pszConfig : "(unset)");
    }
}
} // namespace
