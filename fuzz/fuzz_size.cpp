// The receive-size parser against the C library's strtoll, which follows the same rules in
// the C locale: blanks, one sign, decimal digits, clamping on overflow.

#include "lang/CRuntimeRules.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    const std::string strText(reinterpret_cast<const char*>(pData), nSize);
    const std::string strCText = strText.substr(0, strText.find('\0'));

    errno = 0;
    const long long nExpected = std::strtoll(strCText.c_str(), nullptr, 10);
    if (Atoi64(strCText) != static_cast<int64_t>(nExpected))
        std::abort();

    const std::string strUpper = MbsUpr(strText);
    if (strUpper.size() != strText.size())
        std::abort();
    for (size_t n = 0; n < strText.size(); ++n)
    {
        const char c = strText[n];
        const char cExpected = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
        if (strUpper[n] != cExpected)
            std::abort();
    }
    return 0;
}
