// The board watch on Windows: a change notice on the registry directory's subdirectories and an
// event for Wake and the device-change callback. Stop signals set no handle of ours, so a wait
// lasts at most STOP_CHECK_MS.

#include "app/BoardWatch.h"

#include "ui/wizard/StopSignals.h"
#include "usb/PipeLayer.h"
#include "usb/virtual/VirtualRegistry.h"

#include <algorithm>
#include <mutex>
#include <windows.h>

namespace
{
constexpr DWORD STOP_CHECK_MS = 250;
}

struct CBoardWatch::CState
{
    std::string m_strRegistry;
    HANDLE m_hChange = INVALID_HANDLE_VALUE;
    HANDLE m_hWake = nullptr;
    mutable std::mutex m_mutex;
    std::string m_strProblem;

    void WatchRegistry()
    {
        std::string strError;
        if (EnsureBoardRegistry(m_strRegistry, &strError))
        {
            m_hChange = ::FindFirstChangeNotificationA(m_strRegistry.c_str(), FALSE,
                                                       FILE_NOTIFY_CHANGE_DIR_NAME);
            if (m_hChange == INVALID_HANDLE_VALUE)
            {
                strError = "cannot watch " + m_strRegistry;
            }
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_strProblem = strError;
    }
};

CBoardWatch::CBoardWatch() : m_pState(std::make_unique<CState>())
{
    m_pState->m_strRegistry = GetBoardRegistryDirectory();
    m_pState->m_hWake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_pState->WatchRegistry();
    const HANDLE hWake = m_pState->m_hWake;
    SetDeviceChangeCallback([hWake]() { ::SetEvent(hWake); });
}

CBoardWatch::~CBoardWatch()
{
    SetDeviceChangeCallback({});
    if (m_pState->m_hChange != INVALID_HANDLE_VALUE)
    {
        ::FindCloseChangeNotification(m_pState->m_hChange);
    }
    if (m_pState->m_hWake != nullptr)
    {
        ::CloseHandle(m_pState->m_hWake);
    }
}

void CBoardWatch::Wait(int nMilliseconds)
{
    CState& state = *m_pState;
    if (state.m_hChange == INVALID_HANDLE_VALUE)
    {
        state.WatchRegistry();
    }
    DWORD nWait = nMilliseconds < 0
                      ? STOP_CHECK_MS
                      : std::min<DWORD>(static_cast<DWORD>(nMilliseconds), STOP_CHECK_MS);
    HANDLE handles[2] = {state.m_hWake, state.m_hChange};
    const DWORD nHandles = state.m_hChange == INVALID_HANDLE_VALUE ? 1 : 2;
    if (::WaitForMultipleObjects(nHandles, handles, FALSE, nWait) == WAIT_OBJECT_0 + 1 &&
        !::FindNextChangeNotification(state.m_hChange))
    {
        ::FindCloseChangeNotification(state.m_hChange);
        state.m_hChange = INVALID_HANDLE_VALUE;
    }
}

void CBoardWatch::Wake()
{
    ::SetEvent(m_pState->m_hWake);
}

std::string CBoardWatch::Problem() const
{
    const std::lock_guard<std::mutex> lock(m_pState->m_mutex);
    return m_pState->m_strProblem;
}
