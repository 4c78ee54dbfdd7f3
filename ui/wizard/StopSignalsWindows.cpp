// Stop signals on Windows: Ctrl-C, Ctrl-Break and closing the console, through a console
// control handler (which the system calls on a thread of its own), and an event that wakes
// the waits.

#include "ui/wizard/StopSignals.h"

#include "ui/wizard/WizardRun.h"
#include "usb/PipeLayer.h"

#include <atomic>
#include <windows.h>

namespace
{
std::atomic<int> g_nStopCount{0};

HANDLE WakeEvent()
{
    static const HANDLE s_hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return s_hEvent;
}

BOOL WINAPI OnConsoleControl(DWORD nEvent)
{
    if (nEvent != CTRL_C_EVENT && nEvent != CTRL_BREAK_EVENT && nEvent != CTRL_CLOSE_EVENT)
    {
        return FALSE;
    }
    // Counted before the pipes are stopped: a transfer that ends on the stop must find the run
    // stopped, or it would be reported as the board's failure.
    const int nEarlier = g_nStopCount.fetch_add(1);
    RaisePipeCancel();
    // A second request, or a console that is going away (the system ends the process once this
    // handler returns): the run ends here, with its cancel result.
    if (nEarlier >= 1 || nEvent == CTRL_CLOSE_EVENT)
    {
        ::ExitProcess(RESULT_CANCELLED);
    }
    ::SetEvent(WakeEvent());
    return TRUE;
}
} // namespace

CStopSignalGuard::CStopSignalGuard()
{
    g_nStopCount = 0;
    ::ResetEvent(WakeEvent());
    PreparePipeCancel();
    ClearPipeCancel();
    m_bInstalled = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}

CStopSignalGuard::~CStopSignalGuard()
{
    if (m_bInstalled)
    {
        ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    }
    ClearPipeCancel();
}

bool StopRequested()
{
    return g_nStopCount.load() > 0;
}

int StopSignalFd()
{
    return -1;
}

void WaitForStopSignal(int nMilliseconds)
{
    ::WaitForSingleObject(WakeEvent(),
                          nMilliseconds < 0 ? INFINITE : static_cast<DWORD>(nMilliseconds));
}

void ClearStopRequest()
{
    g_nStopCount = 0;
    ClearPipeCancel();
    ::ResetEvent(WakeEvent());
}
