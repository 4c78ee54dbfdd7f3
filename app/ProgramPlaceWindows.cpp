// The program's place and its console on Windows: GetModuleFileNameA, and a console taken
// from the parent (so that scripts and terminals capture the report) or else a new one.

#include "app/ProgramPlace.h"
#include "app/QuillonApp.h"

#include <cstdio>
#include <windows.h>

namespace
{
bool IsUsable(HANDLE hHandle)
{
    return hHandle != nullptr && hHandle != INVALID_HANDLE_VALUE;
}

std::string WithoutExe(const std::string& strName)
{
    const size_t nLength = strName.size();
    if (nLength > 4 && strName[nLength - 4] == '.' && (strName[nLength - 3] | 0x20) == 'e' &&
        (strName[nLength - 2] | 0x20) == 'x' && (strName[nLength - 1] | 0x20) == 'e')
    {
        return strName.substr(0, nLength - 4);
    }
    return strName;
}
} // namespace

std::string ProgramNameOf(const std::string& strPath)
{
    const size_t nSlash = strPath.find_last_of("\\/");
    return WithoutExe(nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1));
}

bool GetProgramPlace(std::string& strDir, std::string& strName)
{
    char szPath[MAX_PATH] = {};
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    // MAX_PATH itself means the path was cut short.
    if (nLength == 0 || nLength >= MAX_PATH)
    {
        return false;
    }
    const std::string strPath(szPath, nLength);
    const size_t nSlash = strPath.find_last_of("\\/");
    strDir = nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash + 1);
    strName = ProgramNameOf(strPath);
    return true;
}

bool StdoutIsFileOrPipe()
{
    const HANDLE hOut = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (!IsUsable(hOut))
    {
        return false;
    }
    const DWORD nType = ::GetFileType(hOut);
    return nType == FILE_TYPE_DISK || nType == FILE_TYPE_PIPE;
}

bool RedirectStdoutToConsole()
{
    // A standard output given by the caller (a file, a pipe, a console) is kept as it is.
    if (!IsUsable(::GetStdHandle(STD_OUTPUT_HANDLE)))
    {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS) && !::AllocConsole())
        {
            return false;
        }
        if (std::freopen("CONOUT$", "w", stdout) == nullptr)
        {
            return false;
        }
        if (!IsUsable(::GetStdHandle(STD_ERROR_HANDLE)))
        {
            std::freopen("CONOUT$", "w", stderr);
        }
    }
    return std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
}

bool HasDisplay()
{
    // Every interactive Windows session has a desktop.
    return true;
}

void IgnoreBrokenPipes()
{
    // Nothing to do: a write to a closed pipe fails with ERROR_NO_DATA, no signal ends us.
}
