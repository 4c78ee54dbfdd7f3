#include "board/PipeInstance.h"

namespace
{
// The pipes' own buffers; bytes beyond wait in the writer's pending operation.
constexpr DWORD PIPE_BUFFER_SIZE = 64u << 10;
} // namespace

bool CPipeInstance::Listen(const std::string& strName, bool bFirst, SECURITY_ATTRIBUTES* pSecurity,
                           DWORD* pnError)
{
    Close();
    for (COverlappedOp& op : m_ops)
    {
        if (!op.m_event.IsValid())
        {
            op.m_event.Reset(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        }
    }
    // The first instance claims the name: a pipe of that name made by someone else fails it.
    m_pipe.Reset(::CreateNamedPipeA(
        strName.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (bFirst ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, pSecurity));
    if (!m_pipe.IsValid() || !m_ops[OP_READ].m_event.IsValid() ||
        !m_ops[OP_WRITE].m_event.IsValid())
    {
        *pnError = ::GetLastError();
        m_pipe.Reset();
        return false;
    }
    COverlappedOp& connect = m_ops[OP_READ];
    connect.m_overlapped = {};
    connect.m_overlapped.hEvent = connect.m_event.Get();
    ::ResetEvent(connect.m_event.Get());
    if (::ConnectNamedPipe(m_pipe.Get(), &connect.m_overlapped))
    {
        connect.m_bPending = true; // ended already; its event is set
        return true;
    }
    const DWORD nError = ::GetLastError();
    if (nError == ERROR_PIPE_CONNECTED)
    {
        // A host opened the pipe between its making and this call: nothing is in flight.
        connect.m_overlapped.Internal = 0;
        connect.m_overlapped.InternalHigh = 0;
        ::SetEvent(connect.m_event.Get());
        connect.m_bPending = true;
        return true;
    }
    if (nError != ERROR_IO_PENDING)
    {
        *pnError = nError;
        m_pipe.Reset();
        return false;
    }
    connect.m_bPending = true;
    return true;
}

void CPipeInstance::Close()
{
    if (!m_pipe.IsValid())
    {
        return;
    }
    ::CancelIoEx(m_pipe.Get(), nullptr);
    for (COverlappedOp& op : m_ops)
    {
        if (op.m_bPending)
        {
            DWORD nMoved = 0;
            ::GetOverlappedResult(m_pipe.Get(), &op.m_overlapped, &nMoved, TRUE);
            op.m_bPending = false;
        }
    }
    ::DisconnectNamedPipe(m_pipe.Get());
    m_pipe.Reset();
}

void CPipeInstance::Adopt(CPipeInstance& other)
{
    Close();
    m_pipe = std::move(other.m_pipe);
    for (int nOp : {OP_READ, OP_WRITE})
    {
        std::swap(m_ops[nOp].m_event, other.m_ops[nOp].m_event);
    }
}

bool CPipeInstance::Start(int nOp, void* pBuffer, DWORD nCount, DWORD* pnError)
{
    COverlappedOp& op = m_ops[nOp];
    op.m_overlapped = {};
    op.m_overlapped.hEvent = op.m_event.Get();
    ::ResetEvent(op.m_event.Get());
    const BOOL bDone = nOp == OP_READ
                           ? ::ReadFile(m_pipe.Get(), pBuffer, nCount, nullptr, &op.m_overlapped)
                           : ::WriteFile(m_pipe.Get(), pBuffer, nCount, nullptr, &op.m_overlapped);
    if (!bDone && ::GetLastError() != ERROR_IO_PENDING)
    {
        *pnError = ::GetLastError();
        return false;
    }
    op.m_bPending = true; // a call that ended at once reports through its event all the same
    return true;
}

bool CPipeInstance::Finish(int nOp, DWORD* pnMoved, DWORD* pnError)
{
    COverlappedOp& op = m_ops[nOp];
    *pnMoved = 0;
    if (!op.m_bPending || !HasOverlappedIoCompleted(&op.m_overlapped))
    {
        *pnError = ERROR_IO_PENDING;
        return false;
    }
    op.m_bPending = false;
    if (::GetOverlappedResult(m_pipe.Get(), &op.m_overlapped, pnMoved, FALSE))
    {
        return true;
    }
    *pnError = ::GetLastError();
    return false;
}

void CPipeInstance::AddWaits(std::vector<HANDLE>& waits) const
{
    for (const COverlappedOp& op : m_ops)
    {
        if (op.m_bPending)
        {
            waits.push_back(op.m_event.Get());
        }
    }
}
