// Board locks on Windows: LockFileEx() on a lock file per board. The holder writes its process
// id at the start of the file; the lock covers one byte far past it, so a waiting process can
// still read who holds the board.

#include "usb/BoardLock.h"
#include "usb/WinHandle.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <windows.h>

namespace
{
// Far past the process id, and inside what every file system can lock.
const DWORD LOCKED_BYTE_OFFSET = 0x40000000;

bool LockByte(HANDLE hFile, DWORD nFlags)
{
    OVERLAPPED where = {};
    where.Offset = LOCKED_BYTE_OFFSET;
    return ::LockFileEx(hFile, nFlags, 0, 1, 0, &where) != FALSE;
}

pid_t ReadHolder(HANDLE hFile)
{
    char buffer[16] = {};
    DWORD nRead = 0;
    OVERLAPPED where = {};
    if (!::ReadFile(hFile, buffer, sizeof buffer - 1, &nRead, &where))
    {
        return 0;
    }
    return static_cast<pid_t>(std::strtol(buffer, nullptr, 10));
}

void WriteHolder(HANDLE hFile)
{
    const std::string strPid = std::to_string(::GetCurrentProcessId()) + "\n";
    DWORD nWritten = 0;
    OVERLAPPED where = {};
    ::WriteFile(hFile, strPid.data(), static_cast<DWORD>(strPid.size()), &nWritten, &where);
    ::SetFilePointer(hFile, static_cast<LONG>(strPid.size()), nullptr, FILE_BEGIN);
    ::SetEndOfFile(hFile);
}
} // namespace

void CBoardLock::Release()
{
    if (m_hLock != -1)
    {
        // Closing the handle releases the lock.
        ::CloseHandle(reinterpret_cast<HANDLE>(m_hLock));
        m_hLock = -1;
    }
    m_eState = EBoardLock::None;
}

CBoardLock CBoardLock::TryLock(const std::string& strDevicePath)
{
    CBoardLock lock;
    const std::string strDirectory = GetBoardLockDirectory();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::u8path(strDirectory), error);
    const std::string strPath = strDirectory + "\\" + BoardLockFileName(strDevicePath);
    const HANDLE hFile = ::CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
    {
        lock.m_eState = EBoardLock::Unavailable;
        lock.m_strError = strPath + ": " + SystemErrorText(::GetLastError());
        return lock;
    }
    if (LockByte(hFile, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY))
    {
        WriteHolder(hFile);
        lock.m_hLock = reinterpret_cast<std::intptr_t>(hFile);
        lock.m_eState = EBoardLock::Held;
        return lock;
    }
    const DWORD nError = ::GetLastError();
    if (nError == ERROR_LOCK_VIOLATION || nError == ERROR_IO_PENDING)
    {
        lock.m_eState = EBoardLock::Busy;
        lock.m_nHolder = ReadHolder(hFile);
    }
    else
    {
        lock.m_eState = EBoardLock::Unavailable;
        lock.m_strError = strDevicePath + ": cannot lock: " + SystemErrorText(nError);
    }
    ::CloseHandle(hFile);
    return lock;
}

std::string GetBoardLockDirectory()
{
    const char* pszAppData = std::getenv("LOCALAPPDATA");
    std::string strBase;
    if (pszAppData != nullptr && *pszAppData != '\0')
    {
        strBase = pszAppData;
    }
    else
    {
        char buffer[MAX_PATH + 1] = {};
        const DWORD nLength = ::GetTempPathA(sizeof buffer, buffer);
        strBase.assign(buffer, nLength > 0 && nLength <= MAX_PATH ? nLength : 0);
        while (!strBase.empty() && strBase.back() == '\\')
        {
            strBase.pop_back();
        }
    }
    return strBase + "\\Quillon\\locks";
}
