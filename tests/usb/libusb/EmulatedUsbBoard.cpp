#include "EmulatedUsbBoard.h"

#include "usb/UsbDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/usbdevice_fs.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr uint8_t MS_VENDOR_CODE = 0x20;
constexpr uint16_t MS_OS_20_DESCRIPTOR_INDEX = 7;

void Put16(std::vector<uint8_t>* pOut, uint16_t nValue)
{
    pOut->push_back(static_cast<uint8_t>(nValue & 0xFF));
    pOut->push_back(static_cast<uint8_t>(nValue >> 8));
}

void PutUtf16(std::vector<uint8_t>* pOut, const std::string& strText)
{
    for (char ch : strText)
    {
        Put16(pOut, static_cast<uint8_t>(ch));
    }
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string strText;
    char szByte[3];
    for (uint8_t nByte : bytes)
    {
        std::snprintf(szByte, sizeof(szByte), "%02x", nByte);
        strText += szByte;
    }
    return strText;
}

std::vector<uint8_t> DeviceDescriptor(const CEmulatedBoardSetup& setup, bool bHub)
{
    std::vector<uint8_t> out = {18, 1};
    Put16(&out, setup.m_bMsOs20 ? 0x0210 : 0x0200);
    out.insert(out.end(), {static_cast<uint8_t>(bHub ? 9 : 0), 0, 0, 64});
    Put16(&out, bHub ? 0x1d6b : setup.m_nVendor);
    Put16(&out, bHub ? 0x0002 : setup.m_nProduct);
    Put16(&out, 0x0100);
    out.push_back(setup.m_strManufacturer.empty() || bHub ? 0 : 1);
    out.push_back(setup.m_strProduct.empty() || bHub ? 0 : 2);
    out.insert(out.end(), {0, 1});
    return out;
}

std::vector<uint8_t> ConfigDescriptor(const CEmulatedBoardSetup& setup, bool bHub)
{
    if (bHub)
    {
        return {9, 2, 25, 0, 1, 1, 0, 0xE0, 0, 9, 4, 0, 0, 1, 9, 0, 0, 0, 7, 5, 0x81, 3, 4, 0, 12};
    }
    std::vector<uint8_t> out = {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 0xFF, 0, 0, 0};
    for (uint8_t nEndpoint : {uint8_t{0x01}, uint8_t{0x81}})
    {
        out.insert(out.end(), {7, 5, nEndpoint, 2});
        Put16(&out, setup.m_nMaxPacket);
        out.push_back(0);
    }
    return out;
}

std::vector<uint8_t> MsOs20Set()
{
    std::vector<uint8_t> compatible = {20, 0, 3, 0, 'W', 'I', 'N', 'U', 'S', 'B',
                                       0,  0, 0, 0, 0,   0,   0,   0,   0,   0};
    std::vector<uint8_t> name;
    PutUtf16(&name, "DeviceInterfaceGUIDs");
    Put16(&name, 0);
    std::vector<uint8_t> value;
    PutUtf16(&value, GUID_DEVINTERFACE_BOOTLOADER);
    Put16(&value, 0);
    Put16(&value, 0);
    std::vector<uint8_t> property;
    Put16(&property, static_cast<uint16_t>(10 + name.size() + value.size()));
    Put16(&property, 4);
    Put16(&property, 7); // REG_MULTI_SZ
    Put16(&property, static_cast<uint16_t>(name.size()));
    property.insert(property.end(), name.begin(), name.end());
    Put16(&property, static_cast<uint16_t>(value.size()));
    property.insert(property.end(), value.begin(), value.end());

    std::vector<uint8_t> set = {10, 0, 0, 0, 0, 0, 3, 6};
    Put16(&set, static_cast<uint16_t>(10 + compatible.size() + property.size()));
    set.insert(set.end(), compatible.begin(), compatible.end());
    set.insert(set.end(), property.begin(), property.end());
    return set;
}

std::vector<uint8_t> BosDescriptor()
{
    std::vector<uint8_t> out = {5,    0x0F, 33,   0,    1,    28,   0x10, 5,    0,    0xDF,
                                0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65,
                                0x9D, 0x9E, 0x64, 0x8A, 0x9F, 0,    0,    3,    6};
    Put16(&out, static_cast<uint16_t>(MsOs20Set().size()));
    out.push_back(MS_VENDOR_CODE);
    out.push_back(0);
    return out;
}
} // namespace

