#include "usb/PipeLayer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace
{
struct CBackendState
{
    bool m_bOverridden = false;
    std::vector<IPipeBackend*> m_backends;
};

CBackendState& BackendState()
{
    static CBackendState state;
    return state;
}

std::vector<IPipeBackend*> ActiveBackends()
{
    CBackendState& state = BackendState();
    return state.m_bOverridden ? state.m_backends : DefaultPipeBackends();
}

uint32_t TimeoutFromEnvironment()
{
    const char* pszValue = std::getenv("QUILLON_TIMEOUT_MS");
    if (pszValue == nullptr || *pszValue == '\0')
    {
        return DEFAULT_PIPE_TIMEOUT_MS;
    }
    char* pszEnd = nullptr;
    errno = 0;
    const unsigned long long nValue = std::strtoull(pszValue, &pszEnd, 10);
    if (errno != 0 || *pszEnd != '\0' || *pszValue == '-' || nValue > UINT32_MAX)
    {
        return DEFAULT_PIPE_TIMEOUT_MS;
    }
    return static_cast<uint32_t>(nValue);
}

std::atomic<uint32_t>& TimeoutMs()
{
    static std::atomic<uint32_t> nTimeout{TimeoutFromEnvironment()};
    return nTimeout;
}

std::mutex& CallbackMutex()
{
    static std::mutex mutex;
    return mutex;
}

DeviceChangeCallback& Callback()
{
    static DeviceChangeCallback fnCallback;
    return fnCallback;
}
} // namespace

std::vector<CInterfaceEntry> PipeLayer::ListInterfaces()
{
    std::vector<CInterfaceEntry> entries;
    for (IPipeBackend* pBackend : ActiveBackends())
    {
        std::vector<CInterfaceEntry> found = pBackend->ListInterfaces();
        entries.insert(entries.end(), std::make_move_iterator(found.begin()),
                       std::make_move_iterator(found.end()));
    }
    return entries;
}

CPipeHandle PipeLayer::OpenPipe(const std::string& strPipeName, int* pError)
{
    for (IPipeBackend* pBackend : ActiveBackends())
    {
        if (pBackend->OwnsPipeName(strPipeName))
        {
            return CPipeHandle(pBackend->OpenPipe(strPipeName, pError));
        }
    }
    if (pError != nullptr)
    {
        *pError = ENOENT;
    }
    return CPipeHandle();
}

std::string PipeLayer::SharedLockFile(const std::string& strInterfacePath)
{
    for (IPipeBackend* pBackend : ActiveBackends())
    {
        std::string strFile = pBackend->SharedLockFile(strInterfacePath);
        if (!strFile.empty())
        {
            return strFile;
        }
    }
    return std::string();
}

int RemainingPipeWaitMs(std::chrono::steady_clock::time_point silentSince)
{
    const uint32_t nTimeoutMs = GetPipeTimeoutMs();
    if (nTimeoutMs == 0)
    {
        return -1;
    }
    const auto deadline = silentSince + std::chrono::milliseconds(nTimeoutMs);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline)
    {
        return 0;
    }
    const auto nLeft = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::min<int64_t>(nLeft, INT32_MAX));
}

uint32_t GetPipeTimeoutMs()
{
    return TimeoutMs().load();
}

void SetPipeTimeoutMs(uint32_t nMilliseconds)
{
    TimeoutMs().store(nMilliseconds);
}

CPipeBackendOverride::CPipeBackendOverride(std::vector<IPipeBackend*> backends)
{
    CBackendState& state = BackendState();
    m_bPreviouslyOverridden = state.m_bOverridden;
    m_previous = std::move(state.m_backends);
    state.m_backends = std::move(backends);
    state.m_bOverridden = true;
}

CPipeBackendOverride::~CPipeBackendOverride()
{
    CBackendState& state = BackendState();
    state.m_backends = std::move(m_previous);
    state.m_bOverridden = m_bPreviouslyOverridden;
}

void SetDeviceChangeCallback(DeviceChangeCallback fnCallback)
{
    std::lock_guard<std::mutex> lock(CallbackMutex());
    Callback() = std::move(fnCallback);
}

void NotifyDeviceChange()
{
    DeviceChangeCallback fnCallback;
    {
        std::lock_guard<std::mutex> lock(CallbackMutex());
        fnCallback = Callback();
    }
    if (fnCallback)
    {
        fnCallback();
    }
}
