// A build without libusb sees no USB boards: none can be refused, none arrive.
#include "usb/UsbBoardIds.h"

std::vector<std::string> UsbAccessProblems(bool)
{
    return {};
}

bool UsbNeedsPolling()
{
    return false;
}
