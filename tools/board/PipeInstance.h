#pragma once
// The server end of a board's named pipe, with its overlapped operations.

#include "usb/WinHandle.h"

#include <string>
#include <vector>

// One overlapped operation on a pipe instance; its event is signalled when it ends.
struct COverlappedOp
{
    OVERLAPPED m_overlapped{};
    CWinHandle m_event;
    bool m_bPending = false;
};

// The server end of one pipe instance. Closing it cancels what is pending and waits for that
// to end, so no operation outlives its buffer.
class CPipeInstance
{
public:
    // nOp 0: connecting, then reading (on PIPE01 a read that only sees the host close);
    // nOp 1: writing.
    static constexpr int OP_READ = 0;
    static constexpr int OP_WRITE = 1;

    CPipeInstance() = default;
    ~CPipeInstance() { Close(); }
    CPipeInstance(const CPipeInstance&) = delete;
    CPipeInstance& operator=(const CPipeInstance&) = delete;

    // A new instance of strName, waiting for a host; false with the Windows error in *pnError.
    bool Listen(const std::string& strName, bool bFirst, SECURITY_ATTRIBUTES* pSecurity,
                DWORD* pnError);
    bool IsOpen() const { return m_pipe.IsValid(); }
    // Takes over other's connected pipe; nothing may be pending on it.
    void Adopt(CPipeInstance& other);
    HANDLE Handle() const { return m_pipe.Get(); }
    void Close();

    // Starts a read or write; false when it failed at once (the Windows error in *pnError).
    bool Start(int nOp, void* pBuffer, DWORD nCount, DWORD* pnError);
    bool IsPending(int nOp) const { return m_ops[nOp].m_bPending; }
    // For a pending operation that has ended: true with the bytes moved, or false with the
    // Windows error. False with ERROR_IO_PENDING while it goes on.
    bool Finish(int nOp, DWORD* pnMoved, DWORD* pnError);
    // The events of the pending operations, for the event loop.
    void AddWaits(std::vector<HANDLE>& waits) const;

private:
    CWinHandle m_pipe;
    COverlappedOp m_ops[2];
};
