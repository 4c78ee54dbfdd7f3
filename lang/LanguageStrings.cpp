#include "lang/LanguageStrings.h"

#include "lang/CRuntimeRules.h"
#include "lang/DebugOutput.h"
#include "lang/DefaultStrings.h"
#include "lang/LanguageStore.h"

#include <array>
#include <cstdlib>
#include <filesystem>

namespace
{
constexpr const char* STRING_NOT_FOUND = "STRING_NOT_FOUND";
constexpr int LANGUAGE_COUNT = 5;

constexpr std::array<const char*, LANGUAGE_COUNT> LANGUAGE_SECTIONS = {
    "LANG_ENGLISH", "LANG_GERMAN", "LANG_FRENCH", "LANG_SPANISH", "LANG_DUTCH"};

} // namespace

CLanguageStrings& CLanguageStrings::Instance()
{
    static CLanguageStrings instance;
    return instance;
}

int CLanguageStrings::Open(const std::string& strPath, int nLanguage)
{
    std::error_code error;
    if (std::filesystem::exists(strPath, error))
    {
        m_pIniFile = std::make_unique<CIniFile>(strPath);
        SetLanguage(nLanguage);
    }
    return m_nLanguage;
}

int CLanguageStrings::SetLanguage(int nLanguage)
{
    if (!m_pIniFile)
        return m_nLanguage;
    m_nLanguage = nLanguage;
    m_strSection = LanguageSection(nLanguage);
    return m_nLanguage;
}

int CLanguageStrings::SelectLanguageFromRegistry()
{
    if (!m_pIniFile)
        return m_nLanguage;
    const auto strStored = ReadStoredLanguage();
    if (!strStored)
        return m_nLanguage;

    const std::string strWanted = MbsUpr(*strStored);
    for (int nIndex = 0; nIndex < LANGUAGE_COUNT; ++nIndex)
    {
        const std::string strId =
            MbsUpr(m_pIniFile->ReadString(LanguageSection(nIndex), "id", STRING_NOT_FOUND));
        if (strId == strWanted)
            return SetLanguage(nIndex);
    }
    return m_nLanguage;
}

std::string CLanguageStrings::GetString(int nId) const
{
    const std::string strKey = std::to_string(nId);
    // Without a language file every id counts as missing from the current section.
    const std::string strText = m_pIniFile
                                    ? m_pIniFile->ReadString(m_strSection, strKey, STRING_NOT_FOUND)
                                    : std::string(STRING_NOT_FOUND);
    if (strText != STRING_NOT_FOUND)
        return strText;
    OutputDebugText("String not found (" + strKey + ") in [" + m_strSection + "]");
    return GetDefaultString(nId);
}

std::string CLanguageStrings::LanguageSection(int nLanguage)
{
    if (nLanguage < 0 || nLanguage >= LANGUAGE_COUNT)
        return LANGUAGE_SECTIONS[0];
    return LANGUAGE_SECTIONS[static_cast<size_t>(nLanguage)];
}

void CLanguageStrings::Reset()
{
    m_pIniFile.reset();
    m_nLanguage = LANGUAGE_ENGLISH;
    m_strSection = LanguageSection(LANGUAGE_ENGLISH);
}
