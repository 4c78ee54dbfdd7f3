#include "app/JsonWriter.h"

#include <cstdio>

namespace
{
// The length of the well-formed UTF-8 sequence at nPos, or 0 when the byte there does not
// start one (overlong forms, surrogates and code points above U+10FFFF included).
size_t Utf8SequenceLength(const std::string& strText, size_t nPos)
{
    const auto byte = [&](size_t n) { return static_cast<unsigned char>(strText[n]); };
    const unsigned char c = byte(nPos);
    size_t nLength = 0;
    unsigned char nLow = 0x80;
    unsigned char nHigh = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
    {
        nLength = 2;
    }
    else if (c >= 0xE0 && c <= 0xEF)
    {
        nLength = 3;
        nLow = c == 0xE0 ? 0xA0 : 0x80;
        nHigh = c == 0xED ? 0x9F : 0xBF;
    }
    else if (c >= 0xF0 && c <= 0xF4)
    {
        nLength = 4;
        nLow = c == 0xF0 ? 0x90 : 0x80;
        nHigh = c == 0xF4 ? 0x8F : 0xBF;
    }
    if (nLength == 0 || nPos + nLength > strText.size())
    {
        return 0;
    }
    // Only the second byte has a narrowed range; the others are plain continuation bytes.
    if (byte(nPos + 1) < nLow || byte(nPos + 1) > nHigh)
    {
        return 0;
    }
    for (size_t n = 2; n < nLength; ++n)
    {
        if (byte(nPos + n) < 0x80 || byte(nPos + n) > 0xBF)
        {
            return 0;
        }
    }
    return nLength;
}
} // namespace

std::string JsonString(const std::string& strBytes)
{
    std::string strJson = "\"";
    for (size_t nPos = 0; nPos < strBytes.size();)
    {
        const unsigned char c = static_cast<unsigned char>(strBytes[nPos]);
        if (c >= 0x80)
        {
            const size_t nLength = Utf8SequenceLength(strBytes, nPos);
            strJson += nLength == 0 ? "\\ufffd" : strBytes.substr(nPos, nLength);
            nPos += nLength == 0 ? 1 : nLength;
            continue;
        }
        switch (c)
        {
        case '"':
            strJson += "\\\"";
            break;
        case '\\':
            strJson += "\\\\";
            break;
        case '\n':
            strJson += "\\n";
            break;
        case '\r':
            strJson += "\\r";
            break;
        case '\t':
            strJson += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
            {
                char szEscape[8];
                std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", c);
                strJson += szEscape;
            }
            else
            {
                strJson += static_cast<char>(c);
            }
        }
        ++nPos;
    }
    return strJson + "\"";
}

CJsonObject& CJsonObject::AddRaw(const std::string& strKey, const std::string& strJson)
{
    if (!m_strMembers.empty())
    {
        m_strMembers += ", ";
    }
    m_strMembers += JsonString(strKey) + ": " + strJson;
    return *this;
}

CJsonObject& CJsonObject::Add(const std::string& strKey, const std::string& strValue)
{
    return AddRaw(strKey, JsonString(strValue));
}

CJsonObject& CJsonObject::Add(const std::string& strKey, const char* pszValue)
{
    return AddRaw(strKey, JsonString(pszValue));
}

CJsonObject& CJsonObject::Add(const std::string& strKey, int64_t nValue)
{
    return AddRaw(strKey, std::to_string(nValue));
}

CJsonObject& CJsonObject::Add(const std::string& strKey, bool bValue)
{
    return AddRaw(strKey, bValue ? "true" : "false");
}

CJsonObject& CJsonObject::AddSeconds(const std::string& strKey, double dValue)
{
    char szValue[32];
    std::snprintf(szValue, sizeof(szValue), "%.3f", dValue);
    return AddRaw(strKey, szValue);
}

CJsonObject& CJsonObject::AddNull(const std::string& strKey)
{
    return AddRaw(strKey, "null");
}

CJsonObject& CJsonObject::AddShare(const std::string& strKey, double dValue)
{
    if (dValue < 0)
    {
        return AddNull(strKey);
    }
    char szValue[32];
    std::snprintf(szValue, sizeof(szValue), "%.4f", dValue);
    return AddRaw(strKey, szValue);
}

CJsonObject& CJsonObject::AddObject(const std::string& strKey, const CJsonObject& object)
{
    return AddRaw(strKey, object.Text());
}

CJsonObject& CJsonObject::AddArray(const std::string& strKey,
                                   const std::vector<CJsonObject>& objects)
{
    std::string strJson;
    for (const CJsonObject& object : objects)
    {
        strJson += (strJson.empty() ? "" : ", ") + object.Text();
    }
    return AddRaw(strKey, "[" + strJson + "]");
}

std::string CJsonObject::Text() const
{
    return "{" + m_strMembers + "}";
}

std::string JsonArray(const std::vector<CJsonObject>& objects)
{
    if (objects.empty())
    {
        return "[]";
    }
    std::string strJson = "[\n";
    for (size_t n = 0; n < objects.size(); ++n)
    {
        strJson += "  " + objects[n].Text() + (n + 1 < objects.size() ? ",\n" : "\n");
    }
    return strJson + "]";
}
