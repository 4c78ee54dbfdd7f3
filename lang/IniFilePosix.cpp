// The language file read by our own reader: every platform but Windows, which has its own.

#include "lang/IniFile.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace
{
// The whole file, or nothing when the path is not a readable regular file (a directory or
// a pipe at the path counts as a missing file and is never opened).
std::optional<std::string> ReadWholeFile(const std::string& strPath)
{
    std::error_code error;
    if (!std::filesystem::is_regular_file(strPath, error))
        return std::nullopt;
    std::ifstream file(strPath, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::string strContents((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (file.bad())
        return std::nullopt;
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
