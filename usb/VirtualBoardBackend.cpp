#include "usb/VirtualBoardBackend.h"

#include "usb/UsbDevice.h"
#include "usb/VirtualRegistry.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
bool EndsWith(const std::string& strText, const std::string& strSuffix)
{
    return strText.size() >= strSuffix.size() &&
           strText.compare(strText.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

// A connected socket of one board pipe. Reads and writes go straight between the caller's
// buffer and the socket and end early only when nothing moved for the time-out.
class CSocketPipe : public IPipe
{
public:
    explicit CSocketPipe(int hSocket) : m_hSocket(hSocket) {}
    ~CSocketPipe() override { ::close(m_hSocket); }
    CSocketPipe(const CSocketPipe&) = delete;
    CSocketPipe& operator=(const CSocketPipe&) = delete;

    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        return Transfer(pBuffer, nCount, pProgress, POLLIN);
    }

    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        return Transfer(const_cast<void*>(pBuffer), nCount, pProgress, POLLOUT);
    }

    int LastError() const override { return m_nError; }

private:
    uint32_t Transfer(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress, short nEvent)
    {
        auto* pBytes = static_cast<uint8_t*>(pBuffer);
        uint32_t nDone = 0;
        m_nError = 0;
        while (nDone < nCount)
        {
            const ssize_t nMoved =
                nEvent == POLLIN
                    ? ::recv(m_hSocket, pBytes + nDone, nCount - nDone, MSG_DONTWAIT)
                    : ::send(m_hSocket, pBytes + nDone, nCount - nDone, MSG_DONTWAIT | MSG_NOSIGNAL);
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
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            {
                m_nError = errno == EPIPE ? ECONNRESET : errno;
                break;
            }
            if (!WaitReady(nEvent, pProgress, nDone, nCount))
            {
                break;
            }
        }
        return nDone;
    }

    // Waits until the socket can move bytes; false (with m_nError) after the time-out
    // passed without that, or when a signal's progress check abandons the transfer.
    bool WaitReady(short nEvent, const PipeProgress* pProgress, uint32_t nDone, uint32_t nCount)
    {
        const uint32_t nTimeoutMs = GetPipeTimeoutMs();
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        for (;;)
        {
            int nWaitMs = -1;
            if (nTimeoutMs != 0)
            {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                {
                    m_nError = ETIMEDOUT;
                    return false;
                }
                nWaitMs = static_cast<int>(left.count());
            }
            pollfd entry{m_hSocket, nEvent, 0};
            const int nReady = ::poll(&entry, 1, nWaitMs);
            if (nReady > 0)
            {
                return true;
            }
            if (nReady < 0 && errno != EINTR)
            {
                m_nError = errno;
                return false;
            }
            // Interrupted by a signal: give the caller the chance to abandon the transfer.
            if (nReady < 0 && pProgress != nullptr && !(*pProgress)(nDone, nCount))
            {
                m_nError = ECANCELED;
                return false;
            }
        }
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
    const std::string strSocket = strBoard + "/" + strPipeName.substr(strPipeName.size() - nSuffix + 1);
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
