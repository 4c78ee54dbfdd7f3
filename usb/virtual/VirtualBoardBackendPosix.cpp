#include "usb/virtual/VirtualBoardBackend.h"

#include "usb/UsbDevice.h"
#include "usb/virtual/VirtualRegistry.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
bool EndsWith(const std::string& strText, const std::string& strSuffix)
{
    return strText.size() >= strSuffix.size() &&
           strText.compare(strText.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

// Bytes move in pieces: large ones when nobody watches, so the piece count costs nothing;
// small ones when a caller follows the progress, so a window repaints soon even on a slow board.
constexpr uint32_t PIECE_SIZE = 4u << 20;
constexpr uint32_t WATCHED_PIECE_SIZE = 256u << 10;
// Writes begin with pieces of this size and grow with the board's pace (SocketWritePiece).
constexpr uint32_t WRITE_PIECE_SIZE = 8u << 10;
constexpr double WRITE_PIECE_SHARE_OF_TIMEOUT = 1.0 / 8;
// Pauses between looks at the unsent count while the board takes the last bytes.
constexpr std::chrono::microseconds DRAIN_FIRST_PAUSE{20};
constexpr std::chrono::microseconds DRAIN_LAST_PAUSE{20000};
// How often a watched write looks at the unsent count to report what the board has taken.
constexpr std::chrono::milliseconds TAKEN_LOOK_EVERY{5};

// A connected socket of one board pipe. Reads and writes go straight between the caller's
// buffer and the non-blocking socket; every wait is a poll() beside the pipe layer's stop, and
// a transfer ends early only when nothing moved for the time-out, the board went away or the
// stop was raised.
class CSocketPipe : public IPipe
{
public:
    explicit CSocketPipe(int hSocket) : m_hSocket(hSocket)
    {
        const int nFlags = ::fcntl(m_hSocket, F_GETFL);
        ::fcntl(m_hSocket, F_SETFL, (nFlags < 0 ? 0 : nFlags) | O_NONBLOCK);
    }
    ~CSocketPipe() override { ::close(m_hSocket); }
    CSocketPipe(const CSocketPipe&) = delete;
    CSocketPipe& operator=(const CSocketPipe&) = delete;

    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        return Transfer(pBuffer, nCount, pProgress, true, std::chrono::steady_clock::now());
    }

    uint32_t ReadAfterSilence(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress,
                              std::chrono::steady_clock::time_point silentSince) override
    {
        return Transfer(pBuffer, nCount, pProgress, true, silentSince);
    }

    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        m_nTaken = 0;
        m_lastTakenLook = {};
        const uint32_t nSent = Transfer(const_cast<void*>(pBuffer), nCount, pProgress, false,
                                        std::chrono::steady_clock::now());
        // A write of one piece is judged by the reply that follows it, as before.
        return nSent == nCount && nCount > WRITE_PIECE_SIZE ? Drain(nCount, pProgress) : nSent;
    }

    int LastError() const override { return m_nError; }

private:
    enum class EWait
    {
        Ready,
        TimedOut,
        Cancelled,
        Interrupted
    };

    // Waits for the socket to become ready for nEvents, at most nWaitMs (-1: no limit).
    EWait Wait(short nEvents, int nWaitMs) const
    {
        return Wait(nEvents, nWaitMs < 0 ? std::chrono::microseconds(-1)
                                         : std::chrono::microseconds(int64_t{nWaitMs} * 1000));
    }

    EWait Wait(short nEvents, std::chrono::microseconds wait) const
    {
        if (PipeCancelRaised())
        {
            return EWait::Cancelled;
        }
        pollfd waits[2] = {{m_hSocket, nEvents, 0}, {PipeCancelFd(), POLLIN, 0}};
        const timespec limit = {static_cast<time_t>(wait.count() / 1000000),
                                static_cast<long>(wait.count() % 1000000) * 1000};
        const int nReady = ::ppoll(waits, 2, wait.count() < 0 ? nullptr : &limit, nullptr);
        if (nReady < 0)
        {
            return errno == EINTR ? EWait::Interrupted : EWait::Ready;
        }
        if ((waits[1].revents & POLLIN) != 0 || PipeCancelRaised())
        {
            return EWait::Cancelled;
        }
        return nReady == 0 ? EWait::TimedOut : EWait::Ready;
    }

    // The next piece of a write that began at start and has queued nDone bytes.
    uint32_t WritePiece(uint32_t nDone, std::chrono::steady_clock::time_point start,
                        uint32_t nMost) const
    {
        // The unsent count is in buffer units, never below the bytes it holds: what the board
        // took is rather under- than overestimated.
        int nUnsent = 0;
        if (nDone == 0 || ::ioctl(m_hSocket, SIOCOUTQ, &nUnsent) != 0)
        {
            nUnsent = static_cast<int>(std::min<uint32_t>(nDone, INT32_MAX));
        }
        const double dTaken = nDone - std::min<double>(nDone, std::max(nUnsent, 0));
        const double dSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return SocketWritePiece(dTaken, dSeconds, GetPipeTimeoutMs(), nMost);
    }

    uint32_t Transfer(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress, bool bRead,
                      std::chrono::steady_clock::time_point lastProgress)
    {
        auto* pBytes = static_cast<uint8_t*>(pBuffer);
        uint32_t nDone = 0;
        m_nError = 0;
        const auto start = std::chrono::steady_clock::now();
        while (nDone < nCount)
        {
            if (PipeCancelRaised())
            {
                m_nError = ECANCELED;
                break;
            }
            const bool bWatched = pProgress != nullptr && *pProgress;
            const uint32_t nMost = bWatched ? WATCHED_PIECE_SIZE : PIECE_SIZE;
            const uint32_t nPiece =
                std::min(nCount - nDone, bRead ? nMost : WritePiece(nDone, start, nMost));
            const ssize_t nMoved = bRead ? ::recv(m_hSocket, pBytes + nDone, nPiece, 0)
                                         : ::send(m_hSocket, pBytes + nDone, nPiece, MSG_NOSIGNAL);
            if (nMoved > 0)
            {
                nDone += static_cast<uint32_t>(nMoved);
                lastProgress = std::chrono::steady_clock::now();
                // What a write reports is what the board took, not what waits in the queue.
                if (pProgress != nullptr &&
                    !(*pProgress)(bRead || !bWatched ? nDone : TakenByBoard(nDone, lastProgress),
                                  nCount))
                {
                    m_nError = ECANCELED;
                    break;
                }
                continue;
            }
            if (nMoved == 0)
            {
                m_nError = ECONNRESET; // the board closed the pipe: it was detached
                break;
            }
            if (errno == EINTR)
            {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK)
            {
                m_nError = errno == EPIPE ? ECONNRESET : errno;
                break;
            }
            const int nLeftMs = RemainingPipeWaitMs(lastProgress);
            if (nLeftMs == 0)
            {
                m_nError = ETIMEDOUT;
                break;
            }
            const EWait eWait = Wait(bRead ? POLLIN : POLLOUT, nLeftMs);
            if (eWait == EWait::Cancelled)
            {
                m_nError = ECANCELED;
                break;
            }
            // A signal: give the caller the chance to abandon the transfer.
            if (eWait == EWait::Interrupted && pProgress != nullptr && !(*pProgress)(nDone, nCount))
            {
                m_nError = ECANCELED;
                break;
            }
        }
        return nDone;
    }

    // After the last byte was queued: waits until the board has taken everything. The unsent
    // count going down is progress; only a whole time-out without it fails the write, which
    // then reports the bytes still unsent as not written.
    uint32_t Drain(uint32_t nCount, const PipeProgress* pProgress)
    {
        auto lastProgress = std::chrono::steady_clock::now();
        int nUnsent = 0;
        // A board that keeps up takes the last piece within microseconds; a slow one is looked
        // at less and less often.
        auto pause = DRAIN_FIRST_PAUSE;
        if (::ioctl(m_hSocket, SIOCOUTQ, &nUnsent) != 0)
        {
            return nCount;
        }
        while (nUnsent > 0)
        {
            const int nLeftMs = RemainingPipeWaitMs(lastProgress);
            const auto wait = nLeftMs < 0 ? pause
                                          : std::min<std::chrono::microseconds>(
                                                pause, std::chrono::milliseconds(nLeftMs));
            const EWait eWait = nLeftMs == 0 ? EWait::TimedOut : Wait(0, wait);
            if (eWait == EWait::Cancelled || eWait == EWait::Ready || nLeftMs == 0)
            {
                // Ready without asking for an event: the board hung up or the socket failed.
                m_nError = eWait == EWait::Cancelled ? ECANCELED
                           : eWait == EWait::Ready   ? ECONNRESET
                                                     : ETIMEDOUT;
                // The unsent count is in buffer units, never below the bytes it holds.
                return nCount - std::min<uint32_t>(nCount, static_cast<uint32_t>(nUnsent));
            }
            int nNow = 0;
            if (::ioctl(m_hSocket, SIOCOUTQ, &nNow) != 0)
            {
                break;
            }
            if (nNow < nUnsent)
            {
                lastProgress = std::chrono::steady_clock::now();
            }
            // A window keeps painting, and its Cancel works, while a slow board takes the rest.
            m_nTaken = std::max(m_nTaken,
                                nCount - std::min<uint32_t>(nCount, static_cast<uint32_t>(nNow)));
            if (nNow > 0 && pProgress != nullptr && *pProgress && !(*pProgress)(m_nTaken, nCount))
            {
                m_nError = ECANCELED;
                return nCount - std::min<uint32_t>(nCount, static_cast<uint32_t>(nNow));
            }
            nUnsent = nNow;
            pause = std::min<std::chrono::microseconds>(pause * 2, DRAIN_LAST_PAUSE);
        }
        // All taken: the last report says so (a stop now comes too late to matter).
        if (pProgress != nullptr && *pProgress)
        {
            (*pProgress)(nCount, nCount);
        }
        return nCount;
    }

    // The bytes of a write the board has taken, never less than reported before: those queued
    // less the unsent count, which is in buffer units, never below the bytes it holds, so the
    // estimate errs on the side of "not yet". Looked at every few milliseconds only.
    uint32_t TakenByBoard(uint32_t nQueued, std::chrono::steady_clock::time_point now)
    {
        int nUnsent = 0;
        if (now - m_lastTakenLook >= TAKEN_LOOK_EVERY &&
            ::ioctl(m_hSocket, SIOCOUTQ, &nUnsent) == 0)
        {
            m_lastTakenLook = now;
            m_nTaken = std::max(
                m_nTaken, nQueued - std::min<uint32_t>(nQueued, static_cast<uint32_t>(nUnsent)));
        }
        return m_nTaken;
    }

    int m_hSocket;
    int m_nError = 0;
    uint32_t m_nTaken = 0; // of the write under way, as reported
    std::chrono::steady_clock::time_point m_lastTakenLook;
};

