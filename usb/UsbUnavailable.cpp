// A build without libusb sees no USB boards: none can be refused, none arrive.
#include "usb/UsbBoardIds.h"

std::vector<CUsbRefusedBoard> UsbRefusedBoards(bool)
{
    return {};
}

bool UsbNeedsPolling()
{
    return false;
}
