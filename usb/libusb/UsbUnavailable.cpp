// A build without libusb sees no USB boards: none can be refused, none arrive.
#include "usb/libusb/UsbBackend.h"
#include "usb/libusb/UsbBoardIds.h"

IPipeBackend* UsbBoardBackend()
{
    return nullptr;
}

std::vector<CUsbRefusedBoard> UsbRefusedBoards(bool)
{
    return {};
}

bool UsbReportsArrivals()
{
    return true;
}
