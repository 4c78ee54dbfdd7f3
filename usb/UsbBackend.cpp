#include "usb/UsbBackend.h"

#include "usb/UsbBoardIds.h"
#include "usb/UsbDescriptors.h"
#include "usb/UsbDevice.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace
{
constexpr unsigned CONTROL_TIMEOUT_MS = 1000;
// Longest single wait of a bulk transfer: how soon a stop is seen while a board is silent.
constexpr unsigned TRANSFER_SLICE_MS = 100;
constexpr uint8_t MS_OS_20_DESCRIPTOR_INDEX = 7;
constexpr uint8_t VENDOR_DEVICE_IN = 0xC0; // device to host, vendor request, to the device
constexpr auto INIT_RETRY_INTERVAL = std::chrono::seconds(2);

int ErrnoFromLibusb(int nResult)
{
    switch (nResult)
    {
    case LIBUSB_SUCCESS:
        return 0;
    case LIBUSB_ERROR_TIMEOUT:
        return ETIMEDOUT;
    case LIBUSB_ERROR_NO_DEVICE:
        return ENODEV;
    case LIBUSB_ERROR_ACCESS:
        return EACCES;
    case LIBUSB_ERROR_BUSY:
        return EBUSY;
    case LIBUSB_ERROR_NOT_FOUND:
        return ENOENT;
    case LIBUSB_ERROR_PIPE:
        return EPIPE;
    case LIBUSB_ERROR_OVERFLOW:
        return EOVERFLOW;
    case LIBUSB_ERROR_INTERRUPTED:
        return EINTR;
    case LIBUSB_ERROR_NO_MEM:
        return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return ENOTSUP;
    default:
        return EIO;
    }
}

bool EndsWith(const std::string& strText, const std::string& strSuffix)
{
    return strText.size() >= strSuffix.size() &&
           strText.compare(strText.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0;
}

struct CConfigDeleter
{
    void operator()(libusb_config_descriptor* pConfig) const
    {
        libusb_free_config_descriptor(pConfig);
    }
};
using CConfigPtr = std::unique_ptr<libusb_config_descriptor, CConfigDeleter>;

struct CHandleDeleter
{
    void operator()(libusb_device_handle* pHandle) const { libusb_close(pHandle); }
};
using CHandlePtr = std::unique_ptr<libusb_device_handle, CHandleDeleter>;

// A device list of libusb that holds a reference to each device while it lives.
class CDeviceList
{
public:
    explicit CDeviceList(libusb_context* pContext)
    {
        const ssize_t nCount = libusb_get_device_list(pContext, &m_ppDevices);
        m_nCount = nCount > 0 ? static_cast<size_t>(nCount) : 0;
    }
    ~CDeviceList()
    {
        if (m_ppDevices != nullptr)
        {
            libusb_free_device_list(m_ppDevices, 1);
        }
    }
    CDeviceList(const CDeviceList&) = delete;
    CDeviceList& operator=(const CDeviceList&) = delete;

    libusb_device* const* begin() const { return m_ppDevices; }
    libusb_device* const* end() const { return m_ppDevices + m_nCount; }

private:
    libusb_device** m_ppDevices = nullptr;
    size_t m_nCount = 0;
};

CConfigPtr ActiveConfig(libusb_device* pDevice)
{
    libusb_config_descriptor* pConfig = nullptr;
    if (libusb_get_active_config_descriptor(pDevice, &pConfig) != LIBUSB_SUCCESS &&
        libusb_get_config_descriptor(pDevice, 0, &pConfig) != LIBUSB_SUCCESS)
    {
        return nullptr;
    }
    return CConfigPtr(pConfig);
}

// The first bulk OUT and first bulk IN endpoint of one interface setting.
struct CBulkPair
{
    int m_nInterface = -1;
    uint8_t m_nOut = 0;
    uint16_t m_nOutPacket = 0;
    uint8_t m_nIn = 0;
    uint16_t m_nInPacket = 0;
};

CBulkPair BulkPairOf(const libusb_interface_descriptor& setting)
{
    CBulkPair pair;
    for (int i = 0; i < setting.bNumEndpoints; ++i)
    {
        const libusb_endpoint_descriptor& ep = setting.endpoint[i];
        if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
        {
            continue;
        }
        const uint16_t nPacket = static_cast<uint16_t>(ep.wMaxPacketSize & 0x7FF);
        if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0 && pair.m_nIn == 0)
        {
            pair.m_nIn = ep.bEndpointAddress;
            pair.m_nInPacket = nPacket;
        }
        else if ((ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) == 0 && pair.m_nOut == 0)
        {
            pair.m_nOut = ep.bEndpointAddress;
            pair.m_nOutPacket = nPacket;
        }
    }
    if (pair.m_nIn != 0 && pair.m_nOut != 0)
    {
        pair.m_nInterface = setting.bInterfaceNumber;
    }
    return pair;
}

// The bootloader interface: the one named by nWanted when it is >= 0, else the first one
// whose first setting has a bulk endpoint in each direction.
CBulkPair FindBulkInterface(const libusb_config_descriptor& config, int nWanted,
                            bool bVendorClassOnly)
{
    for (int i = 0; i < config.bNumInterfaces; ++i)
    {
        const libusb_interface& iface = config.interface[i];
        if (iface.num_altsetting < 1)
        {
            continue;
        }
        const libusb_interface_descriptor& setting = iface.altsetting[0];
        if ((nWanted >= 0 && setting.bInterfaceNumber != nWanted) ||
            (bVendorClassOnly && setting.bInterfaceClass != LIBUSB_CLASS_VENDOR_SPEC))
        {
            continue;
        }
        CBulkPair pair = BulkPairOf(setting);
        if (pair.m_nInterface >= 0)
        {
            return pair;
        }
    }
    return {};
}

std::string ReadString(libusb_device_handle* pHandle, uint8_t nIndex, uint16_t nLanguage)
{
    if (nIndex == 0)
    {
        return {};
    }
    unsigned char buffer[255];
    const int nLength = libusb_get_string_descriptor(pHandle, nIndex, nLanguage, buffer,
                                                     static_cast<int>(sizeof(buffer)));
    if (nLength < 2 || buffer[1] != LIBUSB_DT_STRING)
    {
        return {};
    }
    const size_t nUsed = std::min<size_t>(static_cast<size_t>(nLength), buffer[0]);
    return nUsed > 2 ? UsbStringToUtf8(buffer + 2, nUsed - 2) : std::string();
}

std::string ReadDescription(libusb_device_handle* pHandle, const libusb_device_descriptor& desc,
                            const std::string& strPath)
{
    std::string strProduct;
    std::string strManufacturer;
    unsigned char languages[255];
    const int nLength =
        libusb_get_string_descriptor(pHandle, 0, 0, languages, static_cast<int>(sizeof(languages)));
    if (nLength >= 4 && languages[1] == LIBUSB_DT_STRING)
    {
        const uint16_t nLanguage = static_cast<uint16_t>(languages[2] | (languages[3] << 8));
        strProduct = ReadString(pHandle, desc.iProduct, nLanguage);
        strManufacturer = ReadString(pHandle, desc.iManufacturer, nLanguage);
    }
    std::string strDescription =
        FormatUsbDescription(strProduct, strManufacturer, desc.idVendor, desc.idProduct, strPath);
    if (strDescription.size() > MAX_DESCRIPTION_LENGTH)
    {
        strDescription.resize(MAX_DESCRIPTION_LENGTH);
    }
    return strDescription;
}

// Only devices that could be boards are asked for their OS descriptors: USB 2.01 or later
// (they have a BOS) with a vendor-specific interface that has bulk endpoints both ways.
// Everything this looks at comes from the kernel's cached descriptors, not from the device.
bool MayDeclareBoardClass(libusb_device* pDevice, const libusb_device_descriptor& desc)
{
    if (desc.bcdUSB < 0x0201 || desc.bDeviceClass == LIBUSB_CLASS_HUB)
    {
        return false;
    }
    CConfigPtr pConfig = ActiveConfig(pDevice);
    return pConfig && FindBulkInterface(*pConfig, -1, true).m_nInterface >= 0;
}

// -2 when the device does not declare the board's interface class (or cannot be asked);
// otherwise as MsOs20InterfaceForGuid.
int ProbeBoardClass(libusb_device* pDevice)
{
    libusb_device_handle* pRaw = nullptr;
    if (libusb_open(pDevice, &pRaw) != LIBUSB_SUCCESS)
    {
        return -2;
    }
    CHandlePtr pHandle(pRaw);
    uint8_t header[5];
    if (libusb_get_descriptor(pRaw, LIBUSB_DT_BOS, 0, header, sizeof(header)) != 5)
    {
        return -2;
    }
    const uint16_t nBosLength = static_cast<uint16_t>(header[2] | (header[3] << 8));
    std::vector<uint8_t> bos(nBosLength);
    const int nBos = libusb_get_descriptor(pRaw, LIBUSB_DT_BOS, 0, bos.data(), nBosLength);
    if (nBos < 5)
    {
        return -2;
    }
    const auto location = FindMsOs20Capability(bos.data(), static_cast<size_t>(nBos));
    if (!location)
    {
        return -2;
    }
    std::vector<uint8_t> set(location->m_nSetLength);
    const int nSet = libusb_control_transfer(pRaw, VENDOR_DEVICE_IN, location->m_nVendorCode, 0,
                                             MS_OS_20_DESCRIPTOR_INDEX, set.data(),
                                             location->m_nSetLength, CONTROL_TIMEOUT_MS);
    if (nSet <= 0)
    {
        return -2;
    }
    const auto nInterface =
        MsOs20InterfaceForGuid(set.data(), static_cast<size_t>(nSet), GUID_DEVINTERFACE_BOOTLOADER);
    return nInterface ? *nInterface : -2;
}

bool SamePlace(libusb_device* pDevice, uint8_t nBus, const std::vector<uint8_t>& ports)
{
    uint8_t devicePorts[8];
    const int nPorts = libusb_get_port_numbers(pDevice, devicePorts, sizeof(devicePorts));
    return libusb_get_bus_number(pDevice) == nBus && nPorts > 0 &&
           std::equal(devicePorts, devicePorts + nPorts, ports.begin(), ports.end());
}
} // namespace

