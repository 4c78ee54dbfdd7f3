#include "board/SocketBoard.h"

#include "usb/virtual/VirtualRegistry.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// Reads or writes this many times per poll round at most, so one busy board cannot
// starve the others served by the same process.
constexpr int MAX_PUMP_ROUNDS = 64;
// Unknown command bytes are dropped in pieces of up to this size.
constexpr size_t SCRATCH_SIZE = 64 * 1024;

const char* const SOCKET_NAMES[2] = {BOARD_WRITE_SOCKET, BOARD_READ_SOCKET};

bool WriteAll(int nFd, const uint8_t* pData, uint64_t nSize)
{
    while (nSize > 0)
    {
        const ssize_t nWritten = ::write(nFd, pData, std::min<uint64_t>(nSize, 1u << 30));
        if (nWritten < 0 && errno == EINTR)
        {
            continue;
        }
        if (nWritten <= 0)
        {
            return false;
        }
        pData += nWritten;
        nSize -= static_cast<uint64_t>(nWritten);
    }
    return true;
}

// Removes a board directory this program made (its files and the directory itself).
void RemoveBoardDirectory(const std::string& strDirectory)
{
    for (const char* pszName : {BOARD_WRITE_SOCKET, BOARD_READ_SOCKET, BOARD_DESCRIPTION_FILE})
    {
        ::unlink((strDirectory + "/" + pszName).c_str());
    }
    ::rmdir(strDirectory.c_str());
}

std::string HiddenName(const std::string& strRegistry, const std::string& strName)
{
    static unsigned nCounter = 0;
    return strRegistry + "/." + strName + "." + std::to_string(::getpid()) + "." +
           std::to_string(++nCounter);
}

// A board directory left behind by a board program that was killed: nobody listens on it.
bool IsStaleBoard(const std::string& strDirectory)
{
    const int nFd = ConnectBoardSocket(strDirectory + "/" + BOARD_READ_SOCKET);
    if (nFd >= 0)
    {
        ::close(nFd);
        return false;
    }
    return errno == ECONNREFUSED;
}
} // namespace

CSocketFd& CSocketFd::operator=(CSocketFd&& other) noexcept
{
    if (this != &other)
    {
        Reset(other.m_nFd);
        other.m_nFd = -1;
    }
    return *this;
}

void CSocketFd::Reset(int nFd)
{
    if (m_nFd >= 0)
    {
        ::close(m_nFd);
    }
    m_nFd = nFd;
}

CSocketBoard::CSocketBoard(CBoardConfig config, std::string strRegistry, std::string strSaveDir,
                           CWireLog* pLog)
    : CPolledBoard(std::move(config), std::move(strSaveDir), pLog),
      m_strRegistry(std::move(strRegistry)), m_scratch(SCRATCH_SIZE)
{
}

CSocketBoard::~CSocketBoard()
{
    Detach();
}

std::unique_ptr<CPolledBoard> MakeSocketBoard(CBoardConfig config, std::string strRegistry,
                                              std::string strSaveDir, CWireLog* pLog)
{
    return std::make_unique<CSocketBoard>(std::move(config), std::move(strRegistry),
                                          std::move(strSaveDir), pLog);
}