// A board program makes its sockets anew each time it attaches a board, and nothing changes
// them while it stays: their inode and change time tell one attachment from the next at the
// same path. A board without its PIPE00 socket falls back to its directory's.
std::string BoardAttachment(const std::string& strPath)
{
    struct stat info = {};
    if (::stat((strPath + "/" + BOARD_WRITE_SOCKET).c_str(), &info) != 0 &&
        ::stat(strPath.c_str(), &info) != 0)
    {
        return {};
    }
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
}
} // namespace

uint32_t SocketWritePiece(double dTaken, double dSeconds, uint32_t nTimeoutMs, uint32_t nMost)
{
    const uint32_t nLargest = std::max(nMost, WRITE_PIECE_SIZE);
    if (nTimeoutMs == 0)
    {
        return nLargest; // no time-out for the board to be seen within
    }
    const double dPiece =
        dTaken / std::max(dSeconds, 1e-6) * nTimeoutMs / 1000.0 * WRITE_PIECE_SHARE_OF_TIMEOUT;
    return static_cast<uint32_t>(std::clamp<double>(dPiece, WRITE_PIECE_SIZE, nLargest));
}

std::vector<CInterfaceEntry> CVirtualBoardBackend::ListInterfaces()
{
    std::vector<CInterfaceEntry> entries;
    const std::string strRegistry = GetBoardRegistryDirectory();
    if (!IsTrustedRegistry(strRegistry))
    {
        return entries;
    }
    for (const std::string& strName : ListBoardNames(strRegistry))
    {
        const std::string strPath = strRegistry + "/" + strName;
        std::string strAttachment = BoardAttachment(strPath);
        if (strAttachment.empty())
        {
            // Gone since it was listed: a board detaching right now is no board.
            continue;
        }
        entries.push_back(
            {true, strPath, true, ReadBoardDescription(strPath), std::move(strAttachment)});
    }
    return entries;
}

bool CVirtualBoardBackend::OwnsPipeName(const std::string& strPipeName) const
{
    return !strPipeName.empty() && strPipeName.front() == '/' &&
           (EndsWith(strPipeName, READ_PIPE_SUFFIX) || EndsWith(strPipeName, WRITE_PIPE_SUFFIX));
}

std::unique_ptr<IPipe> CVirtualBoardBackend::OpenPipe(const std::string& strPipeName, int* pError)
{
    if (!OwnsPipeName(strPipeName))
    {
        if (pError != nullptr)
        {
            *pError = ENOENT;
        }
        return nullptr;
    }
    // "<board>\PIPE00" is the socket "<board>/PIPE00".
    const size_t nSuffix = sizeof(READ_PIPE_SUFFIX) - 1;
    const std::string strBoard = strPipeName.substr(0, strPipeName.size() - nSuffix);
    const std::string strSocket =
        strBoard + "/" + strPipeName.substr(strPipeName.size() - nSuffix + 1);
    const int hSocket = ConnectBoardSocket(strSocket);
    if (hSocket < 0)
    {
        if (pError != nullptr)
        {
            *pError = errno;
        }
        return nullptr;
    }
    return std::make_unique<CSocketPipe>(hSocket);
}