// libusb's context, ended by the process that started it. A child made by fork() has none of
// libusb's threads, so if it exits normally it must leave the context alone.
struct CUsbBackend::CContext
{
    libusb_context* m_pContext = nullptr;
    pid_t m_nOwner = getpid();
    ~CContext()
    {
        if (m_pContext != nullptr && getpid() == m_nOwner)
        {
            libusb_exit(m_pContext);
        }
    }
};

// One opened board with its bootloader interface claimed, shared by its two pipes.
class CUsbConnection
{
public:
    CUsbConnection(std::shared_ptr<void> pContext, libusb_device_handle* pHandle,
                   const CBulkPair& pair, bool bDetached)
        : m_pContext(std::move(pContext)), m_pHandle(pHandle), m_pair(pair), m_bDetached(bDetached)
    {
    }
    ~CUsbConnection()
    {
        libusb_release_interface(m_pHandle, m_pair.m_nInterface);
        if (m_bDetached)
        {
            libusb_attach_kernel_driver(m_pHandle, m_pair.m_nInterface);
        }
        libusb_close(m_pHandle);
    }
    CUsbConnection(const CUsbConnection&) = delete;
    CUsbConnection& operator=(const CUsbConnection&) = delete;

    libusb_device_handle* Handle() const { return m_pHandle; }
    const CBulkPair& Endpoints() const { return m_pair; }

private:
    std::shared_ptr<void> m_pContext; // keeps libusb running while the board is open
    libusb_device_handle* m_pHandle;
    CBulkPair m_pair;
    bool m_bDetached;
};

