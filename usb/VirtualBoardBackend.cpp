#include "usb/VirtualBoardBackend.h"

#include "usb/UsbDevice.h"
#include "usb/VirtualRegistry.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{
bool EndsWith(const std::string& strText, const std::string& strSuffix)
{
    return strText.size() >= strSuffix.size() &&
           strText.compare(strText.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

// Bytes move in pieces: large ones when nobody watches, so the piece count costs nothing;
// small ones when a caller follows the progress, so a window repaints and a cancel takes
// effect soon even on a slow board. A watched read also returns whatever has arrived.
constexpr uint32_t PIECE_SIZE = 4u << 20;
constexpr uint32_t WATCHED_PIECE_SIZE = 256u << 10;

// A connected socket of one board pipe. Reads and writes go straight between the caller's
// buffer and the socket, in blocking calls bounded by the socket's own time-outs, and end
// early only when nothing moved for the time-out.
class CSocketPipe : public IPipe
{
public:
    explicit CSocketPipe(int hSocket) : m_hSocket(hSocket)
    {
        const uint32_t nTimeoutMs = GetPipeTimeoutMs();
        const timeval timeout{static_cast<time_t>(nTimeoutMs / 1000),
                              static_cast<suseconds_t>(nTimeoutMs % 1000) * 1000};
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(m_hSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    }
    ~CSocketPipe() override { ::close(m_hSocket); }
    CSocketPipe(const CSocketPipe&) = delete;
    CSocketPipe& operator=(const CSocketPipe&) = delete;

    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        return Transfer(pBuffer, nCount, pProgress, true);
    }

    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        return Transfer(const_cast<void*>(pBuffer), nCount, pProgress, false);
    }

    int LastError() const override { return m_nError; }

private:
    uint32_t Transfer(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress, bool bRead)
    {
        auto* pBytes = static_cast<uint8_t*>(pBuffer);
        uint32_t nDone = 0;
        m_nError = 0;
        while (nDone < nCount)
        {
            const bool bWatched = pProgress != nullptr && *pProgress;
            const uint32_t nPiece =
                std::min(nCount - nDone, bWatched ? WATCHED_PIECE_SIZE : PIECE_SIZE);
            // A call that moved part of its piece returned on the time-out or a signal; the
            // next call waits afresh, so only a whole time-out without progress ends the loop.
            const ssize_t nMoved =
                bRead ? ::recv(m_hSocket, pBytes + nDone, nPiece, bWatched ? 0 : MSG_WAITALL)
                      : ::send(m_hSocket, pBytes + nDone, nPiece, MSG_NOSIGNAL);
            if (nMoved > 0)
            {
                nDone += static_cast<uint32_t>(nMoved);
                if (pProgress != nullptr && !(*pProgress)(nDone, nCount))
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
                // A signal: give the caller the chance to abandon the transfer.
                if (pProgress != nullptr && !(*pProgress)(nDone, nCount))
                {
                    m_nError = ECANCELED;
                    break;
                }
                continue;
            }
            m_nError = errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT
                       : errno == EPIPE                        ? ECONNRESET
                                                               : errno;
            break;
        }
        return nDone;
    }

    int m_hSocket;
    int m_nError = 0;
};
} // namespace

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
        entries.push_back({true, strPath, true, ReadBoardDescription(strPath)});
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
