#include "usb/libusb/UsbBackend.h"

#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBackendLibusb.h"
#include "usb/libusb/UsbBackendPlatform.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/libusb/UsbDescriptors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace UsbLibusb;

namespace
{
constexpr auto INIT_RETRY_INTERVAL = std::chrono::seconds(2);

bool EndsWith(const std::string& strText, const std::string& strSuffix)
{
    return strText.size() >= strSuffix.size() &&
           strText.compare(strText.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* pUser)
{
    // Runs inside libusb's event handling: only note it, the event thread reports it.
    static_cast<std::atomic<bool>*>(pUser)->store(true);
    return 0;
}
} // namespace

// libusb's context, ended by the process that started it. A child made by fork() has none of
// libusb's threads, so if it exits normally it must leave the context alone.
struct CUsbBackend::CContext
{
    libusb_context* m_pContext = nullptr;
    int64_t m_nOwner = UsbCurrentProcess();
    ~CContext()
    {
        if (m_pContext != nullptr && UsbCurrentProcess() == m_nOwner)
        {
            libusb_exit(m_pContext);
        }
    }
};

CUsbBackend::CUsbBackend() = default;

CUsbBackend::~CUsbBackend()
{
    StopHotplug();
}

std::shared_ptr<CUsbBackend::CContext> CUsbBackend::Context()
{
    if (m_pContext)
    {
        return m_pContext;
    }
    if (!UsbLibusbAllowed())
    {
        return nullptr;
    }
    const auto now = std::chrono::steady_clock::now();
    if (m_bInitFailed && now - m_lastInitFailure < INIT_RETRY_INTERVAL)
    {
        return nullptr;
    }
    auto pContext = std::make_shared<CContext>();
    if (libusb_init(&pContext->m_pContext) != LIBUSB_SUCCESS)
    {
        pContext->m_pContext = nullptr;
        m_bInitFailed = true;
        m_lastInitFailure = now;
        return nullptr;
    }
    m_bInitFailed = false;
    m_pContext = pContext;
    StartHotplug(pContext);
    return m_pContext;
}

void CUsbBackend::StartHotplug(const std::shared_ptr<CContext>& pContext)
{
    if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) == 0)
    {
        return;
    }
    const int nResult = libusb_hotplug_register_callback(
        pContext->m_pContext,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                          LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug, &m_bChanged, &m_nHotplugHandle);
    if (nResult != LIBUSB_SUCCESS)
    {
        return;
    }
    m_bStop = false;
    m_eventThread = std::thread(&CUsbBackend::EventLoop, this, pContext);
    m_bHotplug = true;
}

void CUsbBackend::StopHotplug()
{
    if (!m_eventThread.joinable())
    {
        return;
    }
    if (UsbCurrentProcess() != m_pContext->m_nOwner)
    {
        m_eventThread.detach(); // a forked child: the thread exists only in the parent
        return;
    }
    m_bStop = true;
    libusb_interrupt_event_handler(m_pContext->m_pContext);
    m_eventThread.join();
    libusb_hotplug_deregister_callback(m_pContext->m_pContext, m_nHotplugHandle);
    m_bHotplug = false;
}

void CUsbBackend::EventLoop(std::shared_ptr<CContext> pContext)
{
    while (!m_bStop)
    {
        // Events wake the wait at once and so does StopHotplug; the period only bounds idling.
        timeval wait{2, 0};
        libusb_handle_events_timeout_completed(pContext->m_pContext, &wait, nullptr);
        if (m_bChanged.exchange(false))
        {
            NotifyDeviceChange();
        }
    }
}

bool CUsbBackend::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Context();
    return HotplugActive();
}

bool CUsbBackend::TryOpen(libusb_device* pDevice, CSeen* pSeen)
{
    libusb_device_handle* pRaw = nullptr;
    const int nResult = libusb_open(pDevice, &pRaw);
    if (nResult == LIBUSB_ERROR_ACCESS)
    {
        pSeen->m_eAccess = EAccess::Refused;
        return false;
    }
    if (nResult != LIBUSB_SUCCESS)
    {
        return false;
    }
    CHandlePtr pHandle(pRaw);
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(pDevice, &desc);
    uint8_t ports[8];
    const int nPorts = libusb_get_port_numbers(pDevice, ports, sizeof(ports));
    pSeen->m_strDescription =
        ReadDescription(pRaw, desc,
                        FormatUsbPath(libusb_get_bus_number(pDevice),
                                      std::vector<uint8_t>(ports, ports + std::max(nPorts, 0))));
    pSeen->m_eAccess = EAccess::Open;
    return true;
}

