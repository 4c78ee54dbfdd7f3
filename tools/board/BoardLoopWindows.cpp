// The Windows event loop of quillon-board: one wait over the events of every board's pending
// pipe operations and the stop event that Ctrl-C, Ctrl-Break and closing the console set.

#include "board/BoardLoop.h"
#include "board/PipeBoard.h"

#include <cstdio>
#include <memory>

namespace
{
HANDLE StopEvent()
{
    static const HANDLE s_hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return s_hEvent;
}

BOOL WINAPI OnConsoleControl(DWORD nEvent)
{
    (void)nEvent;
    ::SetEvent(StopEvent());
    return TRUE;
}

} // namespace

bool BoardStopPending()
{
    return ::WaitForSingleObject(StopEvent(), 0) == WAIT_OBJECT_0;
}

namespace
{
int Serve(std::vector<std::unique_ptr<CPipeBoard>>& boards)
{
    std::vector<HANDLE> waits;
    for (;;)
    {
        waits.assign(1, StopEvent());
        std::optional<Bootloader::Clock::time_point> deadline;
        const size_t nAttached = CollectAttachedBoards(
            boards, [&](CPipeBoard& board) { board.AddWaits(waits); }, &deadline);
        if (nAttached == 0)
        {
            return 0; // every board was unplugged
        }
        DWORD nWaitMs = INFINITE;
        if (deadline)
        {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - Bootloader::Clock::now());
            nWaitMs = static_cast<DWORD>(std::clamp<int64_t>(left.count(), 0, INFINITE - 1));
        }
        const DWORD nResult = ::WaitForMultipleObjects(static_cast<DWORD>(waits.size()),
                                                       waits.data(), FALSE, nWaitMs);
        if (nResult == WAIT_OBJECT_0)
        {
            return 0;
        }
        if (nResult == WAIT_FAILED)
        {
            std::fprintf(stderr, "quillon-board: wait failed: error %lu\n", ::GetLastError());
            return 1;
        }
        for (const auto& pBoard : boards)
        {
            pBoard->Handle();
        }
    }
}
} // namespace

int ServeBoards(CBoardOptions& options, const std::string& strRegistry, CWireLog* pLog)
{
    // One wait covers every board: the stop event and up to five operations a board.
    constexpr size_t MAX_BOARDS = (MAXIMUM_WAIT_OBJECTS - 1) / 5;
    if (options.m_boards.size() > MAX_BOARDS)
    {
        std::fprintf(stderr, "quillon-board: at most %zu boards in one process on Windows\n",
                     MAX_BOARDS);
        return 2;
    }
    for (const CBoardConfig& board : options.m_boards)
    {
        if (board.m_gadget.m_bEnabled)
        {
            std::fprintf(stderr, "quillon-board: --usb-gadget needs Linux: a USB device "
                                 "controller is made a board through the Linux kernel's "
                                 "configfs and FunctionFS\n");
            return 2;
        }
    }
    if (StopEvent() == nullptr || !::SetConsoleCtrlHandler(OnConsoleControl, TRUE))
    {
        std::fprintf(stderr, "quillon-board: cannot handle Ctrl-C: error %lu\n", ::GetLastError());
        return 1;
    }
    std::vector<std::unique_ptr<CPipeBoard>> boards;
    if (!AttachBoards(options, strRegistry, pLog, &boards))
    {
        return BoardStopPending() ? 0 : 1;
    }
    const int nResult = Serve(boards);
    boards.clear();
    return nResult;
}
