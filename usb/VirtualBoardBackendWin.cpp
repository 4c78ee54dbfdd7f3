// The pipe-layer backend for virtual boards on Windows: boards listed in the registry
// directory, whose pipes are named pipes served by a process of the current user. Reads and
// writes are overlapped, so every wait is bounded by the inactivity time-out and looks at the
// process-wide stop often; a wait given up is cancelled with CancelIoEx before its buffer goes.

#include "usb/VirtualBoardBackend.h"

#include "usb/PipeCancelWindows.h"
#include "usb/PipeInterface.h"
#include "usb/UsbDevice.h"
#include "usb/VirtualRegistry.h"
#include "usb/WinHandle.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace
{
// Bytes move in pieces: large ones when nobody watches, small ones when a caller follows the
// progress, so a window repaints soon even on a slow board.
constexpr uint32_t PIECE_SIZE = 4u << 20;
constexpr uint32_t WATCHED_PIECE_SIZE = 256u << 10;
// The longest a wait without a time-out, or for a busy pipe, goes without looking at the
// process-wide stop's flag (its event ends the other waits at once).
constexpr DWORD STOP_LOOK_MS = 20;

// The errno-style code of a failed pipe call. A board that closed its end, or that refused
// this process because another one holds it, is a board that went away.
int PipeErrno(DWORD nError)
{
    switch (nError)
    {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
        return ECONNRESET;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_OPERATION_ABORTED:
        return ECANCELED;
    case ERROR_SEM_TIMEOUT:
        return ETIMEDOUT;
    default:
        return EIO;
    }
}

enum class EWait
{
    Done,
    TimedOut,
    Cancelled
};

// Waits for hEvent until the time-out counted from lastProgress passes or the stop is raised.
EWait WaitBounded(HANDLE hEvent, std::chrono::steady_clock::time_point lastProgress)
{
    const HANDLE waits[2] = {hEvent, PipeCancelEvent()};
    for (;;)
    {
        if (PipeCancelRaised())
        {
            return EWait::Cancelled;
        }
        const int nLeftMs = RemainingPipeWaitMs(lastProgress);
        if (nLeftMs == 0)
        {
            return EWait::TimedOut;
        }
        const bool bStopEvent = waits[1] != nullptr;
        const DWORD nWaitMs = nLeftMs >= 0 ? static_cast<DWORD>(nLeftMs)
                              : bStopEvent ? INFINITE
                                           : STOP_LOOK_MS;
        const DWORD nResult = ::WaitForMultipleObjects(bStopEvent ? 2 : 1, waits, FALSE, nWaitMs);
        if (nResult == WAIT_OBJECT_0)
        {
            return EWait::Done;
        }
        if (nResult == WAIT_FAILED)
        {
            ::Sleep(STOP_LOOK_MS);
        }
    }
}

// One end of a board's named pipe, opened for overlapped I/O.
class CNamedPipe : public IPipe
{
public:
    CNamedPipe(CWinHandle pipe, CWinHandle event)
        : m_pipe(std::move(pipe)), m_event(std::move(event))
    {
    }

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
        return Transfer(const_cast<void*>(pBuffer), nCount, pProgress, false,
                        std::chrono::steady_clock::now());
    }

    int LastError() const override { return m_nError; }

private:
    // One overlapped read or write of up to nPiece bytes; what moved in *pnMoved, and an
    // errno-style code when it did not end normally.
    int MovePiece(uint8_t* pBytes, DWORD nPiece, bool bRead,
                  std::chrono::steady_clock::time_point lastProgress, DWORD* pnMoved)
    {
        *pnMoved = 0;
        OVERLAPPED overlapped{};
        overlapped.hEvent = m_event.Get();
        ::ResetEvent(m_event.Get());
        const BOOL bStarted = bRead
                                  ? ::ReadFile(m_pipe.Get(), pBytes, nPiece, nullptr, &overlapped)
                                  : ::WriteFile(m_pipe.Get(), pBytes, nPiece, nullptr, &overlapped);
        if (!bStarted && ::GetLastError() != ERROR_IO_PENDING)
        {
            return PipeErrno(::GetLastError());
        }
        const EWait eWait = WaitBounded(m_event.Get(), lastProgress);
        if (eWait != EWait::Done)
        {
            // The buffer must outlive the operation: cancel it and wait until it is over.
            ::CancelIoEx(m_pipe.Get(), &overlapped);
        }
        const BOOL bOk = ::GetOverlappedResult(m_pipe.Get(), &overlapped, pnMoved, TRUE);
        if (eWait == EWait::Cancelled)
        {
            return ECANCELED;
        }
        if (eWait == EWait::TimedOut && *pnMoved == 0)
        {
            return ETIMEDOUT;
        }
        return bOk || *pnMoved > 0 ? 0 : PipeErrno(::GetLastError());
    }

    uint32_t Transfer(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress, bool bRead,
                      std::chrono::steady_clock::time_point lastProgress)
    {
        auto* pBytes = static_cast<uint8_t*>(pBuffer);
        uint32_t nDone = 0;
        m_nError = 0;
        while (nDone < nCount)
        {
            if (PipeCancelRaised())
            {
                m_nError = ECANCELED;
                break;
            }
            const bool bWatched = pProgress != nullptr && *pProgress;
            const DWORD nPiece =
                std::min(nCount - nDone, bWatched ? WATCHED_PIECE_SIZE : PIECE_SIZE);
            DWORD nMoved = 0;
            const int nError = MovePiece(pBytes + nDone, nPiece, bRead, lastProgress, &nMoved);
            nDone += nMoved;
            if (nMoved > 0)
            {
                lastProgress = std::chrono::steady_clock::now();
                if (pProgress != nullptr && !(*pProgress)(nDone, nCount))
                {
                    m_nError = ECANCELED;
                    break;
                }
            }
            if (nError != 0)
            {
                m_nError = nError;
                break;
            }
        }
        return nDone;
    }

    CWinHandle m_pipe;
    CWinHandle m_event;
    int m_nError = 0;
};

