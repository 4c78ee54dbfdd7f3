// A build without libusb sees no USB boards: none can be refused, none arrive.
#include "usb/UsbBackend.h"
#include "usb/UsbBoardIds.h"

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
