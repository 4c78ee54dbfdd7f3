#include "lang/IniFile.h"

#include <iterator>
#include <string_view>

namespace
{
constexpr size_t MAX_VALUE_LENGTH = INI_VALUE_BUFFER - 1;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v';
}

std::string_view TrimBlanks(std::string_view strText)
{
    while (!strText.empty() && IsBlank(strText.front()))
        strText.remove_prefix(1);
    while (!strText.empty() && IsBlank(strText.back()))
        strText.remove_suffix(1);
    return strText;
}

// Requested names lose surrounding spaces only; tabs stay part of the name.
std::string_view TrimSpaces(std::string_view strText)
{
    while (!strText.empty() && strText.front() == ' ')
        strText.remove_prefix(1);
    while (!strText.empty() && strText.back() == ' ')
        strText.remove_suffix(1);
    return strText;
}

char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view strA, std::string_view strB)
{
    if (strA.size() != strB.size())
        return false;
    for (size_t n = 0; n < strA.size(); ++n)
    {
        if (AsciiLower(strA[n]) != AsciiLower(strB[n]))
            return false;
    }
    return true;
}

void AppendUtf8(std::string& strOut, char32_t nCodePoint)
{
    if (nCodePoint < 0x80)
    {
        strOut += static_cast<char>(nCodePoint);
    }
    else if (nCodePoint < 0x800)
    {
        strOut += static_cast<char>(0xC0 | (nCodePoint >> 6));
        strOut += static_cast<char>(0x80 | (nCodePoint & 0x3F));
    }
    else if (nCodePoint < 0x10000)
    {
        strOut += static_cast<char>(0xE0 | (nCodePoint >> 12));
        strOut += static_cast<char>(0x80 | ((nCodePoint >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCodePoint & 0x3F));
    }
    else
    {
        strOut += static_cast<char>(0xF0 | (nCodePoint >> 18));
        strOut += static_cast<char>(0x80 | ((nCodePoint >> 12) & 0x3F));
        strOut += static_cast<char>(0x80 | ((nCodePoint >> 6) & 0x3F));
        strOut += static_cast<char>(0x80 | (nCodePoint & 0x3F));
    }
}

// A file saved as "Unicode" by Windows editors is UTF-16LE with FF FE in front; the rest of
// the program works in UTF-8. Unpaired surrogates and an odd last byte become U+FFFD.
std::string Utf16LeToUtf8(std::string_view strBytes)
{
    constexpr char32_t REPLACEMENT = 0xFFFD;
    std::string strOut;
    strOut.reserve(strBytes.size());
    size_t nPos = 0;
    auto readUnit = [&](size_t nAt)
    {
        return static_cast<char32_t>(static_cast<unsigned char>(strBytes[nAt]) |
                                     (static_cast<unsigned char>(strBytes[nAt + 1]) << 8));
    };
    while (nPos + 1 < strBytes.size())
    {
        const char32_t nUnit = readUnit(nPos);
        nPos += 2;
        if (nUnit >= 0xD800 && nUnit <= 0xDBFF && nPos + 1 < strBytes.size())
        {
            const char32_t nLow = readUnit(nPos);
            if (nLow >= 0xDC00 && nLow <= 0xDFFF)
            {
                nPos += 2;
                AppendUtf8(strOut, 0x10000 + ((nUnit - 0xD800) << 10) + (nLow - 0xDC00));
                continue;
            }
        }
        AppendUtf8(strOut, (nUnit >= 0xD800 && nUnit <= 0xDFFF) ? REPLACEMENT : nUnit);
    }
    if (nPos < strBytes.size())
        AppendUtf8(strOut, REPLACEMENT);
    return strOut;
}

// Cuts a text to the buffer's capacity. The cut never leaves half a UTF-8 character at
// the end, which would show as garbage in the windows.
std::string LimitLength(std::string_view strText)
{
    const size_t nNul = strText.find('\0');
    if (nNul != std::string_view::npos)
        strText = strText.substr(0, nNul);
    if (strText.size() <= MAX_VALUE_LENGTH)
        return std::string(strText);

    // Walk back over at most three continuation bytes to the start of the last character.
    size_t nLength = MAX_VALUE_LENGTH;
    size_t nStart = nLength - 1;
    while (nStart > 0 && nLength - nStart < 4 &&
           (static_cast<unsigned char>(strText[nStart]) & 0xC0) == 0x80)
        --nStart;
    const auto cLead = static_cast<unsigned char>(strText[nStart]);
    size_t nSequence = 1;
    if ((cLead & 0xE0) == 0xC0)
        nSequence = 2;
    else if ((cLead & 0xF0) == 0xE0)
        nSequence = 3;
    else if ((cLead & 0xF8) == 0xF0)
        nSequence = 4;
    if (nStart + nSequence > nLength)
        nLength = nStart;
    return std::string(strText.substr(0, nLength));
}

std::string_view StripQuotes(std::string_view strValue)
{
    if (strValue.size() >= 2 && (strValue.front() == '"' || strValue.front() == '\'') &&
        strValue.back() == strValue.front())
        return strValue.substr(1, strValue.size() - 2);
    return strValue;
}
} // namespace

std::optional<std::string> FindIniValue(const std::string& strContents,
                                        const std::string& strSection, const std::string& strKey)
{
    std::string strDecoded;
    std::string_view strText = strContents;
    if (strText.starts_with("\xFF\xFE"))
    {
        strDecoded = Utf16LeToUtf8(strText.substr(2));
        strText = strDecoded;
    }
    else if (strText.starts_with("\xEF\xBB\xBF"))
    {
        strText.remove_prefix(3);
    }

    const std::string_view strWantedSection = TrimSpaces(strSection);
    const std::string_view strWantedKey = TrimSpaces(strKey);
    bool bInSection = false;
    size_t nPos = 0;
    while (nPos < strText.size())
    {
        // Any run of CR and LF ends a line.
        size_t nEnd = strText.find_first_of("\r\n", nPos);
        if (nEnd == std::string_view::npos)
            nEnd = strText.size();
        std::string_view strLine = TrimBlanks(strText.substr(nPos, nEnd - nPos));
        nPos = strText.find_first_not_of("\r\n", nEnd);
        if (nPos == std::string_view::npos)
            nPos = strText.size();

        if (strLine.empty() || strLine.front() == ';')
            continue;
        if (strLine.front() == '[')
        {
            // Only the first section of a name counts: leaving it ends the search.
            if (bInSection)
                return std::nullopt;
            std::string_view strName = strLine.substr(1);
            strName = strName.substr(0, strName.find(']'));
            bInSection = EqualsNoCase(TrimBlanks(strName), strWantedSection);
            continue;
        }
        if (!bInSection)
            continue;
        const size_t nEquals = strLine.find('=');
        if (nEquals == std::string_view::npos)
            continue;
        if (!EqualsNoCase(TrimBlanks(strLine.substr(0, nEquals)), strWantedKey))
            continue;
        return LimitLength(StripQuotes(TrimBlanks(strLine.substr(nEquals + 1))));
    }
    return std::nullopt;
}

std::string ReadIniValue(const std::string& strContents, const std::string& strSection,
                         const std::string& strKey, const std::string& strDefault)
{
    if (auto strValue = FindIniValue(strContents, strSection, strKey))
        return *strValue;
    const size_t nLast = strDefault.find_last_not_of(' ');
    return LimitLength(
        std::string_view(strDefault).substr(0, nLast == std::string::npos ? 0 : nLast + 1));
}