// Opens a board's pipe, waiting while all its instances are busy, within the time-out.
CWinHandle OpenBoardPipe(const std::string& strPipeName, bool bHostWrites, int* pnError)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        if (PipeCancelRaised())
        {
            *pnError = ECANCELED;
            return CWinHandle();
        }
        // Identification only: a board may learn who we are, never act as us.
        CWinHandle pipe(::CreateFileA(
            strPipeName.c_str(), bHostWrites ? GENERIC_WRITE : GENERIC_READ, 0, nullptr,
            OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
            nullptr));
        if (pipe.IsValid())
        {
            return pipe;
        }
        const DWORD nError = ::GetLastError();
        if (nError != ERROR_PIPE_BUSY)
        {
            *pnError = PipeErrno(nError);
            return CWinHandle();
        }
        const int nLeftMs = RemainingPipeWaitMs(start);
        if (nLeftMs == 0)
        {
            *pnError = ETIMEDOUT;
            return CWinHandle();
        }
        const DWORD nWaitMs =
            nLeftMs < 0 ? STOP_LOOK_MS : std::min<DWORD>(STOP_LOOK_MS, static_cast<DWORD>(nLeftMs));
        ::WaitNamedPipeA(strPipeName.c_str(), nWaitMs);
    }
}
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
        const std::string strBoard = strRegistry + "\\" + strName;
        const std::string strInterface = ReadBoardInterface(strBoard);
        // A board still being written, or one naming no pipe, is not there.
        if (!strInterface.empty())
        {
            entries.push_back({true, strInterface, true, ReadBoardDescription(strBoard)});
        }
    }
    return entries;
}

bool CVirtualBoardBackend::OwnsPipeName(const std::string& strPipeName) const
{
    return IsPipeInterfacePipeName(strPipeName);
}

std::unique_ptr<IPipe> CVirtualBoardBackend::OpenPipe(const std::string& strPipeName, int* pError)
{
    int nError = ENOENT;
    auto fail = [&](int nCode)
    {
        if (pError != nullptr)
        {
            *pError = nCode;
        }
        return nullptr;
    };
    if (!OwnsPipeName(strPipeName))
    {
        return fail(ENOENT);
    }
    const bool bHostWrites =
        strPipeName.compare(strPipeName.size() - (sizeof(WRITE_PIPE_SUFFIX) - 1), std::string::npos,
                            WRITE_PIPE_SUFFIX) == 0;
    CWinHandle pipe = OpenBoardPipe(strPipeName, bHostWrites, &nError);
    if (!pipe.IsValid())
    {
        return fail(nError);
    }
    // Only a board of our own user gets our images: anyone may make a pipe of any name.
    ULONG nServer = 0;
    if (!::GetNamedPipeServerProcessId(pipe.Get(), &nServer) || !RunsAsCurrentUser(nServer))
    {
        return fail(EACCES);
    }
    CWinHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.IsValid())
    {
        return fail(EIO);
    }
    return std::make_unique<CNamedPipe>(std::move(pipe), std::move(event));
}
