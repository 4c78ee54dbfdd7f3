// The backends of the Windows build: boards on the board's own driver first, then boards on
// WinUSB (in a build with libusb), then virtual boards over named pipes.
#include "usb/PipeLayer.h"
#include "usb/libusb/UsbBackend.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/virtual/VirtualBoardBackend.h"
#include "usb/windriver/DeviceNotifyWindows.h"
#include "usb/windriver/DriverBackend.h"

std::vector<IPipeBackend*> DefaultPipeBackends()
{
    static CDriverBackend driverBoards;
    static CVirtualBoardBackend virtualBoards;
    std::vector<IPipeBackend*> backends{&driverBoards};
    if (IPipeBackend* pUsbBoards = UsbBoardBackend())
    {
        backends.push_back(pUsbBoards);
    }
    backends.push_back(&virtualBoards);
    return backends;
}

// WinUSB boards arrive as USB devices too, so one window's messages cover both backends;
// libusb has no arrival reports of its own on Windows.
bool UsbNeedsPolling()
{
    return !StartDeviceNotifications();
}