bool RunningUnderUmockdev(int argc, char** argv)
{
    const char* pszPreload = std::getenv("LD_PRELOAD");
    if (pszPreload != nullptr && std::strstr(pszPreload, "libumockdev-preload") != nullptr)
    {
        return true;
    }
    if (std::getenv("QUILLON_UMOCKDEV_RESTARTED") != nullptr)
    {
        return false;
    }
    setenv("QUILLON_UMOCKDEV_RESTARTED", "1", 1);
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer wants to be the first library; umockdev's comes first here.
    const char* pszAsan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS",
           (std::string(pszAsan != nullptr ? pszAsan : "") + ":verify_asan_link_order=0").c_str(),
           1);
#endif
    std::vector<char*> args{const_cast<char*>("umockdev-wrapper")};
    args.insert(args.end(), argv, argv + argc);
    args.push_back(nullptr);
    execvp("umockdev-wrapper", args.data());
    return false;
}

struct CEmulatedUsbBoard::CUrb
{
    UMockdevIoctlData* m_pUrb = nullptr;    // the client's struct usbdevfs_urb
    UMockdevIoctlData* m_pBuffer = nullptr; // its data buffer
    size_t m_nMoved = 0;
    int m_nStatus = 0;

    ~CUrb()
    {
        if (m_pBuffer != nullptr)
        {
            g_object_unref(m_pBuffer);
        }
        if (m_pUrb != nullptr)
        {
            g_object_unref(m_pUrb);
        }
    }
    usbdevfs_urb* Urb() const { return reinterpret_cast<usbdevfs_urb*>(m_pUrb->data); }
    uint8_t* Data() const { return m_pBuffer->data; }
    size_t Length() const { return static_cast<size_t>(Urb()->buffer_length); }
};

CUsbTestbed::CUsbTestbed()
{
    m_pTestbed = umockdev_testbed_new();
    gchar* pszRoot = umockdev_testbed_get_root_dir(m_pTestbed);
    m_strRoot = pszRoot;
    g_free(pszRoot);
    const CEmulatedBoardSetup hub;
    const std::string strHub =
        "P: /devices/usb1\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
        "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=001\nE: DEVNAME=/dev/bus/usb/001/001\n"
        "A: busnum=1\\n\nA: devnum=1\\n\nA: bConfigurationValue=1\\n\nA: speed=480\\n\n"
        "H: descriptors=" +
        Hex(DeviceDescriptor(hub, true)) + Hex(ConfigDescriptor(hub, true)) + "\n";
    if (!umockdev_testbed_add_from_string(m_pTestbed, strHub.c_str(), nullptr))
    {
        throw std::runtime_error("cannot add the root hub to the testbed");
    }
}

CUsbTestbed::~CUsbTestbed()
{
    g_object_unref(m_pTestbed);
}

CEmulatedUsbBoard::CEmulatedUsbBoard(CUsbTestbed& testbed, CEmulatedBoardSetup setup)
    : m_testbed(testbed), m_setup(std::move(setup)), m_core(m_setup.m_settings)
{
    m_pHandler = umockdev_ioctl_base_new();
    g_signal_connect(m_pHandler, "handle-ioctl", G_CALLBACK(&CEmulatedUsbBoard::OnIoctl), this);
}

CEmulatedUsbBoard::~CEmulatedUsbBoard()
{
    Unplug();
    g_object_unref(m_pHandler);
}

std::string CEmulatedUsbBoard::NodePath() const
{
    char szNode[32];
    std::snprintf(szNode, sizeof(szNode), "/dev/bus/usb/001/%03u", m_nAddress);
    return szNode;
}

std::string CEmulatedUsbBoard::InterfacePath() const
{
    return "usb:1-" + std::to_string(m_setup.m_nPort);
}

std::string CEmulatedUsbBoard::DeviceText() const
{
    char szAddress[4];
    std::snprintf(szAddress, sizeof(szAddress), "%03u", m_nAddress);
    const std::string strName = "1-" + std::to_string(m_setup.m_nPort);
    return "P: /devices/usb1/" + strName + "\nN: " + NodePath().substr(5) +
           "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=" +
           szAddress + "\nE: DEVNAME=" + NodePath() +
           "\nA: busnum=1\\n\nA: devnum=" + std::to_string(m_nAddress) +
           "\\n\nA: bConfigurationValue=1\\n\nA: speed=" +
           (m_setup.m_nMaxPacket >= 512 ? "480" : "12") +
           "\\n\nH: descriptors=" + Hex(DeviceDescriptor(m_setup, false)) +
           Hex(ConfigDescriptor(m_setup, false)) + "\n";
}

