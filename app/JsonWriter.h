#pragma once
// A small JSON writer for the machine-readable output (--json). Any bytes may go in,
// board text included: quotes, backslashes and control characters are escaped, and bytes
// that are not UTF-8 become U+FFFD, so the output is always valid JSON.

#include <cstdint>
#include <string>
#include <vector>

// The text as a JSON string, quotes included.
std::string JsonString(const std::string& strBytes);

// One object, its members in the order they were added.
class CJsonObject
{
public:
    CJsonObject& Add(const std::string& strKey, const std::string& strValue);
    CJsonObject& Add(const std::string& strKey, const char* pszValue);
    CJsonObject& Add(const std::string& strKey, int64_t nValue);
    CJsonObject& Add(const std::string& strKey, bool bValue);
    // With three decimals (seconds).
    CJsonObject& AddSeconds(const std::string& strKey, double dValue);
    CJsonObject& AddNull(const std::string& strKey);
    // A share from 0 to 1 with four decimals; null when negative (nothing to share).
    CJsonObject& AddShare(const std::string& strKey, double dValue);
    CJsonObject& AddObject(const std::string& strKey, const CJsonObject& object);
    // On one line.
    CJsonObject& AddArray(const std::string& strKey, const std::vector<CJsonObject>& objects);
    std::string Text() const;

private:
    CJsonObject& AddRaw(const std::string& strKey, const std::string& strJson);
    std::string m_strMembers;
};

// "[a,b]" of objects' texts, one per line for people who read it.
std::string JsonArray(const std::vector<CJsonObject>& objects);