namespace
{
// One direction of an opened board. Reads ask the device for whole packets: bytes of a packet
// beyond what the caller asked for are kept for the next read, so no byte the board sent is lost.
class CUsbPipe : public IPipe
{
public:
    CUsbPipe(std::shared_ptr<CUsbConnection> pConnection, bool bIn)
        : m_pConnection(std::move(pConnection)), m_bIn(bIn)
    {
        const CBulkPair& pair = m_pConnection->Endpoints();
        m_nEndpoint = bIn ? pair.m_nIn : pair.m_nOut;
        m_nMaxPacket = std::max<uint16_t>(1, bIn ? pair.m_nInPacket : pair.m_nOutPacket);
    }

    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        return ReadAfterSilence(pBuffer, nCount, pProgress, std::chrono::steady_clock::now());
    }

    uint32_t ReadAfterSilence(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress,
                              std::chrono::steady_clock::time_point silentSince) override
    {
        m_nError = 0;
        m_lastProgress = silentSince;
        if (!m_bIn)
        {
            m_nError = EBADF;
            return 0;
        }
        if (pBuffer == nullptr || nCount == 0)
        {
            return 0;
        }
        auto* pBytes = static_cast<uint8_t*>(pBuffer);
        uint32_t nDone = TakeSpare(pBytes, nCount);
        while (nDone < nCount)
        {
            const uint32_t nRemaining = nCount - nDone;
            const bool bDirect = nRemaining >= m_nMaxPacket;
            uint8_t* pTarget = pBytes + nDone;
            uint32_t nAsk = UsbPieceSize(nRemaining, m_nMaxPacket);
            if (!bDirect)
            {
                m_spare.assign(m_nMaxPacket, 0);
                m_nSpareAt = m_nSpareEnd = 0;
                pTarget = m_spare.data();
                nAsk = m_nMaxPacket;
            }
            int nGot = 0;
            const int nResult = Transfer(pTarget, nAsk, &nGot);
            if (bDirect)
            {
                nDone += static_cast<uint32_t>(nGot);
            }
            else
            {
                m_nSpareEnd = static_cast<size_t>(nGot);
                nDone += TakeSpare(pBytes + nDone, nRemaining);
            }
            if (!Continue(nResult, nGot, nDone, nCount, pProgress))
            {
                break;
            }
        }
        return nDone;
    }

    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        m_nError = 0;
        if (m_bIn)
        {
            m_nError = EBADF;
            return 0;
        }
        if (pBuffer == nullptr || nCount == 0)
        {
            return 0;
        }
        m_lastProgress = std::chrono::steady_clock::now();
        // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
        auto* pBytes = static_cast<uint8_t*>(const_cast<void*>(pBuffer));
        uint32_t nDone = 0;
        while (nDone < nCount)
        {
            int nGot = 0;
            const int nResult =
                Transfer(pBytes + nDone, UsbPieceSize(nCount - nDone, m_nMaxPacket), &nGot);
            nDone += static_cast<uint32_t>(nGot);
            if (!Continue(nResult, nGot, nDone, nCount, pProgress))
            {
                break;
            }
        }
        return nDone;
    }

    int LastError() const override { return m_nError; }

