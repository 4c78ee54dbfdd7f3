// The language file read by our own reader: every platform but Windows, which has its own.

#include "lang/IniFile.h"

#include <filesystem>
#include <fstream>

namespace
{
// The whole file, or nothing when the path is not a readable regular file (a directory or
// a pipe at the path counts as a missing file and is never opened) or is larger than
// MAX_INI_FILE_SIZE.
std::optional<std::string> ReadWholeFile(const std::string& strPath)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(strPath, error))
        return std::nullopt;
    const uintmax_t nSize = std::filesystem::file_size(strPath, error);
    if (error || nSize > MAX_INI_FILE_SIZE)
        return std::nullopt;
    std::ifstream file(strPath, std::ios::binary);
    if (!file)
        return std::nullopt;
    // One byte more than it had: a file that grows meanwhile is not read on and on.
    std::string strContents(static_cast<size_t>(nSize) + 1, '\0');
    file.read(strContents.data(), static_cast<std::streamsize>(strContents.size()));
    if (file.bad() || static_cast<uintmax_t>(file.gcount()) > MAX_INI_FILE_SIZE)
        return std::nullopt;
    strContents.resize(static_cast<size_t>(file.gcount()));
    return strContents;
}
} // namespace

std::string CIniFile::ReadString(const std::string& strSection, const std::string& strKey,
                                 const std::string& strDefault) const
{
    return ReadIniValue(ReadWholeFile(m_strPath).value_or(std::string()), strSection, strKey,
                        strDefault);
}

std::optional<std::string> CIniFile::FindString(const std::string& strSection,
                                                const std::string& strKey) const
{
    const auto strContents = ReadWholeFile(m_strPath);
    if (!strContents)
        return std::nullopt;
    return FindIniValue(*strContents, strSection, strKey);
}
