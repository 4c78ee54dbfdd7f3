#pragma once
// The pipe-layer backend for boards on Windows' own driver: the present interfaces of the
// bootloader's interface class as the Setup API lists them, and the driver's pipes opened
// with CreateFileA on the interface path followed by "\PIPE00" or "\PIPE01".

#include "usb/PipeLayer.h"

#include <windows.h>

// GUID_DEVINTERFACE_BOOTLOADER (UsbDevice.h) as the Setup API takes it.
inline constexpr GUID BOOTLOADER_INTERFACE_CLASS = {
    0xE6EF7DCD, 0x1795, 0x4A08, {0x9F, 0xBF, 0xAA, 0x78, 0x42, 0x3C, 0x26, 0xF0}};

class CDriverBackend : public IPipeBackend
{
public:
    std::vector<CInterfaceEntry> ListInterfaces() override;
    // Device interface paths begin with \\?\.
    bool OwnsPipeName(const std::string& strPipeName) const override;
    std::unique_ptr<IPipe> OpenPipe(const std::string& strPipeName, int* pError) override;
};
