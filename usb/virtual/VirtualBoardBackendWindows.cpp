// The pipe-layer backend for virtual boards on Windows: boards listed in the registry
// directory, whose pipes are named pipes served by a process of the current user.

#include "usb/virtual/VirtualBoardBackend.h"

#include "usb/UsbDevice.h"
#include "usb/WinHandle.h"
#include "usb/virtual/PipeInterface.h"
#include "usb/virtual/VirtualRegistry.h"
#include "usb/windriver/OverlappedPipe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace
{
// Opens a board's pipe, waiting while all its instances are busy, within the time-out.
CWinHandle OpenBoardPipe(const std::string& strPipeName, bool bHostWrites, int* pnError)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;)
    {
        if (PipeCancelRaised())
        {
            *pnError = ECANCELED;
            return CWinHandle();
        }
        // Identification only: a board may learn who we are, never act as us.
        CWinHandle pipe(::CreateFileA(
            strPipeName.c_str(), bHostWrites ? GENERIC_WRITE : GENERIC_READ, 0, nullptr,
            OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
            nullptr));
        if (pipe.IsValid())
        {
            return pipe;
        }
        const DWORD nError = ::GetLastError();
        if (nError != ERROR_PIPE_BUSY)
        {
            *pnError = PipeErrno(nError);
            return CWinHandle();
        }
        const int nLeftMs = RemainingPipeWaitMs(start);
        if (nLeftMs == 0)
        {
            *pnError = ETIMEDOUT;
            return CWinHandle();
        }
        const DWORD nWaitMs =
            nLeftMs < 0 ? STOP_LOOK_MS : std::min<DWORD>(STOP_LOOK_MS, static_cast<DWORD>(nLeftMs));
        ::WaitNamedPipeA(strPipeName.c_str(), nWaitMs);
    }
}
} // namespace

std::vector<CInterfaceEntry> CVirtualBoardBackend::ListInterfaces()
{
    std::vector<CInterfaceEntry> entries;
    const std::string strRegistry = GetBoardRegistryDirectory();
    if (!IsTrustedRegistry(strRegistry))
    {
        return entries;
    }
    for (const std::string& strName : ListBoardNames(strRegistry))
    {
        const std::string strBoard = strRegistry + "\\" + strName;
        const std::string strInterface = ReadBoardInterface(strBoard);
        // A board still being written, or one naming no pipe, is not there.
        if (!strInterface.empty())
        {
            entries.push_back({true, strInterface, true, ReadBoardDescription(strBoard)});
        }
    }
    return entries;
}

bool CVirtualBoardBackend::OwnsPipeName(const std::string& strPipeName) const
{
    return IsPipeInterfacePipeName(strPipeName);
}

std::unique_ptr<IPipe> CVirtualBoardBackend::OpenPipe(const std::string& strPipeName, int* pError)
{
    int nError = ENOENT;
    auto fail = [&](int nCode)
    {
        if (pError != nullptr)
        {
            *pError = nCode;
        }
        return nullptr;
    };
    if (!OwnsPipeName(strPipeName))
    {
        return fail(ENOENT);
    }
    const bool bHostWrites =
        strPipeName.compare(strPipeName.size() - (sizeof(WRITE_PIPE_SUFFIX) - 1), std::string::npos,
                            WRITE_PIPE_SUFFIX) == 0;
    CWinHandle pipe = OpenBoardPipe(strPipeName, bHostWrites, &nError);
    if (!pipe.IsValid())
    {
        return fail(nError);
    }
    // Only a board of our own user gets our images: anyone may make a pipe of any name.
    ULONG nServer = 0;
    if (!::GetNamedPipeServerProcessId(pipe.Get(), &nServer) || !RunsAsCurrentUser(nServer))
    {
        return fail(EACCES);
    }
    std::unique_ptr<IPipe> pPipe = MakeOverlappedPipe(std::move(pipe));
    if (pPipe == nullptr)
    {
        return fail(EIO);
    }
    return pPipe;
}
