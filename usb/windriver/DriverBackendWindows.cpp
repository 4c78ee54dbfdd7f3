#include "usb/windriver/DriverBackend.h"

#include "usb/UsbDevice.h"
#include "usb/windriver/OverlappedPipe.h"

#include <cerrno>
#include <cstring>
#include <setupapi.h>
#include <string_view>

namespace
{
constexpr size_t MAX_PATH_TEXT = 259;
constexpr DWORD DESCRIPTION_BUFFER = 1024;

// The device information set of the present interfaces of the class, destroyed with it.
class CDeviceSet
{
public:
    CDeviceSet()
        : m_hSet(::SetupDiGetClassDevsA(&BOOTLOADER_INTERFACE_CLASS, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE))
    {
    }
    ~CDeviceSet()
    {
        if (IsValid())
        {
            ::SetupDiDestroyDeviceInfoList(m_hSet);
        }
    }
    CDeviceSet(const CDeviceSet&) = delete;
    CDeviceSet& operator=(const CDeviceSet&) = delete;
    bool IsValid() const { return m_hSet != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return m_hSet; }

private:
    HDEVINFO m_hSet;
};

// The interface's device path by the two-call pattern; empty on any failure, and for a path
// too long for the connection's 259 characters.
std::string ReadDevicePath(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA interfaceData)
{
    DWORD nRequired = 0;
    if (::SetupDiGetDeviceInterfaceDetailA(hSet, &interfaceData, nullptr, 0, &nRequired, nullptr) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || nRequired < sizeof(DWORD))
    {
        return std::string();
    }
    std::vector<uint8_t> block(nRequired + 1);
    auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!::SetupDiGetDeviceInterfaceDetailA(hSet, &interfaceData, pDetail, nRequired, nullptr,
                                            nullptr))
    {
        return std::string();
    }
    const size_t nOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const std::string_view path(pDetail->DevicePath,
                                strnlen(pDetail->DevicePath, nRequired - nOffset));
    return path.size() <= MAX_PATH_TEXT ? std::string(path) : std::string();
}

// The device's description; empty on any failure, also for one that does not fit 1024 bytes.
std::string ReadDescription(HDEVINFO hSet, SP_DEVICE_INTERFACE_DATA interfaceData)
{
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (::SetupDiGetDeviceInterfaceDetailA(hSet, &interfaceData, nullptr, 0, nullptr, &device) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    {
        return std::string();
    }
    char buffer[DESCRIPTION_BUFFER] = {};
    if (!::SetupDiGetDeviceRegistryPropertyA(hSet, &device, SPDRP_DEVICEDESC, nullptr,
                                             reinterpret_cast<BYTE*>(buffer), sizeof(buffer) - 1,
                                             nullptr))
    {
        return std::string();
    }
    return std::string(buffer, strnlen(buffer, sizeof(buffer)));
}

bool StartsWith(const std::string& strText, std::string_view prefix)
{
    return strText.size() > prefix.size() &&
           std::string_view(strText).substr(0, prefix.size()) == prefix;
}

bool EndsWith(const std::string& strText, std::string_view suffix)
{
    return strText.size() >= suffix.size() &&
           std::string_view(strText).substr(strText.size() - suffix.size()) == suffix;
}
} // namespace

std::vector<CInterfaceEntry> CDriverBackend::ListInterfaces()
{
    std::vector<CInterfaceEntry> entries;
    const CDeviceSet set;
    if (!set.IsValid())
    {
        return entries;
    }
    for (DWORD nIndex = 0;; ++nIndex)
    {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(interfaceData);
        if (!::SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &BOOTLOADER_INTERFACE_CLASS, nIndex,
                                           &interfaceData))
        {
            // Any other failure ends the listing too: the next index would fail the same way.
            break;
        }
        CInterfaceEntry entry;
        entry.m_strPath = ReadDevicePath(set.Get(), interfaceData);
        entry.m_bPathOk = !entry.m_strPath.empty();
        if (entry.m_bPathOk)
        {
            entry.m_strDescription = ReadDescription(set.Get(), interfaceData);
            entry.m_bDescriptionOk = !entry.m_strDescription.empty();
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool CDriverBackend::OwnsPipeName(const std::string& strPipeName) const
{
    return StartsWith(strPipeName, "\\\\?\\") &&
           (EndsWith(strPipeName, READ_PIPE_SUFFIX) || EndsWith(strPipeName, WRITE_PIPE_SUFFIX));
}

std::unique_ptr<IPipe> CDriverBackend::OpenPipe(const std::string& strPipeName, int* pError)
{
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
    // The access and sharing of the driver's pipes as the connection has always asked for
    // them; overlapped, so that every read and write is bounded by the time-out.
    const bool bRead = EndsWith(strPipeName, READ_PIPE_SUFFIX);
    CWinHandle pipe(::CreateFileA(strPipeName.c_str(),
                                  bRead ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE,
                                  bRead ? FILE_SHARE_READ : FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe.IsValid())
    {
        return fail(PipeErrno(::GetLastError()));
    }
    std::unique_ptr<IPipe> pPipe = MakeOverlappedPipe(std::move(pipe));
    if (pPipe == nullptr)
    {
        return fail(EIO);
    }
    return pPipe;
}
