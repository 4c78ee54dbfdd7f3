#pragma once
// The libusb pieces the USB backend's files share: owners of libusb's handles, the search for
// a board's bootloader interface, and the pipe over an opened board. Only usb/UsbBackend*.cpp
// include this; nothing here is tied to one operating system.

#include "usb/PipeLayer.h"

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace UsbLibusb
{
// The errno value the pipe layer reports for a libusb result.
int ErrnoFromLibusb(int nResult);

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

// The active configuration, or the first one when none is active yet.
CConfigPtr ActiveConfig(libusb_device* pDevice);

// The first bulk OUT and first bulk IN endpoint of one interface setting.
struct CBulkPair
{
    int m_nInterface = -1;
    uint8_t m_nOut = 0;
    uint16_t m_nOutPacket = 0;
    uint8_t m_nIn = 0;
    uint16_t m_nInPacket = 0;
};

// The bootloader interface: the one named by nWanted when it is >= 0, else the first one
// whose first setting has a bulk endpoint in each direction.
CBulkPair FindBulkInterface(const libusb_config_descriptor& config, int nWanted,
                            bool bVendorClassOnly);

// The name the user sees for an opened device, read from its string descriptors.
std::string ReadDescription(libusb_device_handle* pHandle, const libusb_device_descriptor& desc,
                            const std::string& strPath);

// Only devices that could be boards are asked for their OS descriptors: USB 2.0 or later with a
// vendor-specific interface that has bulk endpoints both ways (OS 2.0 descriptors only from
// USB 2.01 on, which have a BOS). Everything this looks at comes from the kernel's cached
// descriptors, not from the device.
bool MayDeclareBoardClass(libusb_device* pDevice, const libusb_device_descriptor& desc);

// -2 when the device does not declare the board's interface class (or cannot be asked);
// otherwise as MsOs20InterfaceForGuid. Microsoft OS 2.0 descriptors first, then 1.0.
int ProbeBoardClass(libusb_device* pDevice);

// Whether the device is plugged into the given bus and ports.
bool SamePlace(libusb_device* pDevice, uint8_t nBus, const std::vector<uint8_t>& ports);
} // namespace UsbLibusb

// One opened board with its bootloader interface claimed, shared by its two pipes.
class CUsbConnection
{
public:
    CUsbConnection(std::shared_ptr<void> pContext, libusb_device_handle* pHandle,
                   const UsbLibusb::CBulkPair& pair, bool bDetached)
        : m_pContext(std::move(pContext)), m_pHandle(pHandle), m_pair(pair), m_bDetached(bDetached)
    {
    }
    ~CUsbConnection();
    CUsbConnection(const CUsbConnection&) = delete;
    CUsbConnection& operator=(const CUsbConnection&) = delete;

    libusb_device_handle* Handle() const { return m_pHandle; }
    const UsbLibusb::CBulkPair& Endpoints() const { return m_pair; }

private:
    std::shared_ptr<void> m_pContext; // keeps libusb running while the board is open
    libusb_device_handle* m_pHandle;
    UsbLibusb::CBulkPair m_pair;
    bool m_bDetached;
};

// One direction (bIn: the board's IN endpoint) of an opened board.
std::unique_ptr<IPipe> MakeUsbPipe(std::shared_ptr<CUsbConnection> pConnection, bool bIn);
