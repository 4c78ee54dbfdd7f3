// Files read whole and written atomically, on POSIX.

#include "app/FileOutput.h"

#include "ui/wizard/WizardRun.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
// Closes a file descriptor on every path.
class CFd
{
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Close(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    bool Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int m_fd;
};

} // namespace

CInputFile::CInputFile(const std::string& strPath)
    : m_hFile(open(strPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
    struct stat info = {};
    if (m_hFile >= 0 && fstat(static_cast<int>(m_hFile), &info) == 0)
    {
        m_nSize = info.st_size > 0 ? static_cast<int64_t>(info.st_size) : 0;
    }
}

CInputFile::~CInputFile()
{
    if (m_hFile >= 0)
    {
        close(static_cast<int>(m_hFile));
    }
}

int64_t CInputFile::Read(void* pData, size_t nSize)
{
    ssize_t nChunk;
    do
    {
        nChunk = read(static_cast<int>(m_hFile), pData, nSize);
    } while (nChunk < 0 && errno == EINTR);
    return nChunk;
}

// The whole file; false with the reason in strError.
bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>& data, std::string& strError)
{
    // Non-blocking, so that a FIFO without a writer cannot hang; it reads as empty.
    CFd file(open(strPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat info = {};
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0)
    {
        strError = std::strerror(errno);
        return false;
    }
    if (!MakeRoomForWholeFile(static_cast<uint64_t>(std::max<int64_t>(info.st_size, 0)), data,
                              strError))
    {
        return false;
    }
    size_t nRead = 0;
    while (nRead < data.size())
    {
        const ssize_t nChunk = read(file.Get(), data.data() + nRead, data.size() - nRead);
        if (nChunk < 0 && errno == EINTR)
        {
            continue;
        }
        if (nChunk <= 0)
        {
            strError = nChunk < 0 ? std::strerror(errno) : "the file could not be read whole";
            return false;
        }
        nRead += static_cast<size_t>(nChunk);
    }
    return true;
}

bool WriteAllTo(int fd, const void* pData, size_t nSize)
{
    const auto* pBytes = static_cast<const unsigned char*>(pData);
    size_t nWritten = 0;
    while (nWritten < nSize)
    {
        const ssize_t nChunk = write(fd, pBytes + nWritten, nSize - nWritten);
        if (nChunk < 0 && errno == EINTR)
        {
            continue;
        }
        if (nChunk <= 0)
        {
            if (nChunk == 0)
            {
                errno = EIO;
            }
            return false;
        }
        nWritten += static_cast<size_t>(nChunk);
    }
    return true;
}

CAtomicFile::~CAtomicFile()
{
    Discard();
}

void CAtomicFile::Discard()
{
    if (m_fd >= 0)
    {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_strTemporary.empty())
    {
        unlink(m_strTemporary.c_str());
        m_strTemporary.clear();
    }
}

bool CAtomicFile::Open(const std::string& strPath, std::string& strError)
{
    Discard();
    m_strPath = strPath;
    struct stat info = {};
    if (stat(strPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    {
        strError = std::strerror(EISDIR);
        return false;
    }
    if (stat(strPath.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
    {
        m_fd = open(strPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    }
    else
    {
        // Beside the target, so that the rename stays within one file system.
        const size_t nSlash = strPath.rfind('/');
        const std::string strDir = nSlash == std::string::npos ? "" : strPath.substr(0, nSlash + 1);
        const std::string strName =
            nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
        std::string strTemplate = strDir + "." + strName + ".XXXXXX";
        std::vector<char> name(strTemplate.begin(), strTemplate.end());
        name.push_back('\0');
        m_fd = mkostemp(name.data(), O_CLOEXEC);
        if (m_fd >= 0)
        {
            m_strTemporary = name.data();
            // mkstemp makes it 0600; the finished file gets the usual mode for new files.
            const mode_t nMask = umask(0);
            umask(nMask);
            fchmod(m_fd, 0666 & ~nMask);
        }
    }
    if (m_fd < 0)
    {
        strError = std::strerror(errno);
        return false;
    }
    return true;
}

bool CAtomicFile::Commit(const void* pData, size_t nSize, std::string& strError)
{
    if (m_fd < 0)
    {
        strError = std::strerror(EBADF);
        return false;
    }
    bool bOk = WriteAllTo(m_fd, pData, nSize);
    // A device or pipe need not support fsync; a regular file must reach the disk.
    if (bOk && !m_strTemporary.empty())
    {
        bOk = fsync(m_fd) == 0;
    }
    int nError = bOk ? 0 : errno;
    if (close(m_fd) != 0 && bOk)
    {
        bOk = false;
        nError = errno;
    }
    m_fd = -1;
    if (bOk && !m_strTemporary.empty())
    {
        bOk = rename(m_strTemporary.c_str(), m_strPath.c_str()) == 0;
        nError = bOk ? 0 : errno;
        if (bOk)
        {
            m_strTemporary.clear();
        }
    }
    if (!bOk)
    {
        strError = std::strerror(nError != 0 ? nError : EIO);
        Discard();
    }
    return bOk;
}
