// The formatter for texts from the language file on arbitrary formats and arguments: it
// never reads beyond what it was given and the argument appears at most once.

#include "lang/TextFormat.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    FuzzedDataProvider provider(pData, nSize);
    const int64_t nNumber = provider.ConsumeIntegral<int64_t>();
    const std::string strFormat = provider.ConsumeRemainingBytesAsString();

    // A marker that no format can produce on its own shows where the argument went.
    const std::string strMarker = "\x01\x02\x03";
    const std::string strText = FormatWithString(strFormat, strMarker);
    if (strText.size() > strFormat.size() + strMarker.size())
        std::abort();
    const size_t nFirst = strText.find(strMarker);
    if (nFirst != std::string::npos && strFormat.find(strMarker) == std::string::npos &&
        strText.find(strMarker, nFirst + 1) != std::string::npos)
        std::abort();

    const std::string strNumber = FormatWithNumber(strFormat, nNumber);
    if (strNumber.size() > strFormat.size() + 20)
        std::abort();
    return 0;
}
