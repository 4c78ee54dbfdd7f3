#pragma once
// The command line of quillon-board.

#include "board/BoardSession.h"

#include <string>
#include <vector>

struct CBoardOptions
{
    bool m_bHelp = false;
    std::string m_strRegistry; // empty: the default registry
    std::string m_strSaveDir;
    std::string m_strLogFile;
    uint64_t m_nLogLimit = DEFAULT_LOG_LIMIT;
    std::vector<CBoardConfig> m_boards; // at least one after a successful parse
};

// Options before the first --board set every board's defaults; options after a --board
// apply to that board only. False with a message in *pstrError.
bool ParseBoardOptions(const std::vector<std::string>& arguments, CBoardOptions* pOptions,
                       std::string* pstrError);

const char* BoardUsage();
