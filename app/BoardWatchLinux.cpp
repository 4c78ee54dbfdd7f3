// The board watch on Linux: inotify on the registry directory, an eventfd for Wake and the
// device-change callback, and the stop signals' descriptor, all in one poll().

#include "app/BoardWatch.h"

#include "ui/wizard/StopSignals.h"
#include "usb/PipeLayer.h"
#include "usb/virtual/VirtualRegistry.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

struct CBoardWatch::CState
{
    std::string m_strRegistry;
    int m_nNotify = -1;
    int m_nWatch = -1;
    int m_nWake = -1;
    mutable std::mutex m_mutex;
    std::string m_strProblem;

    // (Re)starts the watch of the registry; a registry that was removed is made again.
    void WatchRegistry()
    {
        std::string strError;
        if (m_nNotify < 0)
        {
            strError = "the system gives no file notices here";
        }
        else if (EnsureBoardRegistry(m_strRegistry, &strError))
        {
            m_nWatch = inotify_add_watch(m_nNotify, m_strRegistry.c_str(),
                                         IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                             IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
            if (m_nWatch < 0)
            {
                strError = "cannot watch " + m_strRegistry + ": " + std::strerror(errno);
            }
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_strProblem = strError;
    }

    // Reads what is queued; false when the watch ended (its directory went or moved).
    bool DrainNotices()
    {
        alignas(inotify_event) char buffer[4096];
        bool bWatching = true;
        for (;;)
        {
            const ssize_t nRead = read(m_nNotify, buffer, sizeof(buffer));
            if (nRead <= 0)
            {
                return bWatching;
            }
            for (ssize_t nAt = 0; nAt < nRead;)
            {
                const auto* pEvent = reinterpret_cast<const inotify_event*>(buffer + nAt);
                if (pEvent->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))
                {
                    bWatching = false;
                }
                nAt += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
            }
        }
    }
};

CBoardWatch::CBoardWatch() : m_pState(std::make_unique<CState>())
{
    m_pState->m_strRegistry = GetBoardRegistryDirectory();
    m_pState->m_nNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    m_pState->m_nWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_pState->WatchRegistry();
    CState* pState = m_pState.get();
    SetDeviceChangeCallback(
        [pState]()
        {
            const uint64_t nOne = 1;
            [[maybe_unused]] const ssize_t nWritten = write(pState->m_nWake, &nOne, sizeof(nOne));
        });
}

CBoardWatch::~CBoardWatch()
{
    SetDeviceChangeCallback({});
    for (int fd : {m_pState->m_nNotify, m_pState->m_nWake})
    {
        if (fd >= 0)
        {
            close(fd);
        }
    }
}

void CBoardWatch::Wait(int nMilliseconds)
{
    CState& state = *m_pState;
    if (state.m_nWatch < 0)
    {
        state.WatchRegistry();
    }
    if (state.m_nWatch < 0 && (nMilliseconds < 0 || nMilliseconds > REGISTRY_RETRY_MS))
    {
        nMilliseconds = REGISTRY_RETRY_MS;
    }
    pollfd fds[3] = {
        {state.m_nNotify, POLLIN, 0}, {state.m_nWake, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
    if (poll(fds, 3, nMilliseconds) <= 0)
    {
        return;
    }
    if (fds[0].revents != 0 && !state.DrainNotices())
    {
        inotify_rm_watch(state.m_nNotify, state.m_nWatch);
        state.m_nWatch = -1;
    }
    uint64_t nCount = 0;
    if (fds[1].revents != 0)
    {
        [[maybe_unused]] const ssize_t nRead = read(state.m_nWake, &nCount, sizeof(nCount));
    }
}

void CBoardWatch::Wake()
{
    const uint64_t nOne = 1;
    [[maybe_unused]] const ssize_t nWritten = write(m_pState->m_nWake, &nOne, sizeof(nOne));
}

std::string CBoardWatch::Problem() const
{
    const std::lock_guard<std::mutex> lock(m_pState->m_mutex);
    return m_pState->m_strProblem;
}
