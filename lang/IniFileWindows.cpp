// The language file read by the system's own INI reader, on Windows.

#include "lang/IniFile.h"

#include <filesystem>
#include <windows.h>

namespace
{
// GetPrivateProfileStringA looks for a relative name in the Windows folder, not beside us.
std::string AbsolutePath(const std::string& strPath)
{
    char buffer[MAX_PATH * 4] = {};
    const DWORD nLength = ::GetFullPathNameA(strPath.c_str(), sizeof buffer, buffer, nullptr);
    return nLength > 0 && nLength < sizeof buffer ? std::string(buffer, nLength) : strPath;
}

std::string ReadProfileString(const std::string& strPath, const std::string& strSection,
                              const std::string& strKey, const std::string& strDefault)
{
    // A file past the limit counts as missing, as on every platform.
    std::error_code error;
    const uintmax_t nSize = std::filesystem::file_size(std::filesystem::u8path(strPath), error);
    if (!error && nSize > MAX_INI_FILE_SIZE)
    {
        return strDefault.substr(0, INI_VALUE_BUFFER - 1);
    }
    char buffer[INI_VALUE_BUFFER] = {};
    const DWORD nLength =
        ::GetPrivateProfileStringA(strSection.c_str(), strKey.c_str(), strDefault.c_str(), buffer,
                                   sizeof buffer, AbsolutePath(strPath).c_str());
    return std::string(buffer, nLength < sizeof buffer ? nLength : sizeof buffer - 1);
}
} // namespace

std::string CIniFile::ReadString(const std::string& strSection, const std::string& strKey,
                                 const std::string& strDefault) const
{
    return ReadProfileString(m_strPath, strSection, strKey, strDefault);
}

std::optional<std::string> CIniFile::FindString(const std::string& strSection,
                                                const std::string& strKey) const
{
    // The reader cannot say "absent"; a key is absent when two different defaults both come
    // back.
    const std::string strFirst = ReadProfileString(m_strPath, strSection, strKey, "\x01");
    if (strFirst != "\x01")
    {
        return strFirst;
    }
    const std::string strSecond = ReadProfileString(m_strPath, strSection, strKey, "\x02");
    if (strSecond != "\x02")
    {
        return strSecond;
    }
    return std::nullopt;
}
