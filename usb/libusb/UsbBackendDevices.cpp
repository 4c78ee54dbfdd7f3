// Finding boards among libusb's devices: the bootloader interface by its descriptors, the
// board's interface class from its Microsoft OS 2.0 or 1.0 descriptors, and the name the user
// sees.

#include "usb/libusb/UsbBackendLibusb.h"

#include "usb/UsbDevice.h"
#include "usb/libusb/UsbDescriptors.h"

#include <algorithm>
#include <cerrno>

namespace
{
constexpr unsigned CONTROL_TIMEOUT_MS = 1000;
constexpr uint8_t MS_OS_20_DESCRIPTOR_INDEX = 7;
constexpr uint8_t VENDOR_DEVICE_IN = 0xC0;    // device to host, vendor request, to the device
constexpr uint8_t VENDOR_INTERFACE_IN = 0xC1; // the same, to an interface
// Extended properties longer than this are not read: a board's are a few hundred bytes.
constexpr size_t MAX_OS_10_PROPERTIES = 4096;
} // namespace

namespace UsbLibusb
{
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

namespace
{
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
} // namespace

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

namespace
{
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
} // namespace

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

bool MayDeclareBoardClass(libusb_device* pDevice, const libusb_device_descriptor& desc)
{
    if (desc.bcdUSB < 0x0200 || desc.bDeviceClass == LIBUSB_CLASS_HUB)
    {
        return false;
    }
    CConfigPtr pConfig = ActiveConfig(pDevice);
    return pConfig && FindBulkInterface(*pConfig, -1, true).m_nInterface >= 0;
}

namespace
{
// Microsoft OS 2.0 descriptors, from a device of USB 2.01 or later: -2 when they declare no
// board, else as MsOs20InterfaceForGuid.
int ProbeMsOs20(libusb_device_handle* pRaw)
{
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

// Microsoft OS 1.0 descriptors, which Linux gadgets give: the OS string, then the extended
// properties of the first vendor-specific interface with bulk endpoints both ways. -2 when they
// declare no board, else that interface.
int ProbeMsOs10(libusb_device_handle* pRaw, const libusb_config_descriptor& config)
{
    uint8_t osString[18];
    const int nString =
        libusb_get_string_descriptor(pRaw, MS_OS_10_STRING_INDEX, 0, osString, sizeof(osString));
    const auto nVendorCode =
        nString > 0 ? ParseMsOs10String(osString, static_cast<size_t>(nString)) : std::nullopt;
    if (!nVendorCode)
    {
        return -2;
    }
    const CBulkPair pair = FindBulkInterface(config, -1, true);
    if (pair.m_nInterface < 0)
    {
        return -2;
    }
    // The header first for the whole length, then the whole.
    std::vector<uint8_t> properties(10);
    const auto ask = [&]()
    {
        return libusb_control_transfer(
            pRaw, VENDOR_INTERFACE_IN, *nVendorCode, static_cast<uint16_t>(pair.m_nInterface),
            MS_OS_10_EXTENDED_PROPERTIES, properties.data(),
            static_cast<uint16_t>(properties.size()), CONTROL_TIMEOUT_MS);
    };
    int nGot = ask();
    if (nGot < 10)
    {
        return -2;
    }
    const size_t nLength =
        std::min<size_t>(properties[0] | properties[1] << 8 | properties[2] << 16 |
                             static_cast<size_t>(properties[3]) << 24,
                         MAX_OS_10_PROPERTIES);
    if (nLength > properties.size())
    {
        properties.resize(nLength);
        nGot = ask();
    }
    return nGot >= 10 && MsOs10PropertiesDeclareGuid(properties.data(), static_cast<size_t>(nGot),
                                                     GUID_DEVINTERFACE_BOOTLOADER)
               ? pair.m_nInterface
               : -2;
}
} // namespace

int ProbeBoardClass(libusb_device* pDevice)
{
    libusb_device_descriptor desc{};
    CConfigPtr pConfig = ActiveConfig(pDevice);
    libusb_device_handle* pRaw = nullptr;
    if (libusb_get_device_descriptor(pDevice, &desc) != LIBUSB_SUCCESS || !pConfig ||
        libusb_open(pDevice, &pRaw) != LIBUSB_SUCCESS)
    {
        return -2;
    }
    CHandlePtr pHandle(pRaw);
    const int nInterface = desc.bcdUSB >= 0x0201 ? ProbeMsOs20(pRaw) : -2;
    return nInterface != -2 ? nInterface : ProbeMsOs10(pRaw, *pConfig);
}

bool SamePlace(libusb_device* pDevice, uint8_t nBus, const std::vector<uint8_t>& ports)
{
    uint8_t devicePorts[8];
    const int nPorts = libusb_get_port_numbers(pDevice, devicePorts, sizeof(devicePorts));
    return libusb_get_bus_number(pDevice) == nBus && nPorts > 0 &&
           std::equal(devicePorts, devicePorts + nPorts, ports.begin(), ports.end());
}
} // namespace UsbLibusb
