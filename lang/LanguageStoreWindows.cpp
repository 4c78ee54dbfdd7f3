// The user's language on Windows: the registry value itself.

#include "lang/LanguageStore.h"

#include <windows.h>

std::optional<std::string> ReadStoredLanguage()
{
    HKEY hKey = nullptr;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\corvane\\TesselV3_ARM\\Info", 0, KEY_READ,
                        &hKey) != ERROR_SUCCESS)
    {
        return std::string();
    }
    // Any value type; the bytes up to the first zero. A longer value does not fit: unreadable.
    char buffer[LANGUAGE_VALUE_BUFFER] = {};
    DWORD nSize = sizeof buffer;
    const LSTATUS nStatus = ::RegQueryValueExA(hKey, "CurrentLanguage", nullptr, nullptr,
                                               reinterpret_cast<BYTE*>(buffer), &nSize);
    ::RegCloseKey(hKey);
    if (nStatus != ERROR_SUCCESS)
    {
        return std::string();
    }
    size_t nLength = 0;
    while (nLength < nSize && nLength < sizeof buffer && buffer[nLength] != '\0')
    {
        ++nLength;
    }
    if (nLength == 0)
    {
        return std::nullopt;
    }
    return std::string(buffer, nLength);
}
