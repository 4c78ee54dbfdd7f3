// quillon-board: virtual Plinth boards for Quillon, its tests and anyone without hardware.

#include "board/BoardOptions.h"
#include "board/SocketBoard.h"
#include "usb/VirtualRegistry.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sys/stat.h>

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

int Serve(std::vector<std::unique_ptr<CSocketBoard>>& boards, const sigset_t& waitMask)
{
    std::vector<pollfd> fds;
    while (g_nStopSignal == 0)
    {
        fds.clear();
        std::optional<Bootloader::Clock::time_point> deadline;
        size_t nAttached = 0;
        for (const auto& pBoard : boards)
        {
            if (!pBoard->IsAttached())
            {
                continue;
            }
            ++nAttached;
            pBoard->AddPollFds(fds);
            const auto boardDeadline = pBoard->NextDeadline();
            if (boardDeadline && (!deadline || *boardDeadline < *deadline))
            {
                deadline = boardDeadline;
            }
        }
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

int main(int argc, char** argv)
{
    CBoardOptions options;
    std::string strError;
    if (!ParseBoardOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &strError))
    {
        std::fprintf(stderr, "quillon-board: %s\n", strError.c_str());
        return 2;
    }
    if (options.m_bHelp)
    {
        std::fputs(BoardUsage(), stdout);
        return 0;
    }
    struct stat saveDir
    {
    };
    if (!options.m_strSaveDir.empty() &&
        (::stat(options.m_strSaveDir.c_str(), &saveDir) != 0 || !S_ISDIR(saveDir.st_mode)))
    {
        std::fprintf(stderr, "quillon-board: --save-dir %s is not a directory (create it first)\n",
                     options.m_strSaveDir.c_str());
        return 2;
    }
    sigset_t waitMask;
    if (!InstallStopSignals(&waitMask))
    {
        std::fprintf(stderr, "quillon-board: cannot handle signals: %s\n", std::strerror(errno));
        return 1;
    }
    CWireLog log;
    if (!options.m_strLogFile.empty() && !log.Open(options.m_strLogFile))
    {
        std::fprintf(stderr, "quillon-board: cannot open the log %s: %s\n",
                     options.m_strLogFile.c_str(), std::strerror(errno));
        return 1;
    }
    log.SetLimit(options.m_nLogLimit);
    const std::string strRegistry =
        options.m_strRegistry.empty() ? GetBoardRegistryDirectory() : options.m_strRegistry;
    std::vector<std::unique_ptr<CSocketBoard>> boards;
    for (CBoardConfig& config : options.m_boards)
    {
        auto pBoard = std::make_unique<CSocketBoard>(
            std::move(config), strRegistry, options.m_strSaveDir, log.IsOpen() ? &log : nullptr);
        if (!pBoard->Attach(&strError))
        {
            std::fprintf(stderr, "quillon-board: %s: %s\n", pBoard->Name().c_str(),
                         strError.c_str());
            return 1; // the boards attached so far detach as they are destroyed
        }
        std::printf("attached %s %s\n", pBoard->Name().c_str(), pBoard->Path().c_str());
        std::fflush(stdout);
        boards.push_back(std::move(pBoard));
    }
    const int nResult = Serve(boards, waitMask);
    boards.clear();
    return nResult;
}