private:
    // One piece, waited for in slices so that the pipe layer's stop is seen soon: a slice
    // that moved nothing while time is left is made again; the inactivity time-out counts from
    // the last piece that moved bytes.
    int Transfer(uint8_t* pData, uint32_t nSize, int* pnGot)
    {
        for (;;)
        {
            *pnGot = 0;
            if (PipeCancelRaised())
            {
                return LIBUSB_ERROR_INTERRUPTED;
            }
            const int nLeftMs = RemainingPipeWaitMs(m_lastProgress);
            if (nLeftMs == 0)
            {
                return LIBUSB_ERROR_TIMEOUT;
            }
            const unsigned nSliceMs =
                nLeftMs < 0 ? TRANSFER_SLICE_MS : std::min<unsigned>(nLeftMs, TRANSFER_SLICE_MS);
            const int nResult = libusb_bulk_transfer(m_pConnection->Handle(), m_nEndpoint, pData,
                                                     static_cast<int>(nSize), pnGot, nSliceMs);
            if (*pnGot > 0)
            {
                m_lastProgress = std::chrono::steady_clock::now();
            }
            if (nResult == LIBUSB_ERROR_TIMEOUT && *pnGot == 0)
            {
                continue;
            }
            if (nResult == LIBUSB_ERROR_PIPE)
            {
                // A stalled endpoint stays stalled until cleared; clear it so the next command
                // starts clean, and report this one.
                libusb_clear_halt(m_pConnection->Handle(), m_nEndpoint);
            }
            return nResult;
        }
    }

    // Whether to go on after a piece. A time-out that still moved bytes is progress: the
    // inactivity time-out starts again.
    bool Continue(int nResult, int nGot, uint32_t nDone, uint32_t nCount,
                  const PipeProgress* pProgress)
    {
        if (nResult != LIBUSB_SUCCESS && !(nResult == LIBUSB_ERROR_TIMEOUT && nGot > 0))
        {
            m_nError = PipeCancelRaised() ? ECANCELED : ErrnoFromLibusb(nResult);
            return false;
        }
        if (pProgress != nullptr && !(*pProgress)(nDone, nCount) && nDone < nCount)
        {
            m_nError = ECANCELED;
            return false;
        }
        return true;
    }

    uint32_t TakeSpare(uint8_t* pTarget, uint32_t nWanted)
    {
        const size_t nTake = std::min<size_t>(nWanted, m_nSpareEnd - m_nSpareAt);
        if (nTake > 0)
        {
            std::memcpy(pTarget, m_spare.data() + m_nSpareAt, nTake);
            m_nSpareAt += nTake;
        }
        return static_cast<uint32_t>(nTake);
    }

    std::shared_ptr<CUsbConnection> m_pConnection;
    bool m_bIn;
    uint8_t m_nEndpoint = 0;
    uint16_t m_nMaxPacket = 1;
    std::vector<uint8_t> m_spare;
    size_t m_nSpareAt = 0;
    size_t m_nSpareEnd = 0;
    int m_nError = 0;
    std::chrono::steady_clock::time_point m_lastProgress;
};

