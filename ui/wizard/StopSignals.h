#pragma once
// Ctrl-C (SIGINT) and SIGTERM during an unattended run (on Windows Ctrl-C, Ctrl-Break and
// closing the console): the first one asks the run to stop
// (the pipes are closed and the run ends with its cancel result); a second one ends the
// process at once for a user who does not want to wait for a board that stopped answering.
// The first one also raises the pipe layer's stop, so that a connect, a reply or a send that
// waits on a board ends at once, whatever the time-out.

class CStopSignalGuard
{
public:
    // Installs the handlers; the previous ones come back when the guard goes.
    CStopSignalGuard();
    ~CStopSignalGuard();
    CStopSignalGuard(const CStopSignalGuard&) = delete;
    CStopSignalGuard& operator=(const CStopSignalGuard&) = delete;

    bool IsInstalled() const { return m_bInstalled; }

private:
    bool m_bInstalled = false;
};

// True once a stop signal arrived while a guard was installed.
bool StopRequested();
// POSIX: becomes readable when a stop signal arrives (for event loops and poll()); -1 without
// a guard.
int StopSignalFd();
// Waits up to nMilliseconds (-1: without end), returning early when a stop signal arrives.
void WaitForStopSignal(int nMilliseconds);
// Forgets an earlier stop request (each run starts from none).
void ClearStopRequest();
