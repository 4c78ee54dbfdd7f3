// The USB boards of a build with libusb: one backend for the process.
#include "usb/libusb/UsbBackend.h"
#include "usb/libusb/UsbBoardIds.h"

CUsbBackend& DefaultUsbBackend()
{
    static CUsbBackend usbBoards;
    return usbBoards;
}

IPipeBackend* UsbBoardBackend()
{
    return &DefaultUsbBackend();
}

std::vector<CUsbRefusedBoard> UsbRefusedBoards(bool bWait)
{
    return DefaultUsbBackend().RefusedBoards(bWait);
}

bool UsbReportsArrivals()
{
    return DefaultUsbBackend().Start();
}