int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device*, libusb_hotplug_event, void* pUser)
{
    // Runs inside libusb's event handling: only note it, the event thread reports it.
    static_cast<std::atomic<bool>*>(pUser)->store(true);
    return 0;
}
} // namespace

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
    if (getpid() != m_pContext->m_nOwner)
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
            found.push_back({place, CInterfaceEntry{true, strPath, true, entry.m_strDescription}});
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

std::vector<std::string> CUsbBackend::AccessProblems(bool bWait)
{
    const auto grace = std::chrono::milliseconds(USB_ACCESS_GRACE_MS);
    for (;;)
    {
        ListInterfaces(); // opens again whatever was refused before
        std::vector<std::string> problems;
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
                problems.push_back(
                    "A board is attached (USB " +
                    FormatUsbBoardId({seen.m_nVendor, seen.m_nProduct}) + " at " +
                    strPath.substr(std::strlen(USB_PATH_PREFIX)) +
                    ") but this user may not open it. Install the udev rule " + USB_UDEV_RULE_PATH +
                    " (the Quillon package does), then unplug the board and plug it in again; "
                    "the rule gives access to the user logged in at the computer itself and to "
                    "the group plugdev (for SSH or a build runner: adduser USER plugdev, then "
                    "log in again).");
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
        return std::make_unique<CUsbPipe>(pShared, bIn);
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
    return std::make_unique<CUsbPipe>(pConnection, bIn);
}
