// The program's place and its console on POSIX: /proc/self/exe, and standard output is the
// terminal already.

#include "app/ProgramPlace.h"
#include "app/QuillonApp.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace
{
bool IsSet(const char* pszName)
{
    const char* pszValue = std::getenv(pszName);
    return pszValue != nullptr && *pszValue != '\0';
}
} // namespace

std::string ProgramNameOf(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

bool GetProgramPlace(std::string& strDir, std::string& strName)
{
    char szPath[PATH_MAX + 1] = {};
    const ssize_t nLength = readlink("/proc/self/exe", szPath, PATH_MAX);
    if (nLength <= 0)
    {
        return false;
    }
    const std::string strPath(szPath, static_cast<size_t>(nLength));
    strName = ProgramNameOf(strPath);
    strDir = strPath.substr(0, strPath.size() - strName.size());
    return true;
}

bool StdoutIsFileOrPipe()
{
    return fcntl(STDOUT_FILENO, F_GETFD) != -1 && !isatty(STDOUT_FILENO);
}

bool RedirectStdoutToConsole()
{
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1)
    {
        return false;
    }
    return std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
}

bool HasDisplay()
{
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM");
}

void IgnoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}
