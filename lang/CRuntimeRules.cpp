#include "lang/CRuntimeRules.h"

#include <limits>

namespace
{
bool IsRuntimeSpace(unsigned char c)
{
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}
} // namespace

int64_t Atoi64(const std::string& strText)
{
    size_t nPos = 0;
    while (nPos < strText.size() && IsRuntimeSpace(static_cast<unsigned char>(strText[nPos])))
        ++nPos;

    bool bNegative = false;
    if (nPos < strText.size() && (strText[nPos] == '+' || strText[nPos] == '-'))
    {
        bNegative = strText[nPos] == '-';
        ++nPos;
    }

    // Accumulate the magnitude as unsigned so that INT64_MIN is reachable without overflow.
    constexpr uint64_t MAX_POSITIVE = std::numeric_limits<int64_t>::max();
    constexpr uint64_t MAX_NEGATIVE = MAX_POSITIVE + 1;
    const uint64_t nLimit = bNegative ? MAX_NEGATIVE : MAX_POSITIVE;
    uint64_t nValue = 0;
    bool bClamped = false;
    for (; nPos < strText.size() && strText[nPos] >= '0' && strText[nPos] <= '9'; ++nPos)
    {
        const uint64_t nDigit = static_cast<uint64_t>(strText[nPos] - '0');
        if (bClamped || nValue > (nLimit - nDigit) / 10)
        {
            bClamped = true;
            continue;
        }
        nValue = nValue * 10 + nDigit;
    }

    if (bClamped)
        return bNegative ? std::numeric_limits<int64_t>::min()
                         : std::numeric_limits<int64_t>::max();
    if (bNegative)
        return nValue == MAX_NEGATIVE ? std::numeric_limits<int64_t>::min()
                                      : -static_cast<int64_t>(nValue);
    return static_cast<int64_t>(nValue);
}

std::string MbsUpr(std::string strText)
{
    for (char& c : strText)
    {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return strText;
}
