#include "lang/DebugOutput.h"

#include <cstdio>
#include <cstdlib>

void OutputDebugText(const std::string& strText)
{
    // Read on every call so that the channel can be switched on without a restart of tests.
    const char* pszDebug = std::getenv("QUILLON_DEBUG");
    if (pszDebug == nullptr || *pszDebug == '\0')
        return;
    std::string strLine = strText;
    strLine += '\n';
    std::fwrite(strLine.data(), 1, strLine.size(), stderr);
    std::fflush(stderr);
}
