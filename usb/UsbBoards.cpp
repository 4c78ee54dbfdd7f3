// The backends of a build with libusb: boards on the USB bus first, then virtual boards.
#include "usb/PipeLayer.h"
#include "usb/UsbBackend.h"
#include "usb/UsbBoardIds.h"
#include "usb/VirtualBoardBackend.h"

CUsbBackend& DefaultUsbBackend()
{
    static CUsbBackend usbBoards;
    return usbBoards;
}

std::vector<IPipeBackend*> DefaultPipeBackends()
{
    static CVirtualBoardBackend virtualBoards;
    return {&DefaultUsbBackend(), &virtualBoards};
}

std::vector<CUsbRefusedBoard> UsbRefusedBoards(bool bWait)
{
    return DefaultUsbBackend().RefusedBoards(bWait);
}

bool UsbNeedsPolling()
{
    return !DefaultUsbBackend().Start();
}
