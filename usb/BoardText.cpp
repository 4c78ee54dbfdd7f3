#include "usb/BoardText.h"

#include <cstdint>

namespace
{
// The length of the valid UTF-8 sequence at nPos and its code point; 0 when invalid.
size_t DecodeUtf8(const std::string& strText, size_t nPos, uint32_t* pnCode)
{
    const auto byte = [&](size_t n) { return static_cast<uint8_t>(strText[n]); };
    const uint8_t nLead = byte(nPos);
    size_t nLength = 0;
    uint32_t nCode = 0;
    uint32_t nMin = 0;
    if (nLead < 0x80)
    {
        *pnCode = nLead;
        return 1;
    }
    if ((nLead & 0xE0) == 0xC0)
    {
        nLength = 2;
        nCode = nLead & 0x1Fu;
        nMin = 0x80;
    }
    else if ((nLead & 0xF0) == 0xE0)
    {
        nLength = 3;
        nCode = nLead & 0x0Fu;
        nMin = 0x800;
    }
    else if ((nLead & 0xF8) == 0xF0)
    {
        nLength = 4;
        nCode = nLead & 0x07u;
        nMin = 0x10000;
    }
    else
    {
        return 0;
    }
    if (nPos + nLength > strText.size())
    {
        return 0;
    }
    for (size_t n = 1; n < nLength; ++n)
    {
        if ((byte(nPos + n) & 0xC0) != 0x80)
        {
            return 0;
        }
        nCode = (nCode << 6) | (byte(nPos + n) & 0x3Fu);
    }
    // Overlong forms, surrogates and code points past Unicode are not valid UTF-8.
    if (nCode < nMin || (nCode >= 0xD800 && nCode < 0xE000) || nCode > 0x10FFFF)
    {
        return 0;
    }
    *pnCode = nCode;
    return nLength;
}

bool IsShowable(uint32_t nCode)
{
    const bool bControl = nCode < 0x20 || (nCode >= 0x7F && nCode < 0xA0);
    // Embeddings, overrides and isolates make a terminal draw the text around them reordered.
    const bool bReordering = (nCode >= 0x202A && nCode <= 0x202E) ||
                             (nCode >= 0x2066 && nCode <= 0x2069) || nCode == 0x200E ||
                             nCode == 0x200F || nCode == 0x061C;
    return !bControl && !bReordering;
}
} // namespace

std::string ShowableBoardText(const std::string& strText)
{
    std::string strShown;
    strShown.reserve(strText.size());
    size_t nPos = 0;
    while (nPos < strText.size())
    {
        uint32_t nCode = 0;
        const size_t nLength = DecodeUtf8(strText, nPos, &nCode);
        if (nLength == 0 || !IsShowable(nCode))
        {
            strShown += '?';
            nPos += nLength == 0 ? 1 : nLength;
            continue;
        }
        strShown.append(strText, nPos, nLength);
        nPos += nLength;
    }
    return strShown;
}
