#pragma once
// Pure helpers of the USB backend: the interface path text, descriptor parsing and the sizes of
// bulk transfers. No libusb here, so every rule can be checked without a device.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Interface paths of USB boards: "usb:<bus>-<port>[.<port>...]", e.g. "usb:1-2.4". They name
// where the board is plugged, so they stay the same while it stays in that socket.
inline constexpr char USB_PATH_PREFIX[] = "usb:";

std::string FormatUsbPath(uint8_t nBus, const std::vector<uint8_t>& ports);
// False for anything FormatUsbPath cannot have produced.
bool ParseUsbPath(const std::string& strPath, uint8_t* pnBus, std::vector<uint8_t>* pPorts);

// The name the user sees: "Product (Manufacturer)", the product alone, or a fallback naming
// the id and path when the device gave no product string.
std::string FormatUsbDescription(const std::string& strProduct, const std::string& strManufacturer,
                                 uint16_t nVendor, uint16_t nProduct, const std::string& strPath);

// The text of a USB string descriptor (its bytes after the two-byte header, UTF-16LE) as UTF-8.
// Control characters become '?', so a device cannot put line breaks or escapes into our output.
std::string UsbStringToUtf8(const uint8_t* pData, size_t nLength);

// The Microsoft OS 2.0 platform capability in a raw BOS descriptor: the vendor request code and
// the length of the descriptor set. nullopt when the BOS declares none or is malformed.
struct CMsOs20Location
{
    uint8_t m_nVendorCode = 0;
    uint16_t m_nSetLength = 0;
};
std::optional<CMsOs20Location> FindMsOs20Capability(const uint8_t* pBos, size_t nLength);

// Whether a Microsoft OS 2.0 descriptor set declares strGuid as a device interface GUID
// (property "DeviceInterfaceGUID" or "DeviceInterfaceGUIDs", compared ignoring case).
// nullopt: not declared. Otherwise the interface it was declared for, or -1 when it was
// declared for the whole device.
std::optional<int> MsOs20InterfaceForGuid(const uint8_t* pSet, size_t nLength,
                                          const std::string& strGuid);

// Microsoft OS 1.0 descriptors, which is what Linux USB gadgets give: the string descriptor at
// index 0xEE (asked for with language 0) holds the signature "MSFT100" and the vendor request
// code; that request with wIndex 5, to an interface, gives the interface's extended properties.
inline constexpr uint8_t MS_OS_10_STRING_INDEX = 0xEE;
inline constexpr uint16_t MS_OS_10_EXTENDED_PROPERTIES = 5;
// The vendor request code in a raw OS string descriptor; nullopt when it is none.
std::optional<uint8_t> ParseMsOs10String(const uint8_t* pData, size_t nLength);
// Whether an extended properties descriptor declares strGuid as a device interface GUID
// (property "DeviceInterfaceGUID" or "DeviceInterfaceGUIDs", compared ignoring case).
bool MsOs10PropertiesDeclareGuid(const uint8_t* pData, size_t nLength, const std::string& strGuid);

// Bulk transfers are moved in pieces of USB_PIECE_PACKETS whole packets: 1 MiB at high speed
// (about 20 ms of bus time), 128 KiB at full speed (about 110 ms). Long enough that the pause
// between two pieces costs the bus little; short enough for smooth progress and a quick cancel.
inline constexpr uint32_t USB_PIECE_PACKETS = 2048;
// The piece when the packet size is unknown.
inline constexpr uint32_t USB_FALLBACK_PIECE = 64 * 1024;
// The size of the next piece of a block with nRemaining bytes left: whole packets while at
// least one packet is left, else the remainder.
uint32_t UsbPieceSize(uint32_t nRemaining, uint16_t nMaxPacket);
