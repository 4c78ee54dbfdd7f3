#include "usb/UsbBoardIds.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::mutex& AddedMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<CUsbBoardId>& AddedIds()
{
    static std::vector<CUsbBoardId> ids;
    return ids;
}

bool ParseHex16(const std::string& strText, uint16_t* pnValue)
{
    if (strText.empty() || strText.size() > 4)
    {
        return false;
    }
    unsigned nValue = 0;
    for (char ch : strText)
    {
        unsigned nDigit = 0;
        if (ch >= '0' && ch <= '9')
        {
            nDigit = static_cast<unsigned>(ch - '0');
        }
        else if (ch >= 'a' && ch <= 'f')
        {
            nDigit = static_cast<unsigned>(ch - 'a' + 10);
        }
        else if (ch >= 'A' && ch <= 'F')
        {
            nDigit = static_cast<unsigned>(ch - 'A' + 10);
        }
        else
        {
            return false;
        }
        nValue = nValue * 16 + nDigit;
    }
    *pnValue = static_cast<uint16_t>(nValue);
    return true;
}

bool ParseOneId(const std::string& strWord, CUsbBoardId* pId)
{
    std::string strBody = strWord;
    const size_t nColon = strBody.find(':');
    if (nColon == std::string::npos)
    {
        return false;
    }
    return ParseHex16(strBody.substr(0, nColon), &pId->m_nVendor) &&
           ParseHex16(strBody.substr(nColon + 1), &pId->m_nProduct);
}

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

// The ids of the per-user file, read again only when it changed.
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

void AppendUnique(std::vector<CUsbBoardId>* pIds, const std::vector<CUsbBoardId>& more)
{
    for (const CUsbBoardId& id : more)
    {
        if (std::find(pIds->begin(), pIds->end(), id) == pIds->end())
        {
            pIds->push_back(id);
        }
    }
}
} // namespace

bool ParseUsbBoardIds(const std::string& strText, std::vector<CUsbBoardId>* pIds,
                      std::string* pstrError)
{
    bool bOk = true;
    std::string strWord;
    bool bInComment = false;
    auto flush = [&]()
    {
        if (strWord.empty())
        {
            return;
        }
        CUsbBoardId id;
        if (ParseOneId(strWord, &id))
        {
            pIds->push_back(id);
        }
        else if (bOk)
        {
            bOk = false;
            if (pstrError != nullptr)
            {
                *pstrError = strWord;
            }
        }
        strWord.clear();
    };
    for (char ch : strText)
    {
        if (bInComment)
        {
            bInComment = ch != '\n';
            continue;
        }
        if (ch == '#')
        {
            flush();
            bInComment = true;
        }
        else if (ch == ',' || ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
        {
            flush();
        }
        else
        {
            strWord += ch;
        }
    }
    flush();
    return bOk;
}

bool AddUsbBoardIds(const std::string& strText, std::string* pstrError)
{
    std::vector<CUsbBoardId> ids;
    std::string strBad;
    if (!ParseUsbBoardIds(strText, &ids, &strBad) || ids.empty())
    {
        if (pstrError != nullptr)
        {
            *pstrError =
                "Not a USB id list (expected vvvv:pppp in hexadecimal, e.g. 1209:5150): \"" +
                (strBad.empty() ? strText : strBad) + "\"";
        }
        return false;
    }
    std::lock_guard<std::mutex> lock(AddedMutex());
    AppendUnique(&AddedIds(), ids);
    return true;
}

std::string GetUsbIdsConfigPath()
{
    const char* pszConfig = std::getenv("XDG_CONFIG_HOME");
    if (pszConfig != nullptr && *pszConfig == '/')
    {
        return std::string(pszConfig) + "/" + USB_IDS_CONFIG_FILE;
    }
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && *pszHome != '\0')
    {
        return std::string(pszHome) + "/.config/" + USB_IDS_CONFIG_FILE;
    }
    return {};
}

std::vector<CUsbBoardId> GetUsbBoardIds()
{
    std::vector<CUsbBoardId> ids(std::begin(USB_DEFAULT_BOARD_IDS),
                                 std::end(USB_DEFAULT_BOARD_IDS));

    // A malformed word in the file or the variable costs only that word; listing boards must
    // not fail because of a typo in a user's configuration.
    AppendUnique(&ids, CachedIdsOfFile(GetUsbIdsConfigPath()));
    if (const char* pszEnv = std::getenv(USB_IDS_ENVIRONMENT); pszEnv != nullptr)
    {
        std::vector<CUsbBoardId> fromEnv;
        ParseUsbBoardIds(pszEnv, &fromEnv, nullptr);
        AppendUnique(&ids, fromEnv);
    }
    std::lock_guard<std::mutex> lock(AddedMutex());
    AppendUnique(&ids, AddedIds());
    return ids;
}

bool IsUsbBoardId(const std::vector<CUsbBoardId>& ids, uint16_t nVendor, uint16_t nProduct)
{
    return std::find(ids.begin(), ids.end(), CUsbBoardId{nVendor, nProduct}) != ids.end();
}

std::string FormatUsbBoardId(const CUsbBoardId& id)
{
    char szText[10];
    std::snprintf(szText, sizeof(szText), "%04x:%04x", id.m_nVendor, id.m_nProduct);
    return szText;
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

std::vector<std::string> UsbAccessProblems(bool bWait)
{
    std::vector<std::string> problems;
    for (const CUsbRefusedBoard& board : UsbRefusedBoards(bWait))
    {
        problems.push_back(board.m_strMessage);
    }
    return problems;
}
