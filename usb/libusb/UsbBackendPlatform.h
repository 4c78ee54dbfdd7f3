#pragma once
// What the USB backend needs of the operating system beyond libusb. Each system has its own
// file, chosen by usb/libusb/CMakeLists.txt (UsbBackendLinux.cpp, UsbBackendWindows.cpp).

#include "usb/libusb/UsbBoardIds.h"

#include <cstdint>
#include <string>

// The running process: libusb's context belongs to the process that started it, and a child
// made by fork() must leave it alone.
int64_t UsbCurrentProcess();

// The message for a board this user may not open (strPlace as "1-2.4"), saying how to give the
// user access on this system.
std::string UsbAccessRefusedText(const CUsbBoardId& id, const std::string& strPlace);

// False where libusb must not be started at all; the backend then lists no boards.
bool UsbLibusbAllowed();

// The device node of the device at nBus with nAddress, which every user who may open the board
// may open and lock (Linux: /dev/bus/usb/BBB/DDD, whose mode and group udev sets); empty where
// the system has none.
std::string UsbDeviceNodePath(uint8_t nBus, uint8_t nAddress);