void CEmulatedUsbBoard::Plug()
{
    if (m_bPlugged)
    {
        return;
    }
    m_nAddress = m_testbed.NextAddress();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bGone = false;
        m_core.Reset();
    }
    // The handler first, so the device answers from the moment its "add" event is seen.
    if (!umockdev_testbed_attach_ioctl(m_testbed.Get(), NodePath().c_str(), m_pHandler, nullptr))
    {
        throw std::runtime_error("cannot attach the board's ioctl handler");
    }
    if (!umockdev_testbed_add_from_string(m_testbed.Get(), DeviceText().c_str(), nullptr))
    {
        throw std::runtime_error("cannot add the board to the testbed");
    }
    m_strSysPath = "/sys/devices/usb1/1-" + std::to_string(m_setup.m_nPort);
    m_bPlugged = true;
}

void CEmulatedUsbBoard::Unplug()
{
    if (!m_bPlugged)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bGone = true;
    }
    // The "remove" event carries the bus and address that libusb needs to forget the device, so
    // it goes out while the device's entries still exist.
    umockdev_testbed_uevent(m_testbed.Get(), m_strSysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed.Get(), m_strSysPath.c_str());
    umockdev_testbed_detach_ioctl(m_testbed.Get(), NodePath().c_str(), nullptr);
    m_bPlugged = false;
}

void CEmulatedUsbBoard::SetNodeMode(mode_t nMode)
{
    const std::string strNode = m_testbed.RootDir() + NodePath();
    if (::chmod(strNode.c_str(), nMode) != 0)
    {
        throw std::runtime_error("cannot change the mode of " + strNode);
    }
}

std::vector<uint8_t> CEmulatedUsbBoard::HostBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hostBytes;
}

std::vector<uint8_t> CEmulatedUsbBoard::BoardBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_boardBytes;
}

void CEmulatedUsbBoard::ClearLogs()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hostBytes.clear();
    m_boardBytes.clear();
}

std::vector<uint8_t> CEmulatedUsbBoard::Memory() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& memory = const_cast<Bootloader::CBootloaderCore&>(m_core).Memory();
    return std::vector<uint8_t>(memory.Data(), memory.Data() + memory.Size());
}

bool CEmulatedUsbBoard::UnpluggedByFault() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_core.Unplugged();
}

void CEmulatedUsbBoard::HaltIn()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bInHalted = true;
}

gboolean CEmulatedUsbBoard::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* pClient,
                                    gpointer pSelf)
{
    return static_cast<CEmulatedUsbBoard*>(pSelf)->HandleIoctl(pClient) ? TRUE : FALSE;
}

bool CEmulatedUsbBoard::HandleIoctl(UMockdevIoctlClient* pClient)
{
    const unsigned long nRequest = umockdev_ioctl_client_get_request(pClient);
    UMockdevIoctlData* pArg = umockdev_ioctl_client_get_arg(pClient);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bGone && nRequest != USBDEVFS_REAPURB && nRequest != USBDEVFS_REAPURBNDELAY)
    {
        umockdev_ioctl_client_complete(pClient, -1, ENODEV);
        return true;
    }
    switch (nRequest)
    {
    case USBDEVFS_GET_CAPABILITIES:
    {
        UMockdevIoctlData* pCaps = umockdev_ioctl_data_resolve(pArg, 0, sizeof(uint32_t), nullptr);
        // Scatter-gather: libusb hands each bulk transfer over as one URB, as on current kernels.
        const uint32_t nCaps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                               USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                               USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(pCaps->data, &nCaps, sizeof(nCaps));
        umockdev_ioctl_client_complete(pClient, 0, 0);
        g_object_unref(pCaps);
        return true;
    }
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(pClient, -1, ENODATA);
        return true;
    case USBDEVFS_CLEAR_HALT:
    {
        UMockdevIoctlData* pEndpoint =
            umockdev_ioctl_data_resolve(pArg, 0, sizeof(unsigned int), nullptr);
        unsigned int nEndpoint = 0;
        std::memcpy(&nEndpoint, pEndpoint->data, sizeof(nEndpoint));
        if ((nEndpoint & 0x80) != 0)
        {
            m_bInHalted = false;
        }
        umockdev_ioctl_client_complete(pClient, 0, 0);
        g_object_unref(pEndpoint);
        return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETCONFIGURATION:
        umockdev_ioctl_client_complete(pClient, 0, 0);
        return true;
    case USBDEVFS_SUBMITURB:
        SubmitUrb(pClient, pArg);
        return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        ReapUrb(pClient, pArg);
        return true;
    case USBDEVFS_DISCARDURB:
        DiscardUrb(pClient, pArg);
        return true;
    default:
        return false;
    }
}

