// The user's language on POSIX: a per-user INI file in place of the registry value.

#include "lang/IniFile.h"
#include "lang/LanguageStore.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace
{
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
} // namespace

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
