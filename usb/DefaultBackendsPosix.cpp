// The backends here: boards on the USB bus first (in a build with libusb), then virtual boards.
#include "usb/PipeLayer.h"
#include "usb/libusb/UsbBackend.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/virtual/VirtualBoardBackend.h"

std::vector<IPipeBackend*> DefaultPipeBackends()
{
    static CVirtualBoardBackend virtualBoards;
    std::vector<IPipeBackend*> backends;
    if (IPipeBackend* pUsbBoards = UsbBoardBackend())
    {
        backends.push_back(pUsbBoards);
    }
    backends.push_back(&virtualBoards);
    return backends;
}

bool UsbNeedsPolling()
{
    return !UsbReportsArrivals();
}
