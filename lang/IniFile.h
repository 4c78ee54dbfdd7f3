#pragma once
// A read-only INI file with the platform reader's rules for matching, trimming, comments,
// quotes, duplicates and truncation. Nothing is cached: every read goes to the file.

#include <cstdint>
#include <optional>
#include <string>

constexpr size_t INI_VALUE_BUFFER = 255; // values come back with at most 254 characters
// A file larger than this is not read at all, as if it were missing: no language file or
// setting comes near it, and every lookup reads the file again.
constexpr uintmax_t MAX_INI_FILE_SIZE = 1024 * 1024;

class CIniFile
{
public:
    explicit CIniFile(std::string strPath) : m_strPath(std::move(strPath)) {}
    std::string ReadString(const std::string& strSection, const std::string& strKey,
                           const std::string& strDefault) const;
    // The key's value, or nothing when the file, the section or the key is missing.
    std::optional<std::string> FindString(const std::string& strSection,
                                          const std::string& strKey) const;

    const std::string m_strPath;
};

// The reader itself, over a file's bytes (exposed for tests and fuzzing).
std::string ReadIniValue(const std::string& strContents, const std::string& strSection,
                         const std::string& strKey, const std::string& strDefault);
std::optional<std::string> FindIniValue(const std::string& strContents,
                                        const std::string& strSection, const std::string& strKey);
