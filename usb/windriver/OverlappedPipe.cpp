// Pipe I/O on Windows: overlapped reads and writes, each wait bounded by the inactivity
// time-out and ended at once by the process-wide stop; a wait given up is cancelled with
// CancelIoEx before its buffer goes.

#include "usb/windriver/OverlappedPipe.h"

#include "usb/PipeCancelWindows.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace
{
// Bytes move in pieces: large ones when nobody watches, small ones when a caller follows the
// progress, so a window repaints soon even on a slow board.
constexpr uint32_t PIECE_SIZE = 4u << 20;
constexpr uint32_t WATCHED_PIECE_SIZE = 256u << 10;
} // namespace

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

namespace
{
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

// A pipe opened for overlapped I/O: a board's named pipe or a pipe of the board's driver.
class COverlappedPipe : public IPipe
{
public:
    COverlappedPipe(CWinHandle pipe, CWinHandle event)
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
} // namespace

std::unique_ptr<IPipe> MakeOverlappedPipe(CWinHandle pipe)
{
    CWinHandle event(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!event.IsValid())
    {
        return nullptr;
    }
    return std::make_unique<COverlappedPipe>(std::move(pipe), std::move(event));
}
