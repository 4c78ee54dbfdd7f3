// Stop signals on POSIX: SIGINT and SIGTERM, and a self-pipe that wakes poll().

#include "ui/wizard/StopSignals.h"

#include "ui/wizard/WizardRun.h"
#include "usb/PipeLayer.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace
{
volatile std::sig_atomic_t g_nStopCount = 0;
int g_wakePipe[2] = {-1, -1};
// The handlers before the guard's, put back when it goes.
struct sigaction g_previousInt = {};
struct sigaction g_previousTerm = {};

extern "C" void OnStopSignal(int)
{
    const int nSavedErrno = errno;
    if (g_nStopCount >= 1)
    {
        // The second request: the user no longer waits for a clean stop.
        _exit(RESULT_CANCELLED);
    }
    g_nStopCount = g_nStopCount + 1;
    // Whatever the run waits for on a board (a connect, a reply, a board taking bytes) ends now.
    RaisePipeCancel();
    if (g_wakePipe[1] >= 0)
    {
        const char cByte = 1;
        [[maybe_unused]] const ssize_t nWritten = write(g_wakePipe[1], &cByte, 1);
    }
    errno = nSavedErrno;
}

void ClosePipe()
{
    for (int& fd : g_wakePipe)
    {
        if (fd >= 0)
        {
            close(fd);
            fd = -1;
        }
    }
}
} // namespace

CStopSignalGuard::CStopSignalGuard()
{
    if (pipe2(g_wakePipe, O_NONBLOCK | O_CLOEXEC) != 0)
    {
        g_wakePipe[0] = g_wakePipe[1] = -1;
    }
    g_nStopCount = 0;
    // Made here, outside the handler, which may only raise it.
    PreparePipeCancel();
    ClearPipeCancel();
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls keep the standard streams' writes whole; poll() still wakes up.
    action.sa_flags = SA_RESTART;
    m_bInstalled = sigaction(SIGINT, &action, &g_previousInt) == 0 &&
                   sigaction(SIGTERM, &action, &g_previousTerm) == 0;
}

CStopSignalGuard::~CStopSignalGuard()
{
    sigaction(SIGINT, &g_previousInt, nullptr);
    sigaction(SIGTERM, &g_previousTerm, nullptr);
    ClosePipe();
    ClearPipeCancel();
}

bool StopRequested()
{
    return g_nStopCount > 0;
}

int StopSignalFd()
{
    return g_wakePipe[0];
}

void ClearStopRequest()
{
    g_nStopCount = 0;
    ClearPipeCancel();
    char buffer[16];
    while (g_wakePipe[0] >= 0 && read(g_wakePipe[0], buffer, sizeof(buffer)) > 0)
    {
    }
}

void WaitForStopSignal(int nMilliseconds)
{
    struct pollfd wake = {StopSignalFd(), POLLIN, 0};
    poll(&wake, wake.fd >= 0 ? 1 : 0, nMilliseconds);
}
