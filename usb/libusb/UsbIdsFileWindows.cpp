// The per-user file of board ids on Windows: only a regular file of bounded size is read,
// and it is read again only when its size or time of change moves.

#include "usb/libusb/UsbBoardIds.h"
#include "usb/libusb/UsbIdsFile.h"

#include <filesystem>
#include <fstream>
#include <mutex>

namespace
{
namespace fs = std::filesystem;

struct CFileStamp
{
    uintmax_t m_nSize = 0;
    fs::file_time_type m_modified{};
    bool operator==(const CFileStamp& other) const = default;
};

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
} // namespace

std::vector<CUsbBoardId> CachedIdsOfFile(const std::string& strPath)
{
    CIdFileCache& cache = IdFileCache();
    std::lock_guard<std::mutex> lock(cache.m_mutex);
    std::error_code error;
    const fs::path path = fs::u8path(strPath);
    if (strPath.empty() || !fs::exists(path, error))
    {
        cache.m_bValid = false;
        cache.m_ids.clear();
        cache.m_strProblem.clear();
        return {};
    }
    CFileStamp stamp;
    stamp.m_nSize = fs::is_regular_file(path, error) ? fs::file_size(path, error) : 0;
    stamp.m_modified = fs::last_write_time(path, error);
    if (cache.m_bValid && cache.m_strPath == strPath && cache.m_stamp == stamp)
    {
        return cache.m_ids;
    }
    cache.m_ids.clear();
    cache.m_strProblem.clear();
    ReadUsbIdsFile(strPath, &cache.m_ids, &cache.m_strProblem);
    cache.m_strPath = strPath;
    cache.m_stamp = stamp;
    cache.m_bValid = true;
    return cache.m_ids;
}

bool ReadUsbIdsFile(const std::string& strPath, std::vector<CUsbBoardId>* pIds,
                    std::string* pstrProblem)
{
    std::error_code error;
    const fs::path path = fs::u8path(strPath);
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
    {
        return true;
    }
    std::string strReason;
    if (error)
    {
        strReason = error.message();
    }
    else if (status.type() == fs::file_type::directory)
    {
        strReason = "it is a directory, not a file of ids";
    }
    else if (status.type() != fs::file_type::regular)
    {
        strReason = "it is not a regular file, not a file of ids";
    }
    else if (fs::file_size(path, error) > USB_IDS_FILE_MAX_SIZE)
    {
        strReason = "it is larger than " + std::to_string(USB_IDS_FILE_MAX_SIZE / 1024) + " KiB";
    }
    std::string strText;
    if (strReason.empty())
    {
        std::ifstream file(path, std::ios::binary);
        // The size may grow while it is read: never more than the cap plus one byte.
        strText.resize(USB_IDS_FILE_MAX_SIZE + 1);
        file.read(strText.data(), static_cast<std::streamsize>(strText.size()));
        strText.resize(static_cast<size_t>(file.gcount()));
        if (!file && !file.eof())
        {
            strReason = "it cannot be read";
        }
        else if (strText.size() > USB_IDS_FILE_MAX_SIZE)
        {
            strReason =
                "it is larger than " + std::to_string(USB_IDS_FILE_MAX_SIZE / 1024) + " KiB";
        }
    }
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