bool CSocketBoard::Attach(std::string* pstrError)
{
    if (!LoadMemory(pstrError) || !EnsureBoardRegistry(m_strRegistry, pstrError))
    {
        return false;
    }
    const std::string strFinal = m_strRegistry + "/" + m_config.m_strName;
    const std::string strHidden = HiddenName(m_strRegistry, m_config.m_strName);
    if (::mkdir(strHidden.c_str(), 0700) != 0)
    {
        *pstrError = "cannot create " + strHidden + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const std::string& strWhat)
    {
        *pstrError = strWhat + ": " + std::strerror(errno);
        m_listeners[0].Reset();
        m_listeners[1].Reset();
        RemoveBoardDirectory(strHidden);
        return false;
    };
    {
        const std::string strFile = strHidden + "/" + BOARD_DESCRIPTION_FILE;
        CSocketFd file(::open(strFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        const std::string strText = m_config.m_strDescription + "\n";
        if (!file.IsValid() ||
            !WriteAll(file.Get(), reinterpret_cast<const uint8_t*>(strText.data()), strText.size()))
        {
            return fail("cannot write " + strFile);
        }
    }
    for (int nPipe : {PIPE_WRITE, PIPE_READ})
    {
        if (nPipe == PIPE_WRITE && m_config.m_bNoPipe00)
        {
            continue;
        }
        const std::string strSocket = strHidden + "/" + SOCKET_NAMES[nPipe];
        m_listeners[nPipe].Reset(ListenBoardSocket(strSocket));
        if (!m_listeners[nPipe].IsValid() ||
            ::fcntl(m_listeners[nPipe].Get(), F_SETFL, O_NONBLOCK) != 0)
        {
            return fail("cannot listen on " + strSocket);
        }
    }
    if (::rename(strHidden.c_str(), strFinal.c_str()) != 0)
    {
        if ((errno == ENOTEMPTY || errno == EEXIST) && IsStaleBoard(strFinal))
        {
            // Left by a board that was killed: take its place.
            const std::string strStale = HiddenName(m_strRegistry, m_config.m_strName);
            if (::rename(strFinal.c_str(), strStale.c_str()) == 0)
            {
                RemoveBoardDirectory(strStale);
            }
        }
        if (::rename(strHidden.c_str(), strFinal.c_str()) != 0)
        {
            const bool bTaken = errno == ENOTEMPTY || errno == EEXIST;
            const std::string strReason =
                bTaken ? "another board is attached as " + strFinal : "cannot list " + strFinal;
            return fail(strReason);
        }
    }
    m_strPath = strFinal;
    LogLine("attached " + m_strPath);
    return true;
}

void CSocketBoard::Detach()
{
    if (!IsAttached())
    {
        return;
    }
    // Hidden first, so that a host that sees its pipes close no longer lists the board.
    const std::string strHidden = HiddenName(m_strRegistry, m_config.m_strName);
    const bool bHidden = ::rename(m_strPath.c_str(), strHidden.c_str()) == 0;
    EndSession();
    RemoveBoardDirectory(bHidden ? strHidden : m_strPath);
    m_listeners[0].Reset();
    m_listeners[1].Reset();
    m_strPath.clear();
    LogLine("detached");
}

void CSocketBoard::AddPollFds(std::vector<pollfd>& fds)
{
    m_nFirstFd = fds.size();
    const auto now = Bootloader::Clock::now();
    m_pollTime = now;
    for (int nPipe : {PIPE_WRITE, PIPE_READ})
    {
        fds.push_back({m_listeners[nPipe].Get(), POLLIN, 0});
    }
    short nWriteEvents = 0;
    short nReadEvents = POLLIN; // the host closing it
    if (m_bSessionActive)
    {
        if (!m_core.InputSpace(now).empty())
        {
            nWriteEvents = POLLIN;
        }
        if (!m_core.Output(now).empty())
        {
            nReadEvents |= POLLOUT;
        }
    }
    // A pipe waiting for its partner is watched for its close only.
    fds.push_back({m_connections[PIPE_WRITE].Get(), nWriteEvents, 0});
    fds.push_back({m_connections[PIPE_READ].Get(), nReadEvents, 0});
}

void CSocketBoard::Handle(const pollfd* pFds, size_t nCount)
{
    if (!IsAttached() || m_nFirstFd + 4 > nCount)
    {
        return;
    }
    const pollfd* pMine = pFds + m_nFirstFd;
    const pollfd& writePipe = pMine[2 + PIPE_WRITE];
    const pollfd& readPipe = pMine[2 + PIPE_READ];
    // Closes first: a host that reconnects at once is then not taken for a second host.
    if (readPipe.fd >= 0 && readPipe.fd == m_connections[PIPE_READ].Get())
    {
        if ((readPipe.revents & (POLLHUP | POLLERR)) != 0)
        {
            EndSession();
        }
        else if ((readPipe.revents & POLLIN) != 0)
        {
            // Nothing is meant to arrive on the board's sending pipe: drop it, note a close.
            uint8_t scratch[4096];
            if (::recv(readPipe.fd, scratch, sizeof(scratch), MSG_DONTWAIT) == 0)
            {
                EndSession();
            }
        }
    }
    if (writePipe.fd >= 0 && writePipe.fd == m_connections[PIPE_WRITE].Get() &&
        (writePipe.revents & (POLLHUP | POLLERR)) != 0)
    {
        // Whatever the host wrote before it closed is still handled.
        if (m_bSessionActive)
        {
            Pump();
        }
        EndSession();
    }
    for (int nPipe : {PIPE_READ, PIPE_WRITE})
    {
        if ((pMine[nPipe].revents & POLLIN) != 0)
        {
            Accept(nPipe);
        }
    }
    if (m_bSessionActive)
    {
        Pump();
    }
    DropIfIdle(Bootloader::Clock::now());
    if (m_core.Unplugged())
    {
        Detach();
        std::printf("detached %s\n", Name().c_str());
        std::fflush(stdout);
    }
}

void CSocketBoard::Accept(int nPipe)
{
    for (;;)
    {
        CSocketFd connection(
            ::accept4(m_listeners[nPipe].Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!connection.IsValid())
        {
            return; // EAGAIN, or a connection that went away before it was taken
        }
        ucred credentials{};
        socklen_t nLength = sizeof(credentials);
        if (::getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &credentials, &nLength) != 0)
        {
            continue;
        }
        if (AdmitConnection(nPipe, credentials.pid))
        {
            m_connections[nPipe] = std::move(connection);
            ConnectionTaken();
        } // a refused one is closed unread as it goes out of scope
    }
}

void CSocketBoard::CloseConnections()
{
    m_connections[PIPE_WRITE].Reset();
    m_connections[PIPE_READ].Reset();
}

bool CSocketBoard::ConnectionsStillOpen()
{
    pollfd entries[2];
    nfds_t nEntries = 0;
    for (const CSocketFd& connection : m_connections)
    {
        if (connection.IsValid())
        {
            entries[nEntries++] = {connection.Get(), 0, 0};
        }
    }
    // A host that closed its pipes just before another process connected no longer holds
    // the board, whether or not the main loop has noticed yet.
    if (::poll(entries, nEntries, 0) > 0)
    {
        for (nfds_t i = 0; i < nEntries; ++i)
        {
            if ((entries[i].revents & (POLLHUP | POLLERR)) != 0)
            {
                return false;
            }
        }
    }
    return true;
}

void CSocketBoard::Pump()
{
    // A short read or write means the socket has nothing more for now: poll before trying
    // again rather than spend a call on EAGAIN (it counts in a data phase).
    bool bInputDrained = false;
    bool bOutputFull = false;
    for (int nRound = 0; nRound < MAX_PUMP_ROUNDS && m_bSessionActive; ++nRound)
    {
        bool bMoved = false;
        const auto now = Bootloader::Clock::now();
        const std::span<const uint8_t> output =
            bOutputFull ? std::span<const uint8_t>() : m_core.Output(now);
        if (!output.empty())
        {
            const ssize_t nSent = ::send(m_connections[PIPE_READ].Get(), output.data(),
                                         output.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (nSent > 0)
            {
                LogBytes("tx", output.data(), static_cast<size_t>(nSent));
                m_lastActivity = now;
                m_core.OutputDone(static_cast<size_t>(nSent), now);
                bMoved = true;
                bOutputFull = static_cast<size_t>(nSent) < output.size();
            }
            else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            {
                bOutputFull = true;
            }
            else
            {
                EndSession();
                return;
            }
        }
        if (!bInputDrained && m_core.AwaitsCommand() && DropUnknownCommands(&bInputDrained))
        {
            continue; // they moved nothing the protocol knows, and keep the host idle
        }
        const std::span<uint8_t> input =
            bInputDrained ? std::span<uint8_t>() : m_core.InputSpace(now);
        if (!input.empty())
        {
            const ssize_t nRead =
                ::recv(m_connections[PIPE_WRITE].Get(), input.data(), input.size(), MSG_DONTWAIT);
            if (nRead > 0)
            {
                LogBytes("rx", input.data(), static_cast<size_t>(nRead));
                m_lastActivity = now;
                m_core.InputDone(static_cast<size_t>(nRead), now);
                bMoved = true;
                bInputDrained = static_cast<size_t>(nRead) < input.size();
            }
            else if (nRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            {
                bInputDrained = true;
            }
            else
            {
                EndSession(); // the host closed its write pipe
                return;
            }
        }
        if (!bMoved || m_core.Unplugged())
        {
            return;
        }
    }
}

bool CSocketBoard::DropUnknownCommands(bool* pbDrained)
{
    // Looked at first, so that a command byte and whatever follows it stay in the socket.
    const int nFd = m_connections[PIPE_WRITE].Get();
    const ssize_t nPeeked =
        ::recv(nFd, m_scratch.data(), m_scratch.size(), MSG_PEEK | MSG_DONTWAIT);
    if (nPeeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
    {
        *pbDrained = true; // nothing there now: a byte arriving next is for the next poll
        return false;
    }
    if (nPeeked <= 0)
    {
        return false; // the read that follows sees the close
    }
    const size_t nUnknown = UnknownCommandRun({m_scratch.data(), static_cast<size_t>(nPeeked)});
    if (nUnknown == 0)
    {
        return false;
    }
    const ssize_t nDropped = ::recv(nFd, m_scratch.data(), nUnknown, MSG_DONTWAIT);
    if (nDropped <= 0)
    {
        return false;
    }
    NoteDropped(m_scratch.data(), static_cast<size_t>(nDropped));
    return true;
}

bool ReplaceFileContents(const std::string& strFinal, const uint8_t* pData, uint64_t nSize,
                         std::string* pstrError)
{
    const size_t nSlash = strFinal.rfind('/');
    std::string strTemporary =
        (nSlash == std::string::npos ? std::string() : strFinal.substr(0, nSlash + 1)) + "." +
        strFinal.substr(nSlash + 1) + ".XXXXXX";
    CSocketFd file(::mkostemp(strTemporary.data(), O_CLOEXEC));
    if (!file.IsValid())
    {
        *pstrError = strTemporary + ": " + std::strerror(errno);
        return false;
    }
    const bool bWritten = WriteAll(file.Get(), pData, nSize);
    const int nError = errno;
    file.Reset();
    if (!bWritten || ::rename(strTemporary.c_str(), strFinal.c_str()) != 0)
    {
        *pstrError = strFinal + ": " + std::strerror(bWritten ? errno : nError);
        ::unlink(strTemporary.c_str());
        return false;
    }
    return true;
}
