#pragma once
// The pipe layer: the narrow seam between the transport and whatever carries the bytes.
// A backend lists the interfaces of the board class it knows, opens a pipe by the name
// the connection forms ("<interface path>\PIPE00" or "\PIPE01") and moves bytes through it.
// Every connect, read and write is bounded by an inactivity time-out (see GetPipeTimeoutMs)
// and ends at once when the process-wide stop is raised (see RaisePipeCancel).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Called while a block moves, between pieces, with the bytes moved so far; returning false
// abandons the transfer (the read or write then reports the bytes it moved).
using PipeProgress = std::function<bool(uint64_t nDone, uint64_t nTotal)>;

// One interface of the board class as a backend lists it.
struct CInterfaceEntry
{
    bool m_bPathOk = false;
    std::string m_strPath;
    bool m_bDescriptionOk = false;
    std::string m_strDescription;
    // Tells this attachment from an earlier one at the same path (a board unplugged and
    // another plugged into the same port); empty when the backend cannot tell.
    std::string m_strAttachment = {};
};

// An open pipe. Read fills up to nCount bytes and returns fewer only when the time-out passed
// without progress, the other side went away or an error occurred; Write likewise.
class IPipe
{
public:
    virtual ~IPipe() = default;
    virtual uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) = 0;
    // As Read, for a further attempt at the same reply: the silence before its first byte
    // began at silentSince, so all attempts of one reply share one time-out. Pipes that never
    // wait need not tell the two apart.
    virtual uint32_t ReadAfterSilence(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress,
                                      std::chrono::steady_clock::time_point silentSince)
    {
        (void)silentSince;
        return Read(pBuffer, nCount, pProgress);
    }
    virtual uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) = 0;
    // errno-style code of the last short read or write: ETIMEDOUT, ECONNRESET, ECANCELED, ...
    virtual int LastError() const = 0;
};

class IPipeBackend
{
public:
    virtual ~IPipeBackend() = default;
    // The present interfaces in a stable order.
    virtual std::vector<CInterfaceEntry> ListInterfaces() = 0;
    // True when strPipeName was formed from an interface path this backend produces.
    virtual bool OwnsPipeName(const std::string& strPipeName) const = 0;
    // nullptr on failure, with the reason in *pError (errno-style) when pError is given.
    virtual std::unique_ptr<IPipe> OpenPipe(const std::string& strPipeName, int* pError) = 0;
    // A file that every user who may open the board at strInterfacePath may also open and lock
    // (a USB board's device node), so that one lock keeps all of them apart; empty when the
    // backend has none for it.
    virtual std::string SharedLockFile(const std::string& strInterfacePath)
    {
        (void)strInterfacePath;
        return std::string();
    }
};

// A pipe handle: owns its pipe and closes it when it goes out of scope.
class CPipeHandle
{
public:
    CPipeHandle() = default;
    explicit CPipeHandle(std::unique_ptr<IPipe> pPipe) : m_pPipe(std::move(pPipe)) {}
    CPipeHandle(CPipeHandle&&) noexcept = default;
    CPipeHandle& operator=(CPipeHandle&&) noexcept = default;
    CPipeHandle(const CPipeHandle&) = delete;
    CPipeHandle& operator=(const CPipeHandle&) = delete;

    bool IsValid() const { return m_pPipe != nullptr; }
    void Close() { m_pPipe.reset(); }
    IPipe* Get() const { return m_pPipe.get(); }

private:
    std::unique_ptr<IPipe> m_pPipe;
};

namespace PipeLayer
{
// All interfaces of all backends, backend by backend in their registration order.
std::vector<CInterfaceEntry> ListInterfaces();
// An invalid handle when no backend owns the name or the pipe cannot be opened.
CPipeHandle OpenPipe(const std::string& strPipeName, int* pError = nullptr);
// The first backend's shared lock file for the board (see IPipeBackend); empty for none.
std::string SharedLockFile(const std::string& strInterfacePath);
} // namespace PipeLayer

// Inactivity time-out of every pipe read and write, in milliseconds; 0 waits forever.
// Starts from $QUILLON_TIMEOUT_MS when set, else DEFAULT_PIPE_TIMEOUT_MS.
constexpr uint32_t DEFAULT_PIPE_TIMEOUT_MS = 3000;
uint32_t GetPipeTimeoutMs();
void SetPipeTimeoutMs(uint32_t nMilliseconds);

// A process-wide stop: once raised, every wait of the pipe layer (connecting, reading,
// writing) ends at once and its pipe reports ECANCELED, until the stop is cleared. The
// stop-signal handling raises it from a signal handler, so RaisePipeCancel is
// async-signal-safe; PreparePipeCancel must have been called once before that.
void PreparePipeCancel();
void RaisePipeCancel();
void ClearPipeCancel();
bool PipeCancelRaised();
// POSIX: readable while the stop is raised, for poll() beside a pipe's own descriptor; -1 when
// no descriptor could be made (the flag alone then tells). Windows has PipeCancelEvent().
int PipeCancelFd();

// What is left of the inactivity time-out when nothing moved since silentSince: 0 when it
// has passed, -1 for no time-out. Capped at INT32_MAX milliseconds, for poll().
int RemainingPipeWaitMs(std::chrono::steady_clock::time_point silentSince);

// Replaces the backends for the lifetime of the object (tests put scripted fakes here).
class CPipeBackendOverride
{
public:
    explicit CPipeBackendOverride(std::vector<IPipeBackend*> backends);
    ~CPipeBackendOverride();
    CPipeBackendOverride(const CPipeBackendOverride&) = delete;
    CPipeBackendOverride& operator=(const CPipeBackendOverride&) = delete;

private:
    std::vector<IPipeBackend*> m_previous;
    bool m_bPreviouslyOverridden = false;
};

// Backends that learn of arrivals and removals by themselves (USB hotplug) call this from
// their own thread; the receiver hands it on to its user-interface thread. Empty: none.
using DeviceChangeCallback = std::function<void()>;
void SetDeviceChangeCallback(DeviceChangeCallback fnCallback);
void NotifyDeviceChange();

// The backends this build provides, in listing order; defined by the file CMake picks.
std::vector<IPipeBackend*> DefaultPipeBackends();