bool CUsbBackend::Inspect(libusb_device* pDevice, CSeen* pSeen, bool bIdListed)
{
    if (!pSeen->m_bProbed)
    {
        pSeen->m_bProbed = true;
        libusb_device_descriptor desc{};
        libusb_get_device_descriptor(pDevice, &desc);
        if (!bIdListed && MayDeclareBoardClass(pDevice, desc))
        {
            pSeen->m_nGuidInterface = ProbeBoardClass(pDevice);
        }
    }
    if (!bIdListed && pSeen->m_nGuidInterface == -2)
    {
        return false;
    }
    if (pSeen->m_eAccess != EAccess::Open)
    {
        TryOpen(pDevice, pSeen);
    }
    return true;
}

std::vector<CInterfaceEntry> CUsbBackend::ListInterfaces()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<CContext> pContext = Context();
    if (!pContext)
    {
        m_seen.clear();
        return {};
    }
    const std::vector<CUsbBoardId> ids = GetUsbBoardIds();
    std::vector<std::pair<std::vector<uint8_t>, CInterfaceEntry>> found;
    std::map<std::string, CSeen> seen;
    CDeviceList devices(pContext->m_pContext);
    for (libusb_device* pDevice : devices)
    {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(pDevice, &desc) != LIBUSB_SUCCESS ||
            desc.bDeviceClass == LIBUSB_CLASS_HUB)
        {
            continue;
        }
        uint8_t ports[8];
        const int nPorts = libusb_get_port_numbers(pDevice, ports, sizeof(ports));
        if (nPorts <= 0)
        {
            continue;
        }
        const uint8_t nBus = libusb_get_bus_number(pDevice);
        std::vector<uint8_t> place(ports, ports + nPorts);
        const std::string strPath = FormatUsbPath(nBus, place);
        // What was learnt of a device stays valid while it stays plugged in: the same place,
        // address and ids. A new plug-in gets a new address and is looked at afresh.
        CSeen entry;
        const auto it = m_seen.find(strPath);
        if (it != m_seen.end() && it->second.m_nAddress == libusb_get_device_address(pDevice) &&
            it->second.m_nVendor == desc.idVendor && it->second.m_nProduct == desc.idProduct)
        {
            entry = it->second;
        }
        else
        {
            entry.m_nAddress = libusb_get_device_address(pDevice);
            entry.m_nVendor = desc.idVendor;
            entry.m_nProduct = desc.idProduct;
            entry.m_firstSeen = std::chrono::steady_clock::now();
        }
        const bool bBoard =
            Inspect(pDevice, &entry, IsUsbBoardId(ids, desc.idVendor, desc.idProduct));
        if (bBoard && entry.m_eAccess == EAccess::Open)
        {
            place.insert(place.begin(), nBus);
            // The bus gives each plug-in a new address.
            found.push_back({place, CInterfaceEntry{true, strPath, true, entry.m_strDescription,
                                                    std::to_string(entry.m_nAddress)}});
        }
        seen[strPath] = entry;
    }
    m_seen = std::move(seen);
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<CInterfaceEntry> entries;
    for (auto& item : found)
    {
        entries.push_back(std::move(item.second));
    }
    return entries;
}

std::vector<CUsbRefusedBoard> CUsbBackend::RefusedBoards(bool bWait)
{
    const auto grace = std::chrono::milliseconds(USB_ACCESS_GRACE_MS);
    for (;;)
    {
        ListInterfaces(); // opens again whatever was refused before
        std::vector<CUsbRefusedBoard> problems;
        bool bYoung = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto now = std::chrono::steady_clock::now();
            const std::vector<CUsbBoardId> ids = GetUsbBoardIds();
            for (const auto& [strPath, seen] : m_seen)
            {
                if (seen.m_eAccess != EAccess::Refused ||
                    !IsUsbBoardId(ids, seen.m_nVendor, seen.m_nProduct))
                {
                    continue;
                }
                if (now - seen.m_firstSeen < grace)
                {
                    bYoung = true;
                    if (!bWait)
                    {
                        continue;
                    }
                }
                const CUsbBoardId id = {seen.m_nVendor, seen.m_nProduct};
                problems.push_back(
                    {strPath, id,
                     UsbAccessRefusedText(id, strPath.substr(std::strlen(USB_PATH_PREFIX)))});
            }
        }
        if (problems.empty() || !bYoung || !bWait)
        {
            return problems;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(USB_ACCESS_RETRY_MS));
    }
}

