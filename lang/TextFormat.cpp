#include "lang/TextFormat.h"

namespace
{
// Copies strFormat, putting strArgument in place of the first "%<cConversion>", turning "%%"
// into "%" and keeping every other '%' as it stands.
std::string SubstituteOnce(const std::string& strFormat, char cConversion,
                           const std::string& strArgument)
{
    std::string strResult;
    strResult.reserve(strFormat.size() + strArgument.size());
    bool bSubstituted = false;
    for (size_t nPos = 0; nPos < strFormat.size(); ++nPos)
    {
        const char c = strFormat[nPos];
        if (c != '%' || nPos + 1 == strFormat.size())
        {
            strResult += c;
            continue;
        }
        const char cNext = strFormat[nPos + 1];
        if (cNext == '%')
        {
            strResult += '%';
            ++nPos;
        }
        else if (cNext == cConversion && !bSubstituted)
        {
            strResult += strArgument;
            bSubstituted = true;
            ++nPos;
        }
        else
        {
            strResult += c;
        }
    }
    return strResult;
}
} // namespace

std::string FormatWithString(const std::string& strFormat, const std::string& strArgument)
{
    return SubstituteOnce(strFormat, 's', strArgument);
}

std::string FormatWithNumber(const std::string& strFormat, int64_t nArgument)
{
    return SubstituteOnce(strFormat, 'd', std::to_string(nArgument));
}
