#include "board/WireLog.h"

std::FILE* OpenLogFile(const std::string& strPath)
{
    // Binary: text mode would end every line with CR LF. N: not inherited.
    return std::fopen(strPath.c_str(), "abN");
}
