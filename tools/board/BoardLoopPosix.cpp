// The POSIX event loop of quillon-board: ppoll over every board's descriptors (sockets, a USB
// gadget's endpoints), with SIGINT and SIGTERM let in only while it sleeps.

#include "board/BoardLoop.h"
#include "board/PolledBoard.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>

namespace
{
volatile std::sig_atomic_t g_nStopSignal = 0;

void OnStopSignal(int nSignal)
{
    g_nStopSignal = nSignal;
}

// SIGINT and SIGTERM are blocked except inside ppoll, so a stop is never missed between
// checking the flag and going to sleep.
bool InstallStopSignals(sigset_t* pWaitMask)
{
    struct sigaction action
    {
    };
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    std::signal(SIGPIPE, SIG_IGN);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigprocmask(SIG_BLOCK, &blocked, pWaitMask) == 0;
}

} // namespace

bool BoardStopPending()
{
    // The stop signals are blocked outside ppoll: one that came meanwhile waits there.
    sigset_t pending;
    return g_nStopSignal != 0 ||
           (::sigpending(&pending) == 0 &&
            (::sigismember(&pending, SIGINT) == 1 || ::sigismember(&pending, SIGTERM) == 1));
}

namespace
{
int Serve(std::vector<std::unique_ptr<CPolledBoard>>& boards, const sigset_t& waitMask)
{
    std::vector<pollfd> fds;
    while (g_nStopSignal == 0)
    {
        fds.clear();
        std::optional<Bootloader::Clock::time_point> deadline;
        const size_t nAttached = CollectAttachedBoards(
            boards, [&](CPolledBoard& board) { board.AddPollFds(fds); }, &deadline);
        if (nAttached == 0)
        {
            return 0; // every board was unplugged
        }
        timespec timeout{};
        if (deadline)
        {
            const auto left = *deadline - Bootloader::Clock::now();
            const auto nNanoseconds = std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
            timeout.tv_sec = static_cast<time_t>(nNanoseconds / 1000000000);
            timeout.tv_nsec = static_cast<long>(nNanoseconds % 1000000000);
        }
        const int nReady =
            ::ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, &waitMask);
        if (nReady < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            std::fprintf(stderr, "quillon-board: poll: %s\n", std::strerror(errno));
            return 1;
        }
        for (const auto& pBoard : boards)
        {
            if (pBoard->IsAttached())
            {
                pBoard->Handle(fds.data(), fds.size());
            }
        }
    }
    return 0;
}
} // namespace

int ServeBoards(CBoardOptions& options, const std::string& strRegistry, CWireLog* pLog)
{
    sigset_t waitMask;
    if (!InstallStopSignals(&waitMask))
    {
        std::fprintf(stderr, "quillon-board: cannot handle signals: %s\n", std::strerror(errno));
        return 1;
    }
    std::vector<std::unique_ptr<CPolledBoard>> boards;
    const auto make = [&](CBoardConfig config)
    {
        return config.m_gadget.m_bEnabled
                   ? MakeGadgetBoard(std::move(config), options.m_strSaveDir, pLog)
                   : MakeSocketBoard(std::move(config), strRegistry, options.m_strSaveDir, pLog);
    };
    if (!AttachBoardsMadeBy(options, pLog, make, &boards))
    {
        return BoardStopPending() ? 0 : 1;
    }
    const int nResult = Serve(boards, waitMask);
    boards.clear();
    return nResult;
}
