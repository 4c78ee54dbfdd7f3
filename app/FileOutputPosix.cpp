// Files read whole, and outputs written atomically or through, on POSIX.

#include "app/FileOutput.h"

#include "ui/wizard/StopSignals.h"
#include "ui/wizard/WizardRun.h"
#include "usb/PipeLayer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <random>
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

// Why something that is not a regular file cannot be read as one; empty for a regular file.
std::string NotAFile(mode_t nMode)
{
    if (S_ISREG(nMode))
    {
        return std::string();
    }
    if (S_ISDIR(nMode))
    {
        return "it is a folder";
    }
    if (S_ISFIFO(nMode))
    {
        return "it is a FIFO (named pipe), not a file";
    }
    if (S_ISCHR(nMode) || S_ISBLK(nMode))
    {
        return "it is a device, not a file";
    }
    if (S_ISSOCK(nMode))
    {
        return "it is a socket, not a file";
    }
    return "it is not a regular file";
}

// Opens a regular file for reading; -1 with the reason otherwise. A device is never opened
// (opening one may act on it), and the open cannot block.
int OpenRegularFile(const std::string& strPath, std::string& strError)
{
    struct stat info = {};
    if (stat(strPath.c_str(), &info) != 0)
    {
        strError = std::strerror(errno);
        return -1;
    }
    strError = NotAFile(info.st_mode);
    if (!strError.empty())
    {
        return -1;
    }
    const int fd = open(strPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &info) != 0)
    {
        strError = std::strerror(errno);
    }
    else
    {
        strError = NotAFile(info.st_mode); // replaced since the first look
    }
    if (!strError.empty() && fd >= 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

CInputFile::CInputFile(const std::string& strPath)
{
    m_hFile = OpenRegularFile(strPath, m_strError);
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
    CFd file(OpenRegularFile(strPath, strError));
    struct stat info = {};
    if (file.Get() < 0)
    {
        return false;
    }
    if (fstat(file.Get(), &info) != 0)
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

namespace
{
// Symbolic links followed at most, as the system does.
constexpr int MAX_LINK_HOPS = 40;
// The temporary file's name holds at most this much of the target's name, so that a long name
// that is valid stays valid with what the temporary name adds.
constexpr size_t TEMPORARY_NAME_KEEPS = 32;
// How often a FIFO that nobody reads yet is tried again.
constexpr int FIFO_RETRY_MS = 20;

// "dir/name" -> "dir/", "name" -> "".
std::string FolderOf(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? std::string() : strPath.substr(0, nSlash + 1);
}

std::string NameOf(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

// A folder as the system calls take it ("" is the current one).
const char* FolderArgument(const std::string& strFolder)
{
    return strFolder.empty() ? "." : strFolder.c_str();
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsStandardOutputFile(const struct stat& info)
{
    struct stat output = {};
    return fstat(STDOUT_FILENO, &output) == 0 && SameFile(output, info);
}

// Where an output name leads, as open() would go.
struct COutputTarget
{
    std::string m_strPath;
    bool m_bExists = false;
    // A link the system keeps for a process's open file (/proc/PID/fd/N, which /dev/stdout and
    // /dev/fd/N lead to): it names that open file, whatever name the link text shows.
    bool m_bProcessLink = false;
    struct stat m_info = {}; // what it is, links followed
};

// In a folder that everybody may write to and that keeps others' names (the sticky bit, as
// /tmp), only a name of this user or of the folder's owner is followed or written, as the
// system protects open() there (protected_symlinks, protected_regular): another user's link or
// file there is a trap, not the user's output.
bool OwnedWhereOthersMayWrite(const struct stat& entry, const std::string& strFolder)
{
    struct stat folder = {};
    if (stat(FolderArgument(strFolder), &folder) != 0 || (folder.st_mode & S_ISVTX) == 0 ||
        (folder.st_mode & S_IWOTH) == 0 || (!S_ISLNK(entry.st_mode) && !S_ISREG(entry.st_mode)))
    {
        return true;
    }
    return entry.st_uid == geteuid() || entry.st_uid == folder.st_uid;
}

// Follows symbolic links from strPath to the name they lead to; false with errno set.
bool FindOutputTarget(const std::string& strPath, COutputTarget& target)
{
    std::string strCurrent = strPath;
    for (int nHop = 0; nHop <= MAX_LINK_HOPS; ++nHop)
    {
        target = COutputTarget();
        target.m_strPath = strCurrent;
        struct stat info = {};
        if (lstat(strCurrent.c_str(), &info) != 0)
        {
            // A link to a name that does not exist yet leads to a new file there, as for cp.
            return errno == ENOENT;
        }
        target.m_bExists = true;
        const std::string strFolder = FolderOf(strCurrent);
        if (!OwnedWhereOthersMayWrite(info, strFolder))
        {
            errno = EACCES;
            return false;
        }
        if (!S_ISLNK(info.st_mode))
        {
            target.m_info = info;
            return true;
        }
        char szFolder[PATH_MAX];
        if (realpath(FolderArgument(strFolder), szFolder) != nullptr &&
            std::strncmp(szFolder, "/proc/", 6) == 0)
        {
            target.m_bProcessLink = true;
            return stat(strCurrent.c_str(), &target.m_info) == 0;
        }
        char szLink[PATH_MAX];
        const ssize_t nLength = readlink(strCurrent.c_str(), szLink, sizeof szLink);
        if (nLength < 0 || static_cast<size_t>(nLength) >= sizeof szLink)
        {
            errno = nLength < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        const std::string strLink(szLink, static_cast<size_t>(nLength));
        strCurrent = strLink.front() == '/' ? strLink : strFolder + strLink;
    }
    errno = ELOOP;
    return false;
}

// Writes to a descriptor that may be a pipe, a FIFO, a terminal or a device: every wait for
// room is a poll() beside the stop signals, and ends after the pipe time-out without progress.
bool WriteThrough(int fd, const void* pData, size_t nSize, std::string& strError)
{
    struct stat info = {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
    {
        if (!WriteAllTo(fd, pData, nSize))
        {
            strError = std::strerror(errno);
            return false;
        }
        return true;
    }
    // A descriptor shared with others (standard output) stays blocking: a piece of PIPE_BUF
    // bytes fits whenever a pipe says it has room, so the write cannot block.
    const int nFlags = fcntl(fd, F_GETFL);
    const size_t nPiece = nFlags >= 0 && (nFlags & O_NONBLOCK) != 0 ? size_t{1} << 20 : PIPE_BUF;
    const auto* pBytes = static_cast<const uint8_t*>(pData);
    auto lastProgress = std::chrono::steady_clock::now();
    size_t nDone = 0;
    while (nDone < nSize)
    {
        if (StopRequested())
        {
            strError = "stopped by request";
            return false;
        }
        const int nLeftMs = RemainingPipeWaitMs(lastProgress);
        if (nLeftMs == 0)
        {
            strError =
                "nothing was taken for " + std::to_string(GetPipeTimeoutMs()) + " ms (--timeout)";
            return false;
        }
        pollfd waits[2] = {{fd, POLLOUT, 0}, {StopSignalFd(), POLLIN, 0}};
        const int nReady = poll(waits, 2, nLeftMs);
        if (nReady < 0 && errno != EINTR)
        {
            strError = std::strerror(errno);
            return false;
        }
        if (nReady <= 0 || waits[0].revents == 0)
        {
            continue; // a signal, the time-out or the stop: looked at above
        }
        const ssize_t nWritten = write(fd, pBytes + nDone, std::min(nPiece, nSize - nDone));
        if (nWritten > 0)
        {
            nDone += static_cast<size_t>(nWritten);
            lastProgress = std::chrono::steady_clock::now();
        }
        else if (nWritten == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        {
            strError = nWritten == 0    ? std::strerror(EIO)
                       : errno == EPIPE ? "the reader went away"
                                        : std::strerror(errno);
            return false;
        }
    }
    return true;
}

// Opens a stream for writing without blocking; a FIFO that nobody reads yet is waited for
// like room in a pipe. -1 with the reason.
int OpenStream(const std::string& strPath, bool bFifo, std::string& strError)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        const int fd = open(strPath.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 || errno == EINTR)
        {
            if (fd >= 0)
            {
                return fd;
            }
            continue;
        }
        if (errno != ENXIO || !bFifo)
        {
            strError = std::strerror(errno);
            return -1;
        }
        if (StopRequested())
        {
            strError = "stopped by request";
            return -1;
        }
        const int nLeftMs = RemainingPipeWaitMs(start);
        if (nLeftMs == 0)
        {
            strError = "nobody opened the FIFO for reading within " +
                       std::to_string(GetPipeTimeoutMs()) + " ms (--timeout)";
            return -1;
        }
        WaitForStopSignal(nLeftMs < 0 ? FIFO_RETRY_MS : std::min(nLeftMs, FIFO_RETRY_MS));
    }
}

// Six letters and digits that make a temporary name unlikely to be taken.
std::string RandomSuffix()
{
    static std::mt19937_64 s_engine(
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<uint64_t>(getpid()) << 32));
    static constexpr char LETTERS[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string strSuffix(6, '0');
    for (char& c : strSuffix)
    {
        c = LETTERS[s_engine() % (sizeof LETTERS - 1)];
    }
    return strSuffix;
}
} // namespace

COutputFile::~COutputFile()
{
    Discard();
}

void COutputFile::Discard()
{
    if (m_fd >= 0)
    {
        close(m_fd);
        m_fd = -1;
    }
    if (!m_strTemporary.empty())
    {
        unlinkat(static_cast<int>(m_hDirectory), m_strTemporary.c_str(), 0);
        m_strTemporary.clear();
    }
    if (m_hDirectory >= 0)
    {
        close(static_cast<int>(m_hDirectory));
        m_hDirectory = -1;
    }
}

void COutputFile::PrepareStandardOutput()
{
    Discard();
    m_strPath.assign(1, '-'); // not assigned from a literal: GCC 12 warns wrongly at -O3
    m_eKind = EKind::StandardOutput;
}

bool COutputFile::Prepare(const std::string& strPath, std::string& strError)
{
    Discard();
    m_eKind = EKind::None;
    m_strPath = strPath;
    m_bFifo = false;
    COutputTarget target;
    if (!FindOutputTarget(strPath, target))
    {
        strError = std::strerror(errno);
        return false;
    }
    m_strTarget = target.m_strPath;
    const mode_t nMode = target.m_info.st_mode;
    if (!target.m_bExists)
    {
        // A new file: its folder must be there and take it.
        const std::string strFolder = FolderOf(m_strTarget);
        const char* pszFolder = FolderArgument(strFolder);
        struct stat folder = {};
        int nError = 0;
        if (stat(pszFolder, &folder) != 0)
        {
            nError = errno;
        }
        else if (!S_ISDIR(folder.st_mode))
        {
            nError = ENOTDIR;
        }
        else if (faccessat(AT_FDCWD, pszFolder, W_OK | X_OK, AT_EACCESS) != 0)
        {
            nError = errno;
        }
        if (nError != 0)
        {
            strError = std::strerror(nError);
            return false;
        }
        m_eKind = EKind::File;
        return true;
    }
    if (S_ISDIR(nMode))
    {
        strError = std::strerror(EISDIR);
        return false;
    }
    if (S_ISREG(nMode) && !target.m_bProcessLink)
    {
        // As cp does: a file this user may not write is not replaced behind its back.
        if (faccessat(AT_FDCWD, m_strTarget.c_str(), W_OK, AT_EACCESS) != 0)
        {
            strError = std::strerror(errno);
            return false;
        }
        m_eKind = EKind::File;
        return true;
    }
    if (IsStandardOutputFile(target.m_info))
    {
        m_eKind = EKind::StandardOutput;
        return true;
    }
    if (S_ISSOCK(nMode))
    {
        strError = "it is a socket; name a file, a device or a FIFO";
        return false;
    }
    m_bFifo = S_ISFIFO(nMode);
    m_eKind = EKind::Stream;
    return true;
}

bool COutputFile::Commit(const void* pData, size_t nSize, std::string& strError)
{
    // The target is looked at again: it may have changed while the data came.
    if (m_strPath != "-" && !Prepare(m_strPath, strError))
    {
        return false;
    }
    switch (m_eKind)
    {
    case EKind::StandardOutput:
        std::fflush(stdout);
        return WriteThrough(STDOUT_FILENO, pData, nSize, strError);
    case EKind::Stream:
        return WriteStream(pData, nSize, strError);
    case EKind::File:
        return WriteFile(pData, nSize, strError);
    case EKind::None:
        break;
    }
    strError = std::strerror(EBADF);
    return false;
}

bool COutputFile::WriteStream(const void* pData, size_t nSize, std::string& strError)
{
    CFd stream(OpenStream(m_strTarget, m_bFifo, strError));
    if (stream.Get() < 0)
    {
        return false;
    }
    // A process's open regular file (/dev/fd/N) is written from its start, as tee does.
    struct stat info = {};
    if (fstat(stream.Get(), &info) == 0 && S_ISREG(info.st_mode) && ftruncate(stream.Get(), 0) != 0)
    {
        strError = std::strerror(errno);
        return false;
    }
    if (!WriteThrough(stream.Get(), pData, nSize, strError))
    {
        return false;
    }
    if (!stream.Close())
    {
        strError = std::strerror(errno);
        return false;
    }
    return true;
}

bool COutputFile::WriteFile(const void* pData, size_t nSize, std::string& strError)
{
    struct stat old = {};
    const bool bExists = lstat(m_strTarget.c_str(), &old) == 0;
    if (bExists && old.st_nlink > 1)
    {
        return WriteInPlace(pData, nSize, strError);
    }
    // Beside the target, so that the rename stays within one file system; reached through its
    // folder, so that a long path stays short enough.
    const std::string strFolder = FolderOf(m_strTarget);
    m_hDirectory = open(FolderArgument(strFolder), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_hDirectory < 0)
    {
        strError = std::strerror(errno);
        return false;
    }
    const int hFolder = static_cast<int>(m_hDirectory);
    const std::string strStem = "." + NameOf(m_strTarget).substr(0, TEMPORARY_NAME_KEEPS) + ".";
    for (int nTry = 0; nTry < 100 && m_fd < 0; ++nTry)
    {
        const std::string strName = strStem + RandomSuffix();
        // A new file gets the usual mode for new files; a replacement the old file's, below.
        m_fd = openat(hFolder, strName.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bExists ? 0600 : 0666);
        if (m_fd >= 0)
        {
            m_strTemporary = strName;
        }
        else if (errno != EEXIST)
        {
            break;
        }
    }
    if (m_fd < 0)
    {
        const int nError = errno;
        Discard();
        // A folder this user may not write into, with a file in it that the user may write.
        if (bExists && (nError == EACCES || nError == EPERM))
        {
            return WriteInPlace(pData, nSize, strError);
        }
        strError = std::strerror(nError);
        return false;
    }
    if (bExists)
    {
        // The new file is the old one as far as a user can tell: owner, group and mode (a
        // private dump stays private). Where they cannot be given, the old file is written in
        // place instead.
        struct stat made = {};
        if (fstat(m_fd, &made) != 0 ||
            ((made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
             fchown(m_fd, old.st_uid, old.st_gid) != 0) ||
            fchmod(m_fd, old.st_mode & 07777) != 0)
        {
            Discard();
            return WriteInPlace(pData, nSize, strError);
        }
    }
    bool bOk = WriteAllTo(m_fd, pData, nSize) && fsync(m_fd) == 0;
    int nError = bOk ? 0 : errno;
    if (close(m_fd) != 0 && bOk)
    {
        bOk = false;
        nError = errno;
    }
    m_fd = -1;
    if (bOk && renameat(hFolder, m_strTemporary.c_str(), hFolder, NameOf(m_strTarget).c_str()) != 0)
    {
        bOk = false;
        nError = errno;
    }
    if (bOk)
    {
        m_strTemporary.clear();
    }
    Discard();
    if (!bOk)
    {
        strError = std::strerror(nError != 0 ? nError : EIO);
    }
    return bOk;
}

bool COutputFile::WriteInPlace(const void* pData, size_t nSize, std::string& strError)
{
    CFd file(open(m_strTarget.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat info = {};
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0)
    {
        strError = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode))
    {
        strError = NotAFile(info.st_mode);
        return false;
    }
    if (!WriteAllTo(file.Get(), pData, nSize) ||
        ftruncate(file.Get(), static_cast<off_t>(nSize)) != 0 || fsync(file.Get()) != 0 ||
        !file.Close())
    {
        strError = std::strerror(errno);
        return false;
    }
    return true;
}
