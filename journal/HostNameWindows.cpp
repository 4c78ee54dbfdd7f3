// The station's name on Windows: the computer's NetBIOS name.

#include "journal/Journal.h"

#include <windows.h>

std::string StationHostName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD nSize = sizeof(name);
    if (!::GetComputerNameA(name, &nSize) || nSize == 0)
    {
        return "unknown";
    }
    return std::string(name, nSize);
}
