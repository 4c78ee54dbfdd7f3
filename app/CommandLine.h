#pragma once
// The parsed command line: the file to send and seven keyword flags.

#include <string>
#include <vector>

class CCustomCommandLineInfo
{
public:
    CCustomCommandLineInfo() = default;
    // Copies the file name and the seven flags only.
    CCustomCommandLineInfo(const CCustomCommandLineInfo& other);
    CCustomCommandLineInfo& operator=(const CCustomCommandLineInfo& other) = default;
    virtual ~CCustomCommandLineInfo() = default;

    // One argument, its prefix already removed when bSwitch is true.
    virtual void ParseParam(const std::string& strParam, bool bSwitch, bool bLast);

    std::string m_strFileName;
    int m_bVeld = 0;
    int m_bTx0852 = 0;
    int m_bEngb = 0;
    int m_bDede = 0;
    int m_bFrfr = 0;
    int m_bEses = 0;
    int m_bNlnl = 0;
};

// Feeds each argument to ParseParam in order with the prefix rules: one leading '-' makes a
// switch; one leading '/' makes a switch only when the rest is a keyword (otherwise it is an
// absolute path).
void ParseCommandLine(const std::vector<std::string>& arguments, CCustomCommandLineInfo& info);
