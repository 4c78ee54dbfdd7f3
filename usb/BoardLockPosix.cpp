// Board locks on POSIX: flock() on the board's directory or on its lock file.

#include "usb/BoardLock.h"

#include "usb/PipeLayer.h"
#include "usb/virtual/VirtualRegistry.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace
{
// The table names the process that took the lock, also after it exited and left the lock to a
// child: it is named only while it still has the file open (or, for another user's process
// that cannot be looked into, while it exists).
bool StillHolds(pid_t nPid, const struct stat& file)
{
    DIR* pDir = ::opendir(("/proc/" + std::to_string(nPid) + "/fd").c_str());
    if (pDir == nullptr)
    {
        return errno != ENOENT && (::kill(nPid, 0) == 0 || errno == EPERM);
    }
    bool bHolds = false;
    while (const dirent* pEntry = ::readdir(pDir))
    {
        struct stat info
        {
        };
        if (pEntry->d_name[0] != '.' && ::fstatat(::dirfd(pDir), pEntry->d_name, &info, 0) == 0 &&
            info.st_dev == file.st_dev && info.st_ino == file.st_ino)
        {
            bHolds = true;
            break;
        }
    }
    ::closedir(pDir);
    return bHolds;
}

// The process holding a flock() on the file behind nFd, from the kernel's lock table
// ("1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF"); 0 when it is not listed.
pid_t FindFlockHolder(int nFd)
{
    struct stat info
    {
    };
    if (::fstat(nFd, &info) != 0)
    {
        return 0;
    }
    std::ifstream locks("/proc/locks");
    std::string strLine;
    while (std::getline(locks, strLine))
    {
        std::istringstream fields(strLine);
        std::string strNumber;
        std::string strClass;
        std::string strMode;
        std::string strAccess;
        long nPid = 0;
        std::string strFile;
        fields >> strNumber >> strClass;
        if (strClass != "FLOCK") // also skips the "->" lines of waiters
        {
            continue;
        }
        fields >> strMode >> strAccess >> nPid >> strFile;
        unsigned nMajor = 0;
        unsigned nMinor = 0;
        unsigned long long nInode = 0;
        if (std::sscanf(strFile.c_str(), "%x:%x:%llu", &nMajor, &nMinor, &nInode) == 3 &&
            nInode == info.st_ino && nMajor == major(info.st_dev) && nMinor == minor(info.st_dev) &&
            nPid > 0 && nPid != ::getpid())
        {
            return StillHolds(static_cast<pid_t>(nPid), info) ? static_cast<pid_t>(nPid) : 0;
        }
    }
    return 0;
}

int OpenLockTarget(const std::string& strDevicePath, std::string* pstrError)
{
    if (!strDevicePath.empty() && strDevicePath.front() == '/')
    {
        return ::open(strDevicePath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    // A USB board: its device node, which every user who may open the board can lock too, so
    // that two users' runs are kept apart as two runs of one user are.
    const std::string strNode = PipeLayer::SharedLockFile(strDevicePath);
    if (!strNode.empty())
    {
        const int nFd = ::open(strNode.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (nFd >= 0)
        {
            return nFd;
        }
    }
    const std::string strDirectory = GetBoardLockDirectory();
    if (!EnsurePrivateDirectory(strDirectory, pstrError))
    {
        errno = EACCES;
        return -1;
    }
    const std::string strPath = strDirectory + "/" + BoardLockFileName(strDevicePath);
    const int nFd = ::open(strPath.c_str(),
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat info
    {
    };
    if (nFd >= 0 && (::fstat(nFd, &info) != 0 || !S_ISREG(info.st_mode)))
    {
        ::close(nFd);
        *pstrError = strPath + ": not a regular file";
        errno = EINVAL;
        return -1;
    }
    if (nFd < 0)
    {
        *pstrError = strPath + ": " + std::strerror(errno);
    }
    return nFd;
}
} // namespace

void CBoardLock::Release()
{
    if (m_hLock >= 0)
    {
        // Closing the only descriptor of the open file releases the lock.
        ::close(static_cast<int>(m_hLock));
        m_hLock = -1;
    }
    m_eState = EBoardLock::None;
}

CBoardLock CBoardLock::TryLock(const std::string& strDevicePath)
{
    CBoardLock lock;
    std::string strError;
    const int nFd = OpenLockTarget(strDevicePath, &strError);
    if (nFd < 0)
    {
        // A board directory that vanished since the listing is a board that was detached.
        const bool bGone = !strDevicePath.empty() && strDevicePath.front() == '/' &&
                           (errno == ENOENT || errno == ENOTDIR);
        lock.m_eState = bGone ? EBoardLock::Gone : EBoardLock::Unavailable;
        lock.m_strError = strError.empty() ? strDevicePath + ": " + std::strerror(errno) : strError;
        return lock;
    }
    int nResult;
    do
    {
        nResult = ::flock(nFd, LOCK_EX | LOCK_NB);
    } while (nResult != 0 && errno == EINTR);
    if (nResult == 0)
    {
        lock.m_hLock = nFd;
        lock.m_eState = EBoardLock::Held;
        return lock;
    }
    if (errno == EWOULDBLOCK)
    {
        lock.m_eState = EBoardLock::Busy;
        lock.m_nHolder = FindFlockHolder(nFd);
    }
    else
    {
        lock.m_eState = EBoardLock::Unavailable;
        lock.m_strError = strDevicePath + ": cannot lock: " + std::strerror(errno);
    }
    ::close(nFd);
    return lock;
}

std::string GetBoardLockDirectory()
{
    return GetQuillonRuntimeDirectory() + "/locks";
}
