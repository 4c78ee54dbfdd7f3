#include "usb/virtual/VirtualRegistry.h"

#include "usb/PipeLayer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace
{
// Closes a descriptor when it goes out of scope.
class CFd
{
public:
    explicit CFd(int nFd) : m_nFd(nFd) {}
    ~CFd()
    {
        if (m_nFd >= 0)
        {
            const int nSaved = errno;
            ::close(m_nFd);
            errno = nSaved;
        }
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_nFd; }
    int Release() { return std::exchange(m_nFd, -1); }
    void Reset(int nFd)
    {
        CFd old(m_nFd);
        m_nFd = nFd;
    }

private:
    int m_nFd;
};

std::string StripTrailingSlashes(std::string strPath)
{
    while (strPath.size() > 1 && strPath.back() == '/')
    {
        strPath.pop_back();
    }
    return strPath;
}

std::string MakeAbsolute(const std::string& strPath)
{
    if (!strPath.empty() && strPath.front() == '/')
    {
        return StripTrailingSlashes(strPath);
    }
    std::string strCwd;
    if (char* pszCwd = ::getcwd(nullptr, 0))
    {
        strCwd = pszCwd;
        std::free(pszCwd);
    }
    if (strCwd.empty())
    {
        strCwd = "/";
    }
    if (strCwd.back() != '/')
    {
        strCwd += '/';
    }
    return StripTrailingSlashes(strCwd + strPath);
}

const char* NonEmptyEnvironment(const char* pszName)
{
    const char* pszValue = std::getenv(pszName);
    return (pszValue != nullptr && *pszValue != '\0') ? pszValue : nullptr;
}

std::string RuntimeDirectory()
{
    if (const char* pszRuntime = NonEmptyEnvironment("XDG_RUNTIME_DIR"))
    {
        return MakeAbsolute(std::string(pszRuntime) + "/quillon");
    }
    return "/tmp/quillon-" + std::to_string(::getuid());
}

// The directory that Quillon itself owns above the registry in the fall-backs; empty when the
// registry was named by the user.
std::string QuillonOwnedParent()
{
    if (NonEmptyEnvironment("QUILLON_BOARD_DIR") != nullptr)
    {
        return std::string();
    }
    return RuntimeDirectory();
}

bool CheckTrusted(const std::string& strDirectory, std::string* pstrError)
{
    struct stat info
    {
    };
    if (::stat(strDirectory.c_str(), &info) != 0)
    {
        if (pstrError != nullptr)
        {
            *pstrError = strDirectory + ": " + std::strerror(errno);
        }
        return false;
    }
    std::string strReason;
    if (!S_ISDIR(info.st_mode))
    {
        strReason = "not a directory";
    }
    else if (info.st_uid != ::getuid())
    {
        strReason = "owned by another user (uid " + std::to_string(info.st_uid) + ")";
    }
    else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    {
        strReason = "writable by group or others (run: chmod 700 " + strDirectory + ")";
    }
    if (strReason.empty())
    {
        return true;
    }
    if (pstrError != nullptr)
    {
        *pstrError = strDirectory + ": " + strReason;
    }
    return false;
}

// mkdir -p with mode 0700 for every directory it creates (exactly 0700, whatever the umask).
bool MakeDirectories(const std::string& strDirectory, std::string* pstrError)
{
    size_t nPos = 0;
    while (nPos != std::string::npos)
    {
        nPos = strDirectory.find('/', nPos + 1);
        const std::string strPart = strDirectory.substr(0, nPos);
        if (strPart.empty() || strPart.back() == '/')
        {
            continue;
        }
        if (::mkdir(strPart.c_str(), 0700) == 0)
        {
            ::chmod(strPart.c_str(), 0700);
        }
        else if (errno != EEXIST)
        {
            if (pstrError != nullptr)
            {
                *pstrError = "cannot create " + strPart + ": " + std::strerror(errno);
            }
            return false;
        }
    }
    return true;
}

// Fills *pAddress with a path the kernel accepts. A path too long for sun_path is reached
// through "/proc/self/fd/N/NAME", N being an O_PATH descriptor of its directory held in
// *pDirectory until the caller is done with the address.
bool MakeAddress(const std::string& strSocketPath, sockaddr_un* pAddress, CFd* pDirectory)
{
    *pAddress = {};
    pAddress->sun_family = AF_UNIX;
    std::string strTarget = strSocketPath;
    if (strSocketPath.size() >= sizeof(pAddress->sun_path))
    {
        const size_t nSlash = strSocketPath.rfind('/');
        if (nSlash == std::string::npos)
        {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string strDirectory =
            nSlash == 0 ? std::string("/") : strSocketPath.substr(0, nSlash);
        CFd directory(::open(strDirectory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (directory.Get() < 0)
        {
            return false;
        }
        strTarget = "/proc/self/fd/" + std::to_string(directory.Get()) + "/" +
                    strSocketPath.substr(nSlash + 1);
        pDirectory->Reset(directory.Release());
    }
    if (strTarget.size() >= sizeof(pAddress->sun_path))
    {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(pAddress->sun_path, strTarget.c_str(), strTarget.size() + 1);
    return true;
}
} // namespace

std::string GetBoardRegistryDirectory()
{
    if (const char* pszDirectory = NonEmptyEnvironment("QUILLON_BOARD_DIR"))
    {
        return MakeAbsolute(pszDirectory);
    }
    return QuillonOwnedParent() + "/boards";
}

namespace
{
bool EnsureOwnDirectory(const std::string& strDirectory, const std::string& strOwnParent,
                        std::string* pstrError)
{
    const std::string strAbsolute = MakeAbsolute(strDirectory);
    if (!MakeDirectories(strAbsolute, pstrError))
    {
        return false;
    }
    // Someone else owning Quillon's own parent could swap the directory under us.
    if (!strOwnParent.empty() && strAbsolute.rfind(strOwnParent + "/", 0) == 0 &&
        strAbsolute.find('/', strOwnParent.size() + 1) == std::string::npos &&
        !CheckTrusted(strOwnParent, pstrError))
    {
        return false;
    }
    return CheckTrusted(strAbsolute, pstrError);
}
} // namespace

bool EnsureBoardRegistry(const std::string& strDirectory, std::string* pstrError)
{
    return EnsureOwnDirectory(strDirectory, QuillonOwnedParent(), pstrError);
}

bool IsTrustedRegistry(const std::string& strDirectory, std::string* pstrError)
{
    return CheckTrusted(strDirectory, pstrError);
}

std::string RegistryTrustProblem(const std::string& strDirectory)
{
    struct stat info
    {
    };
    if (::stat(strDirectory.c_str(), &info) != 0)
    {
        return std::string();
    }
    const std::string strStart = "Virtual boards in " + strDirectory + " are ignored: ";
    if (!S_ISDIR(info.st_mode))
    {
        return strStart + "it is not a directory. Remove it, or set QUILLON_BOARD_DIR to a "
                          "directory of your own.";
    }
    if (info.st_uid != ::getuid())
    {
        return strStart + "the directory belongs to another user (uid " +
               std::to_string(info.st_uid) + "). Remove it, or set QUILLON_BOARD_DIR to a " +
               "directory of your own made with: mkdir -m 700 DIR";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    {
        return strStart + "others may write to it and could put boards of their own there. " +
               "Fix it with: chmod 700 " + strDirectory;
    }
    return std::string();
}

std::string GetQuillonRuntimeDirectory()
{
    return RuntimeDirectory();
}

bool EnsurePrivateDirectory(const std::string& strDirectory, std::string* pstrError)
{
    return EnsureOwnDirectory(strDirectory, RuntimeDirectory(), pstrError);
}

std::vector<std::string> ListBoardNames(const std::string& strDirectory)
{
    std::vector<std::string> names;
    if (!CheckTrusted(strDirectory, nullptr))
    {
        return names;
    }
    CFd directory(::open(strDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.Get() < 0)
    {
        return names;
    }
    DIR* pDir = ::fdopendir(directory.Get());
    if (pDir == nullptr)
    {
        return names;
    }
    directory.Release(); // closedir closes it
    while (const dirent* pEntry = ::readdir(pDir))
    {
        if (pEntry->d_name[0] == '.')
        {
            continue;
        }
        struct stat info
        {
        };
        if (::fstatat(::dirfd(pDir), pEntry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(info.st_mode))
        {
            names.emplace_back(pEntry->d_name);
        }
    }
    ::closedir(pDir);
    // std::string compares as unsigned bytes, which is the order boards are listed in.
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadBoardDescription(const std::string& strBoardDirectory)
{
    // A board may be written by anyone: never block on a FIFO, never read a huge file whole.
    constexpr size_t MAX_READ = 64 * 1024;
    const std::string strPath = strBoardDirectory + "/" + BOARD_DESCRIPTION_FILE;
    CFd file(::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info
    {
    };
    if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    {
        return std::string();
    }
    std::string strText;
    char buffer[4096];
    while (strText.size() < MAX_READ)
    {
        const ssize_t nRead = ::read(file.Get(), buffer, sizeof(buffer));
        if (nRead < 0 && errno == EINTR)
        {
            continue;
        }
        if (nRead <= 0)
        {
            break;
        }
        const std::string_view chunk(buffer, static_cast<size_t>(nRead));
        const size_t nEnd = chunk.find_first_of(std::string_view("\n\0", 2));
        strText.append(chunk.substr(0, nEnd));
        if (nEnd != std::string_view::npos)
        {
            break;
        }
    }
    if (strText.size() > MAX_READ)
    {
        strText.resize(MAX_READ);
    }
    return strText;
}

namespace
{
// A new stream socket and the address of strSocketPath for it; the directory descriptor
// that a long path is reached through must stay open until the socket is bound or connected.
CFd SocketFor(const std::string& strSocketPath, sockaddr_un* pAddress, CFd* pDirectory)
{
    if (!MakeAddress(strSocketPath, pAddress, pDirectory))
    {
        return CFd(-1);
    }
    return CFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
}
} // namespace

int ConnectBoardSocket(const std::string& strSocketPath)
{
    sockaddr_un address;
    CFd directory(-1);
    CFd socket = SocketFor(strSocketPath, &address, &directory);
    if (socket.Get() < 0)
    {
        return -1;
    }
    // A listener that never accepts must not hold the caller: the connect is non-blocking,
    // retried while the listener's backlog is full, within the pipes' time-out and until a stop.
    const int nFlags = ::fcntl(socket.Get(), F_GETFL);
    if (nFlags < 0 || ::fcntl(socket.Get(), F_SETFL, nFlags | O_NONBLOCK) != 0)
    {
        return -1;
    }
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        if (PipeCancelRaised())
        {
            errno = ECANCELED;
            return -1;
        }
        if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
            0)
        {
            break;
        }
        if (errno == EINTR)
        {
            continue;
        }
        const bool bInProgress = errno == EINPROGRESS || errno == EALREADY;
        if (errno != EAGAIN && !bInProgress)
        {
            return -1;
        }
        const int nLeftMs = RemainingPipeWaitMs(start);
        if (nLeftMs == 0)
        {
            errno = ETIMEDOUT;
            return -1;
        }
        // A full backlog gives no event to wait for: look again after a short pause.
        constexpr int CONNECT_RETRY_MS = 20;
        pollfd waits[2] = {{socket.Get(), POLLOUT, 0}, {PipeCancelFd(), POLLIN, 0}};
        const int nWaitMs = nLeftMs < 0 ? CONNECT_RETRY_MS : std::min(nLeftMs, CONNECT_RETRY_MS);
        const int nReady = ::poll(bInProgress ? waits : waits + 1, bInProgress ? 2 : 1, nWaitMs);
        if (nReady > 0 && bInProgress && (waits[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0)
        {
            int nError = 0;
            socklen_t nLength = sizeof nError;
            ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &nError, &nLength);
            if (nError != 0)
            {
                errno = nError;
                return -1;
            }
            break;
        }
    }
    if (::fcntl(socket.Get(), F_SETFL, nFlags) != 0)
    {
        return -1;
    }
    return socket.Release();
}

int ListenBoardSocket(const std::string& strSocketPath)
{
    sockaddr_un address;
    CFd directory(-1);
    CFd socket = SocketFor(strSocketPath, &address, &directory);
    if (socket.Get() < 0)
    {
        return -1;
    }
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(socket.Get(), SOMAXCONN) != 0)
    {
        return -1;
    }
    return socket.Release();
}

std::string BoardIdentity(const std::string& strDevicePath)
{
    // The socket the host connects to, links followed: one board listens on it, whatever the
    // path that leads there.
    struct stat info
    {
    };
    if (strDevicePath.empty() || strDevicePath.front() != '/' ||
        ::stat((strDevicePath + "/" + BOARD_READ_SOCKET).c_str(), &info) != 0)
    {
        return strDevicePath;
    }
    return "socket " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}
