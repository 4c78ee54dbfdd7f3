// The USB backend on Windows: boards served by WinUSB, Windows' own driver, which a board gets
// without any installation when its Microsoft OS 2.0 descriptors ask for it. A board on the
// board's own driver is not WinUSB's: libusb cannot open it and the driver backend lists it.

#include "usb/libusb/UsbBackendPlatform.h"

#include <windows.h>

int64_t UsbCurrentProcess()
{
    return static_cast<int64_t>(::GetCurrentProcessId());
}

// Wine's WinUSB stand-in takes the process down when libusb reaches it; Wine has no USB boards
// to offer anyway.
bool UsbLibusbAllowed()
{
    const HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
    return hNtdll == nullptr || ::GetProcAddress(hNtdll, "wine_get_version") == nullptr;
}

std::string UsbAccessRefusedText(const CUsbBoardId& id, const std::string& strPlace)
{
    return "A board is attached (USB " + FormatUsbBoardId(id) + " at " + strPlace +
           ") but Quillon may not open it: WinUSB lets one program at a time use a board. "
           "Close the other program that has it open (another Quillon, or a terminal or "
           "debugger for the board), or unplug the board and plug it in again.";
}

// WinUSB itself lets one program at a time open a board: no lock file is needed between users.
std::string UsbDeviceNodePath(uint8_t, uint8_t)
{
    return std::string();
}
