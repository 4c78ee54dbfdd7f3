// A build without libusb sees no USB boards, so none can be refused either.
#include "usb/UsbBoardIds.h"

std::vector<std::string> UsbAccessProblems()
{
    return {};
}
