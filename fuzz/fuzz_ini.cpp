// The INI reader on arbitrary file contents and names: it must not crash, must respect the
// value buffer, and must match names without regard to ASCII letter case.

#include "lang/CRuntimeRules.h"
#include "lang/IniFile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>

namespace
{
std::string AsciiLower(std::string strText)
{
    for (char& c : strText)
    {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return strText;
}

void Check(bool bCondition)
{
    if (!bCondition)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    FuzzedDataProvider provider(pData, nSize);
    const std::string strSection = provider.ConsumeRandomLengthString(40);
    const std::string strKey = provider.ConsumeRandomLengthString(40);
    const std::string strDefault = provider.ConsumeRandomLengthString(300);
    const std::string strContents = provider.ConsumeRemainingBytesAsString();

    const auto strFound = FindIniValue(strContents, strSection, strKey);
    if (strFound)
    {
        Check(strFound->size() < INI_VALUE_BUFFER);
        Check(strFound->find('\0') == std::string::npos);
    }

    const std::string strRead = ReadIniValue(strContents, strSection, strKey, strDefault);
    Check(strRead.size() < INI_VALUE_BUFFER);
    if (strFound)
        Check(strRead == *strFound);

    Check(FindIniValue(strContents, MbsUpr(strSection), AsciiLower(strKey)) == strFound);
    return 0;
}
