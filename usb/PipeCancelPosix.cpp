// The process-wide stop of the pipe layer on POSIX: a flag and a non-blocking pipe that waits
// poll() beside their own descriptors. Raising it only stores and writes, so a signal handler
// may do it.

#include "usb/PipeLayer.h"

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace
{
std::atomic<bool> g_bCancelRaised{false};
std::atomic<int> g_nCancelWriteFd{-1};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "raised from a signal handler");
} // namespace

int PipeCancelFd()
{
    static const int s_nReadFd = []
    {
        int fds[2] = {-1, -1};
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        {
            return -1;
        }
        g_nCancelWriteFd.store(fds[1]);
        return fds[0];
    }();
    return s_nReadFd;
}

void PreparePipeCancel()
{
    PipeCancelFd();
}

void RaisePipeCancel()
{
    g_bCancelRaised.store(true);
    const int nFd = g_nCancelWriteFd.load();
    if (nFd >= 0)
    {
        const char cByte = 1;
        [[maybe_unused]] const ssize_t nWritten = ::write(nFd, &cByte, 1);
    }
}

void ClearPipeCancel()
{
    const int nFd = PipeCancelFd();
    char buffer[64];
    while (nFd >= 0 && ::read(nFd, buffer, sizeof buffer) > 0)
    {
    }
    g_bCancelRaised.store(false);
}

bool PipeCancelRaised()
{
    return g_bCancelRaised.load();
}