void CEmulatedUsbBoard::SubmitUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    auto pUrb = std::make_shared<CUrb>();
    pUrb->m_pUrb = umockdev_ioctl_data_resolve(pArg, 0, sizeof(usbdevfs_urb), nullptr);
    pUrb->m_pBuffer =
        umockdev_ioctl_data_resolve(pUrb->m_pUrb, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                    static_cast<gsize>(pUrb->Urb()->buffer_length), nullptr);
    usbdevfs_urb* pRaw = pUrb->Urb();
    if (pRaw->type == USBDEVFS_URB_TYPE_CONTROL && pUrb->Length() >= 8)
    {
        const std::vector<uint8_t> reply = ControlReply(pUrb->Data());
        const uint16_t nAsked = static_cast<uint16_t>(pUrb->Data()[6] | (pUrb->Data()[7] << 8));
        const size_t nReply = std::min<size_t>({reply.size(), nAsked, pUrb->Length() - 8});
        if (nReply > 0) // a stalled request has no reply, and no buffer to copy from
        {
            std::memcpy(pUrb->Data() + 8, reply.data(), nReply);
        }
        pUrb->m_nMoved = nReply;
        const bool bIn = (pUrb->Data()[0] & 0x80) != 0;
        if (bIn && reply.empty())
        {
            pUrb->m_nStatus = -EPIPE; // a request the board does not know: stall
        }
        m_done.push_back(pUrb);
    }
    else if (pRaw->type == USBDEVFS_URB_TYPE_BULK)
    {
        ((pRaw->endpoint & 0x80) != 0 ? m_waitingIn : m_waitingOut).push_back(pUrb);
        Pump();
    }
    else
    {
        umockdev_ioctl_client_complete(pClient, -1, EINVAL);
        return;
    }
    umockdev_ioctl_client_complete(pClient, 0, 0);
}

void CEmulatedUsbBoard::ReapUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    if (!m_bGone)
    {
        Pump();
    }
    if (m_done.empty())
    {
        umockdev_ioctl_client_complete(pClient, -1, m_bGone ? ENODEV : EAGAIN);
        return;
    }
    std::shared_ptr<CUrb> pUrb = m_done.front();
    m_done.pop_front();
    pUrb->Urb()->status = pUrb->m_nStatus;
    pUrb->Urb()->actual_length = static_cast<int>(pUrb->m_nMoved);
    UMockdevIoctlData* pPointer = umockdev_ioctl_data_resolve(pArg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(pPointer, 0, pUrb->m_pUrb);
    umockdev_ioctl_client_complete(pClient, 0, 0);
    g_object_unref(pPointer);
}

