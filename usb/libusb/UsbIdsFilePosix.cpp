// The per-user file of board ids on POSIX: read without blocking on a FIFO, checked on the
// descriptor that is read, and read again only when its stamp changes.

#include "usb/libusb/UsbBoardIds.h"
#include "usb/libusb/UsbIdsFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// What identifies one version of the id file; a change of any of it means reading it again.
struct CFileStamp
{
    dev_t m_nDevice = 0;
    ino_t m_nInode = 0;
    off_t m_nSize = 0;
    mode_t m_nMode = 0;
    timespec m_modified{};

    CFileStamp() = default;
    explicit CFileStamp(const struct stat& info)
        : m_nDevice(info.st_dev), m_nInode(info.st_ino), m_nSize(info.st_size),
          m_nMode(info.st_mode), m_modified(info.st_mtim)
    {
    }
    bool operator==(const CFileStamp& other) const
    {
        const auto same = [](const timespec& a, const timespec& b)
        { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
        return m_nDevice == other.m_nDevice && m_nInode == other.m_nInode &&
               m_nSize == other.m_nSize && m_nMode == other.m_nMode &&
               same(m_modified, other.m_modified);
    }
};

// The last read of the per-user file, kept while its stamp stays the same.
struct CIdFileCache
{
    std::mutex m_mutex;
    std::string m_strPath;
    bool m_bValid = false;
    CFileStamp m_stamp;
    std::vector<CUsbBoardId> m_ids;
    std::string m_strProblem;
};

CIdFileCache& IdFileCache()
{
    static CIdFileCache cache;
    return cache;
}

std::string NotRegularReason(mode_t nMode)
{
    if (S_ISDIR(nMode))
    {
        return "a directory";
    }
    if (S_ISFIFO(nMode))
    {
        return "a FIFO";
    }
    if (S_ISCHR(nMode) || S_ISBLK(nMode))
    {
        return "a device";
    }
    if (S_ISSOCK(nMode))
    {
        return "a socket";
    }
    return "not a regular file";
}

} // namespace

std::vector<CUsbBoardId> CachedIdsOfFile(const std::string& strPath)
{
    CIdFileCache& cache = IdFileCache();
    std::lock_guard<std::mutex> lock(cache.m_mutex);
    struct stat info
    {
    };
    if (strPath.empty() || ::stat(strPath.c_str(), &info) != 0)
    {
        cache.m_bValid = false;
        cache.m_ids.clear();
        cache.m_strProblem.clear();
        return {};
    }
    if (cache.m_bValid && cache.m_strPath == strPath && cache.m_stamp == CFileStamp(info))
    {
        return cache.m_ids;
    }
    cache.m_ids.clear();
    cache.m_strProblem.clear();
    ReadUsbIdsFile(strPath, &cache.m_ids, &cache.m_strProblem);
    cache.m_strPath = strPath;
    cache.m_stamp = CFileStamp(info);
    cache.m_bValid = true;
    return cache.m_ids;
}

bool ReadUsbIdsFile(const std::string& strPath, std::vector<CUsbBoardId>* pIds,
                    std::string* pstrProblem)
{
    // Non-blocking, so that a FIFO without a writer cannot hang the open; checked on the
    // descriptor, so that what is read is what was checked.
    const int nFd = ::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (nFd < 0)
    {
        if (errno == ENOENT || errno == ENOTDIR)
        {
            return true;
        }
        *pstrProblem = strPath + " is ignored: " + std::strerror(errno);
        return false;
    }
    struct stat info
    {
    };
    std::string strReason;
    if (::fstat(nFd, &info) != 0)
    {
        strReason = std::strerror(errno);
    }
    else if (!S_ISREG(info.st_mode))
    {
        strReason = "it is " + NotRegularReason(info.st_mode) + ", not a file of ids";
    }
    else if (static_cast<uint64_t>(info.st_size) > USB_IDS_FILE_MAX_SIZE)
    {
        strReason = "it is larger than " + std::to_string(USB_IDS_FILE_MAX_SIZE / 1024) + " KiB";
    }
    std::string strText;
    if (strReason.empty())
    {
        // The size may grow while it is read: never more than the cap plus one byte.
        char buffer[4096];
        while (strText.size() <= USB_IDS_FILE_MAX_SIZE)
        {
            const ssize_t nRead = ::read(nFd, buffer, sizeof(buffer));
            if (nRead < 0 && errno == EINTR)
            {
                continue;
            }
            if (nRead < 0)
            {
                strReason = std::strerror(errno);
                break;
            }
            if (nRead == 0)
            {
                break;
            }
            strText.append(buffer, static_cast<size_t>(nRead));
        }
        if (strReason.empty() && strText.size() > USB_IDS_FILE_MAX_SIZE)
        {
            strReason =
                "it is larger than " + std::to_string(USB_IDS_FILE_MAX_SIZE / 1024) + " KiB";
        }
    }
    ::close(nFd);
    if (!strReason.empty())
    {
        *pstrProblem = strPath + " is ignored: " + strReason;
        return false;
    }
    // A malformed word costs only that word; listing boards must not fail over a typo.
    ParseUsbBoardIds(strText, pIds, nullptr);
    return true;
}

std::string UsbIdsFileProblem()
{
    CIdFileCache& cache = IdFileCache();
    std::lock_guard<std::mutex> lock(cache.m_mutex);
    return cache.m_strProblem;
}
