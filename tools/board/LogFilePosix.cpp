#include "board/WireLog.h"

std::FILE* OpenLogFile(const std::string& strPath)
{
    return std::fopen(strPath.c_str(), "ae");
}
