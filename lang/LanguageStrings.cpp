#include "lang/LanguageStrings.h"

#include "lang/CRuntimeRules.h"
#include "lang/DebugOutput.h"
#include "lang/DefaultStrings.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr const char* STRING_NOT_FOUND = "STRING_NOT_FOUND";
constexpr size_t LANGUAGE_VALUE_BUFFER = 32; // a longer stored value counts as unreadable
constexpr int LANGUAGE_COUNT = 5;

constexpr std::array<const char*, LANGUAGE_COUNT> LANGUAGE_SECTIONS = {
    "LANG_ENGLISH", "LANG_GERMAN", "LANG_FRENCH", "LANG_SPANISH", "LANG_DUTCH"};

std::string HomeDirectory()
{
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && *pszHome != '\0')
        return pszHome;
    // Services and cron jobs may run without $HOME; the password database still knows it.
    long nSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(nSize > 0 ? static_cast<size_t>(nSize) : 16384);
    passwd entry{};
    passwd* pResult = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &pResult) == 0 &&
        pResult != nullptr && pResult->pw_dir != nullptr)
        return pResult->pw_dir;
    return {};
}

// The stored language: the value, or an empty text when the store, its section or its key is
// missing or the value is too long. nullopt only for a value that is present and empty.
std::optional<std::string> ReadStoredLanguage()
{
    const std::string strPath = GetUserLanguageStorePath();
    if (strPath.empty())
        return std::string();
    const auto strValue = CIniFile(strPath).FindString("Info", "CurrentLanguage");
    if (!strValue || strValue->size() > LANGUAGE_VALUE_BUFFER)
        return std::string();
    if (strValue->empty())
        return std::nullopt;
    return strValue;
}
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

std::string GetUserLanguageStorePath()
{
    // A relative $XDG_CONFIG_HOME is invalid and ignored, as for every XDG directory.
    const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
    std::string strConfig;
    if (pszConfig != nullptr && pszConfig[0] == '/')
    {
        strConfig = pszConfig;
    }
    else
    {
        const std::string strHome = HomeDirectory();
        if (strHome.empty())
            return {};
        strConfig = strHome + "/.config";
    }
    return strConfig + "/corvane/TesselV3_ARM.conf";
}
