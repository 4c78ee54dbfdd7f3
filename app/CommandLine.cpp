#include "app/CommandLine.h"

#include <array>
#include <string_view>

namespace
{
// In the order ParseParam compares them.
constexpr std::array<std::string_view, 7> KEYWORDS = {"veld", "tx0852", "engb", "dede",
                                                      "frfr", "eses",   "nlnl"};

bool IsKeyword(std::string_view strText)
{
    for (const std::string_view strKeyword : KEYWORDS)
    {
        if (strText == strKeyword)
            return true;
    }
    return false;
}
} // namespace

CCustomCommandLineInfo::CCustomCommandLineInfo(const CCustomCommandLineInfo& other)
    : m_strFileName(other.m_strFileName), m_bVeld(other.m_bVeld), m_bTx0852(other.m_bTx0852),
      m_bEngb(other.m_bEngb), m_bDede(other.m_bDede), m_bFrfr(other.m_bFrfr),
      m_bEses(other.m_bEses), m_bNlnl(other.m_bNlnl)
{
}

void CCustomCommandLineInfo::ParseParam(const std::string& strParam, bool bSwitch,
                                        [[maybe_unused]] bool bLast)
{
    const std::array<int*, 7> flags = {&m_bVeld, &m_bTx0852, &m_bEngb, &m_bDede,
                                       &m_bFrfr, &m_bEses,   &m_bNlnl};
    // A keyword counts with or without a prefix; a bare one is still a positional argument.
    for (size_t n = 0; n < KEYWORDS.size(); ++n)
    {
        if (strParam == KEYWORDS[n])
        {
            *flags[n] = 1;
            break;
        }
    }

    // Switches other than the keywords mean nothing to this program. The first positional
    // argument names the file; later ones are ignored. An empty argument names nothing.
    if (!bSwitch && m_strFileName.empty())
        m_strFileName = strParam;
}

void ParseCommandLine(const std::vector<std::string>& arguments, CCustomCommandLineInfo& info)
{
    for (size_t n = 0; n < arguments.size(); ++n)
    {
        const std::string& strArgument = arguments[n];
        const bool bLast = n + 1 == arguments.size();
        if (strArgument.starts_with('-'))
        {
            info.ParseParam(strArgument.substr(1), true, bLast);
        }
        else if (strArgument.starts_with('/') && IsKeyword(std::string_view(strArgument).substr(1)))
        {
            info.ParseParam(strArgument.substr(1), true, bLast);
        }
        else
        {
            // With '/' in front this is an absolute path, the usual way to name the file.
            info.ParseParam(strArgument, false, bLast);
        }
    }
}