void CEmulatedUsbBoard::DiscardUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    // The argument is the URB's address itself, not a pointer to it.
    gulong nAddress = 0;
    std::memcpy(&nAddress, pArg->data, sizeof(nAddress));
    for (auto* pQueue : {&m_waitingIn, &m_waitingOut})
    {
        const auto it =
            std::find_if(pQueue->begin(), pQueue->end(),
                         [&](const auto& pUrb) { return pUrb->m_pUrb->client_addr == nAddress; });
        if (it != pQueue->end())
        {
            (*it)->m_nStatus = -ENOENT;
            m_done.push_back(*it);
            pQueue->erase(it);
            umockdev_ioctl_client_complete(pClient, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(pClient, -1, EINVAL);
}

void CEmulatedUsbBoard::Pump()
{
    bool bProgress = true;
    while (bProgress && !m_bGone)
    {
        bProgress = false;
        const auto now = Bootloader::Clock::now();
        while (!m_waitingOut.empty())
        {
            CUrb& urb = *m_waitingOut.front();
            while (urb.m_nMoved < urb.Length())
            {
                std::span<uint8_t> space = m_core.InputSpace(now);
                const size_t nTake = std::min(space.size(), urb.Length() - urb.m_nMoved);
                if (nTake == 0)
                {
                    break;
                }
                std::memcpy(space.data(), urb.Data() + urb.m_nMoved, nTake);
                m_hostBytes.insert(m_hostBytes.end(), urb.Data() + urb.m_nMoved,
                                   urb.Data() + urb.m_nMoved + nTake);
                m_core.InputDone(nTake, now);
                urb.m_nMoved += nTake;
                bProgress = true;
            }
            if (urb.m_nMoved < urb.Length())
            {
                break;
            }
            m_done.push_back(m_waitingOut.front());
            m_waitingOut.pop_front();
        }
        // A halted endpoint answers every transfer with a stall.
        while (m_bInHalted && !m_waitingIn.empty())
        {
            m_waitingIn.front()->m_nStatus = -EPIPE;
            m_done.push_back(m_waitingIn.front());
            m_waitingIn.pop_front();
        }
        // An IN transfer ends with whatever the board has ready: it sends it as a short packet.
        while (!m_waitingIn.empty())
        {
            CUrb& urb = *m_waitingIn.front();
            while (urb.m_nMoved < urb.Length())
            {
                std::span<const uint8_t> output = m_core.Output(now);
                const size_t nGive = std::min(output.size(), urb.Length() - urb.m_nMoved);
                if (nGive == 0)
                {
                    break;
                }
                std::memcpy(urb.Data() + urb.m_nMoved, output.data(), nGive);
                m_boardBytes.insert(m_boardBytes.end(), output.begin(), output.begin() + nGive);
                m_core.OutputDone(nGive, now);
                urb.m_nMoved += nGive;
                bProgress = true;
            }
            if (urb.m_nMoved == 0)
            {
                break;
            }
            m_done.push_back(m_waitingIn.front());
            m_waitingIn.pop_front();
        }
        if (m_core.Unplugged())
        {
            // Pulled out: what was in flight ends as the kernel ends it, then the node is dead.
            m_bGone = true;
            for (auto* pQueue : {&m_waitingIn, &m_waitingOut})
            {
                for (auto& pUrb : *pQueue)
                {
                    pUrb->m_nStatus = -ESHUTDOWN;
                    m_done.push_back(pUrb);
                }
                pQueue->clear();
            }
        }
    }
}

std::vector<uint8_t> CEmulatedUsbBoard::ControlReply(const uint8_t* pSetup)
{
    const uint8_t nType = pSetup[0];
    const uint8_t nRequest = pSetup[1];
    const uint16_t nValue = static_cast<uint16_t>(pSetup[2] | (pSetup[3] << 8));
    const uint16_t nIndex = static_cast<uint16_t>(pSetup[4] | (pSetup[5] << 8));
    if (nType == 0x80 && nRequest == 6)
    {
        const uint8_t nDescriptor = static_cast<uint8_t>(nValue >> 8);
        const uint8_t nNumber = static_cast<uint8_t>(nValue & 0xFF);
        if (nDescriptor == 1)
        {
            return DeviceDescriptor(m_setup, false);
        }
        if (nDescriptor == 2)
        {
            return ConfigDescriptor(m_setup, false);
        }
        if (nDescriptor == 0x0F && m_setup.m_bMsOs20)
        {
            return BosDescriptor();
        }
        if (nDescriptor == 3)
        {
            std::vector<uint8_t> out = {0, 3};
            if (nNumber == 0)
            {
                Put16(&out, 0x0409);
            }
            else if (nNumber == 1 || nNumber == 2)
            {
                PutUtf16(&out, nNumber == 1 ? m_setup.m_strManufacturer : m_setup.m_strProduct);
            }
            else
            {
                return {};
            }
            out[0] = static_cast<uint8_t>(out.size());
            return out;
        }
        return {};
    }
    if (nType == 0xC0 && nRequest == MS_VENDOR_CODE && nIndex == MS_OS_20_DESCRIPTOR_INDEX &&
        m_setup.m_bMsOs20)
    {
        return MsOs20Set();
    }
    return {};
}
