// The command-line parser on arbitrary argument lists (NUL separates arguments): every flag
// stays 0 or 1 and comes from a keyword, and the file name is an argument as given.

#include "app/CommandLine.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace
{
constexpr std::array<std::string_view, 7> KEYWORDS = {"veld", "tx0852", "engb", "dede",
                                                      "frfr", "eses",   "nlnl"};

void Check(bool bCondition)
{
    if (!bCondition)
        std::abort();
}

bool NamesKeyword(const std::string& strArgument, std::string_view strKeyword)
{
    std::string_view strRest = strArgument;
    if (strRest.starts_with('-') || strRest.starts_with('/'))
        strRest.remove_prefix(1);
    return strArgument == strKeyword || strRest == strKeyword;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    std::vector<std::string> arguments(1);
    for (size_t n = 0; n < nSize && arguments.size() < 64; ++n)
    {
        if (pData[n] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<char>(pData[n]);
    }

    CCustomCommandLineInfo info;
    ParseCommandLine(arguments, info);

    const std::array<int, 7> flags = {info.m_bVeld, info.m_bTx0852, info.m_bEngb, info.m_bDede,
                                      info.m_bFrfr, info.m_bEses,   info.m_bNlnl};
    for (size_t k = 0; k < KEYWORDS.size(); ++k)
    {
        bool bNamed = false;
        for (const std::string& strArgument : arguments)
            bNamed = bNamed || NamesKeyword(strArgument, KEYWORDS[k]);
        Check(flags[k] == (bNamed ? 1 : 0));
    }

    if (!info.m_strFileName.empty())
    {
        Check(info.m_strFileName[0] != '-');
        bool bGiven = false;
        for (const std::string& strArgument : arguments)
            bGiven = bGiven || strArgument == info.m_strFileName;
        Check(bGiven);
    }

    const CCustomCommandLineInfo copy(info);
    Check(copy.m_strFileName == info.m_strFileName && copy.m_bNlnl == info.m_bNlnl);
    return 0;
}