bool CUsbBackend::OwnsPipeName(const std::string& strPipeName) const
{
    return strPipeName.compare(0, std::strlen(USB_PATH_PREFIX), USB_PATH_PREFIX) == 0;
}

std::string CUsbBackend::SharedLockFile(const std::string& strInterfacePath)
{
    uint8_t nBus = 0;
    std::vector<uint8_t> ports;
    if (!ParseUsbPath(strInterfacePath, &nBus, &ports))
    {
        return std::string();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<CContext> pContext = Context();
    if (!pContext)
    {
        return std::string();
    }
    CDeviceList devices(pContext->m_pContext);
    const auto itDevice = std::find_if(devices.begin(), devices.end(),
                                       [&](libusb_device* p) { return SamePlace(p, nBus, ports); });
    return itDevice == devices.end()
               ? std::string()
               : UsbDeviceNodePath(nBus, libusb_get_device_address(*itDevice));
}

std::unique_ptr<IPipe> CUsbBackend::OpenPipe(const std::string& strPipeName, int* pError)
{
    int nError = ENOENT;
    auto fail = [&]() -> std::unique_ptr<IPipe>
    {
        if (pError != nullptr)
        {
            *pError = nError;
        }
        return nullptr;
    };
    const bool bIn = EndsWith(strPipeName, READ_PIPE_SUFFIX);
    if (!bIn && !EndsWith(strPipeName, WRITE_PIPE_SUFFIX))
    {
        return fail();
    }
    const std::string strPath =
        strPipeName.substr(0, strPipeName.size() - std::strlen(READ_PIPE_SUFFIX));
    uint8_t nBus = 0;
    std::vector<uint8_t> ports;
    if (!ParseUsbPath(strPath, &nBus, &ports))
    {
        return fail();
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_connections, [](const auto& item) { return item.second.expired(); });
    if (std::shared_ptr<CUsbConnection> pShared = m_connections[strPath].lock())
    {
        return MakeUsbPipe(pShared, bIn);
    }
    std::shared_ptr<CContext> pContext = Context();
    if (!pContext)
    {
        nError = ENODEV;
        return fail();
    }
    CDeviceList devices(pContext->m_pContext);
    const auto itDevice = std::find_if(devices.begin(), devices.end(),
                                       [&](libusb_device* p) { return SamePlace(p, nBus, ports); });
    if (itDevice == devices.end())
    {
        return fail();
    }
    CConfigPtr pConfig = ActiveConfig(*itDevice);
    const auto itSeen = m_seen.find(strPath);
    const int nWanted = itSeen != m_seen.end() ? itSeen->second.m_nGuidInterface : -1;
    const CBulkPair pair = pConfig ? FindBulkInterface(*pConfig, nWanted, false) : CBulkPair{};
    if (pair.m_nInterface < 0)
    {
        return fail();
    }
    libusb_device_handle* pRaw = nullptr;
    int nResult = libusb_open(*itDevice, &pRaw);
    if (nResult != LIBUSB_SUCCESS)
    {
        nError = ErrnoFromLibusb(nResult);
        return fail();
    }
    CHandlePtr pHandle(pRaw);
    bool bDetached = false;
    if (libusb_kernel_driver_active(pRaw, pair.m_nInterface) == 1)
    {
        nResult = libusb_detach_kernel_driver(pRaw, pair.m_nInterface);
        if (nResult != LIBUSB_SUCCESS)
        {
            nError = ErrnoFromLibusb(nResult);
            return fail();
        }
        bDetached = true;
    }
    nResult = libusb_claim_interface(pRaw, pair.m_nInterface);
    if (nResult != LIBUSB_SUCCESS)
    {
        if (bDetached)
        {
            libusb_attach_kernel_driver(pRaw, pair.m_nInterface);
        }
        nError = ErrnoFromLibusb(nResult);
        return fail();
    }
    auto pConnection =
        std::make_shared<CUsbConnection>(pContext, pHandle.release(), pair, bDetached);
    m_connections[strPath] = pConnection;
    return MakeUsbPipe(pConnection, bIn);
}
