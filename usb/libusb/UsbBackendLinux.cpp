// The USB backend on Linux: device nodes under /dev/bus/usb get their owner and mode from udev,
// so a refused board is a missing or not yet applied udev rule.

#include "usb/libusb/UsbBackendPlatform.h"

#include <cstdio>
#include <unistd.h>

int64_t UsbCurrentProcess()
{
    return static_cast<int64_t>(getpid());
}

bool UsbLibusbAllowed()
{
    return true;
}

std::string UsbAccessRefusedText(const CUsbBoardId& id, const std::string& strPlace)
{
    return "A board is attached (USB " + FormatUsbBoardId(id) + " at " + strPlace +
           ") but this user may not open it. Install the udev rule " + USB_UDEV_RULE_PATH +
           " (the Quillon package does), then unplug the board and plug it in again; "
           "the rule gives access to the user logged in at the computer itself and to "
           "the group plugdev (for SSH or a build runner: adduser USER plugdev, then "
           "log in again).";
}

std::string UsbDeviceNodePath(uint8_t nBus, uint8_t nAddress)
{
    char szPath[32];
    std::snprintf(szPath, sizeof szPath, "/dev/bus/usb/%03u/%03u", nBus, nAddress);
    return szPath;
}
