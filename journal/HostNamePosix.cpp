// The station's name on POSIX: the kernel's host name.

#include "journal/Journal.h"

#include <climits>
#include <unistd.h>

std::string StationHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0')
    {
        return "unknown";
    }
    return name;
}
