// The shipped language file: five complete sections, translations that keep the English
// placeholders, and an English section that matches the built-in texts.

#include "lang/DefaultStrings.h"
#include "lang/IniFile.h"
#include "lang/LanguageStrings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace
{
const std::vector<int> REQUESTED_IDS = {12, 13, 14, 17, 18, 19, 21, 25, 26,
                                        30, 36, 37, 38, 39, 45, 46, 47, 48};
const std::string SOURCE_FILE = std::string(QUILLON_SOURCE_DIR) + "/res/quillon.ini";
const std::string MISSING = "STRING_NOT_FOUND";

std::string ReadBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Every '%' sequence of a text, "%%" included.
std::multiset<std::string> Placeholders(const std::string& strText)
{
    std::multiset<std::string> placeholders;
    for (size_t nPos = strText.find('%'); nPos != std::string::npos;
         nPos = strText.find('%', nPos + 2))
        placeholders.insert(strText.substr(nPos, 2));
    return placeholders;
}

bool IsValidUtf8(const std::string& strText)
{
    for (size_t nPos = 0; nPos < strText.size();)
    {
        const auto c = static_cast<unsigned char>(strText[nPos]);
        size_t nLength = 1;
        if (c >= 0xF0 && c <= 0xF4)
            nLength = 4;
        else if (c >= 0xE0)
            nLength = 3;
        else if (c >= 0xC2)
            nLength = 2;
        else if (c >= 0x80)
            return false;
        if (nPos + nLength > strText.size())
            return false;
        for (size_t n = 1; n < nLength; ++n)
        {
            if ((static_cast<unsigned char>(strText[nPos + n]) & 0xC0) != 0x80)
                return false;
        }
        nPos += nLength;
    }
    return true;
}

TEST(LanguageFileTest, EverySectionIsCompleteAndKeepsThePlaceholders)
{
    const std::string strContents = ReadBytes(SOURCE_FILE);
    ASSERT_FALSE(strContents.empty()) << SOURCE_FILE;
    EXPECT_TRUE(IsValidUtf8(strContents));
    EXPECT_FALSE(strContents.starts_with("\xEF\xBB\xBF"));

    std::set<std::string> languageIds;
    for (int nLanguage = LANGUAGE_ENGLISH; nLanguage <= LANGUAGE_DUTCH; ++nLanguage)
    {
        const std::string strSection = CLanguageStrings::LanguageSection(nLanguage);
        const std::string strId = ReadIniValue(strContents, strSection, "id", MISSING);
        EXPECT_NE(strId, MISSING) << strSection;
        EXPECT_FALSE(strId.empty()) << strSection;
        EXPECT_TRUE(languageIds.insert(strId).second) << strSection << " repeats id " << strId;

        for (int nId : REQUESTED_IDS)
        {
            const std::string strKey = std::to_string(nId);
            const auto strText = FindIniValue(strContents, strSection, strKey);
            ASSERT_TRUE(strText) << strSection << " lacks " << nId;
            EXPECT_FALSE(strText->empty()) << strSection << " " << nId;
            EXPECT_LT(strText->size(), INI_VALUE_BUFFER) << strSection << " " << nId;
            EXPECT_EQ(Placeholders(*strText), Placeholders(GetDefaultString(nId)))
                << strSection << " " << nId << ": " << *strText;
        }
    }
}

TEST(LanguageFileTest, EnglishSectionEqualsTheBuiltInTexts)
{
    const std::string strContents = ReadBytes(SOURCE_FILE);
    for (int nId = 1; nId <= 48; ++nId)
    {
        const auto strText = FindIniValue(strContents, "LANG_ENGLISH", std::to_string(nId));
        if (strText)
        {
            EXPECT_EQ(*strText, GetDefaultString(nId)) << "id " << nId;
        }
    }
}

TEST(LanguageFileTest, TranslationsAreTranslated)
{
    // Texts that may read the same in another language: "&OK", and "Error" in Spanish.
    const std::set<int> mayEqualEnglish = {13, 46};
    const std::string strContents = ReadBytes(SOURCE_FILE);
    for (int nLanguage = LANGUAGE_GERMAN; nLanguage <= LANGUAGE_DUTCH; ++nLanguage)
    {
        const std::string strSection = CLanguageStrings::LanguageSection(nLanguage);
        for (int nId : REQUESTED_IDS)
        {
            if (mayEqualEnglish.contains(nId))
                continue;
            EXPECT_NE(ReadIniValue(strContents, strSection, std::to_string(nId), MISSING),
                      GetDefaultString(nId))
                << strSection << " " << nId;
        }
    }
}

TEST(LanguageFileTest, BuildTreeHoldsACopyNextToThePrograms)
{
    const std::string strCopy = std::string(QUILLON_BUILD_DIR) + "/quillon.ini";
    ASSERT_TRUE(std::filesystem::is_regular_file(strCopy)) << strCopy;
    EXPECT_EQ(ReadBytes(strCopy), ReadBytes(SOURCE_FILE));
}
} // namespace
