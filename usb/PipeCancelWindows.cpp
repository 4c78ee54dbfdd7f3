// The process-wide stop of the pipe layer on Windows: a flag and a manual-reset event that
// overlapped waits include beside their own. Raising it only stores and sets the event, so the
// console control handler may do it from its own thread.

#include "usb/PipeCancelWindows.h"
#include "usb/PipeLayer.h"

#include <atomic>

namespace
{
std::atomic<bool> g_bCancelRaised{false};
} // namespace

HANDLE PipeCancelEvent()
{
    static const HANDLE s_hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return s_hEvent;
}

void PreparePipeCancel()
{
    PipeCancelEvent();
}

void RaisePipeCancel()
{
    g_bCancelRaised.store(true);
    ::SetEvent(PipeCancelEvent());
}

void ClearPipeCancel()
{
    ::ResetEvent(PipeCancelEvent());
    g_bCancelRaised.store(false);
}

bool PipeCancelRaised()
{
    return g_bCancelRaised.load();
}
