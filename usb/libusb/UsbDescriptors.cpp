#include "usb/libusb/UsbDescriptors.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace
{
uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}

// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} in the byte order of the platform capability.
constexpr uint8_t MS_OS_20_PLATFORM_UUID[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                                0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
constexpr uint8_t STRING_DESCRIPTOR_TYPE = 0x03;
constexpr uint8_t BOS_DESCRIPTOR_TYPE = 0x0F;
constexpr uint8_t DEVICE_CAPABILITY_TYPE = 0x10;
constexpr uint8_t PLATFORM_CAPABILITY = 0x05;
constexpr uint16_t MS_OS_20_SET_HEADER = 0x00;
constexpr uint16_t MS_OS_20_SUBSET_CONFIGURATION = 0x01;
constexpr uint16_t MS_OS_20_SUBSET_FUNCTION = 0x02;
constexpr uint16_t MS_OS_20_REGISTRY_PROPERTY = 0x04;
constexpr uint16_t REG_SZ = 1;
constexpr uint16_t REG_MULTI_SZ = 7;

void AppendUtf8(std::string* pstrOut, uint32_t nCode)
{
    if (nCode < 0x80)
    {
        *pstrOut += static_cast<char>(nCode);
    }
    else if (nCode < 0x800)
    {
        *pstrOut += static_cast<char>(0xC0 | (nCode >> 6));
        *pstrOut += static_cast<char>(0x80 | (nCode & 0x3F));
    }
    else if (nCode < 0x10000)
    {
        *pstrOut += static_cast<char>(0xE0 | (nCode >> 12));
        *pstrOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        *pstrOut += static_cast<char>(0x80 | (nCode & 0x3F));
    }
    else
    {
        *pstrOut += static_cast<char>(0xF0 | (nCode >> 18));
        *pstrOut += static_cast<char>(0x80 | ((nCode >> 12) & 0x3F));
        *pstrOut += static_cast<char>(0x80 | ((nCode >> 6) & 0x3F));
        *pstrOut += static_cast<char>(0x80 | (nCode & 0x3F));
    }
}

// UTF-16LE text split at NUL units (REG_MULTI_SZ); only ASCII matters for names and GUIDs.
std::vector<std::string> SplitUtf16Strings(const uint8_t* pData, size_t nLength)
{
    std::vector<std::string> strings(1);
    for (size_t i = 0; i + 1 < nLength; i += 2)
    {
        const uint16_t nUnit = Le16(pData + i);
        if (nUnit == 0)
        {
            strings.emplace_back();
            continue;
        }
        strings.back() += nUnit < 0x80 ? static_cast<char>(nUnit) : '?';
    }
    return strings;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y)
                      {
                          return std::tolower(static_cast<unsigned char>(x)) ==
                                 std::tolower(static_cast<unsigned char>(y));
                      });
}
} // namespace

std::string FormatUsbPath(uint8_t nBus, const std::vector<uint8_t>& ports)
{
    std::string strPath = USB_PATH_PREFIX + std::to_string(nBus) + "-";
    for (size_t i = 0; i < ports.size(); ++i)
    {
        if (i > 0)
        {
            strPath += '.';
        }
        strPath += std::to_string(ports[i]);
    }
    return strPath;
}

bool ParseUsbPath(const std::string& strPath, uint8_t* pnBus, std::vector<uint8_t>* pPorts)
{
    const std::string strPrefix = USB_PATH_PREFIX;
    if (strPath.compare(0, strPrefix.size(), strPrefix) != 0)
    {
        return false;
    }
    std::vector<unsigned> numbers;
    std::vector<char> separators;
    unsigned nValue = 0;
    size_t nDigits = 0;
    for (size_t i = strPrefix.size(); i <= strPath.size(); ++i)
    {
        const char ch = i < strPath.size() ? strPath[i] : '\0';
        if (ch >= '0' && ch <= '9')
        {
            // No leading zeros and at most three digits: one text per location.
            if ((nDigits == 1 && nValue == 0) || nDigits == 3)
            {
                return false;
            }
            nValue = nValue * 10 + static_cast<unsigned>(ch - '0');
            ++nDigits;
            continue;
        }
        if (nDigits == 0 || nValue > 255 || (ch != '-' && ch != '.' && ch != '\0'))
        {
            return false;
        }
        numbers.push_back(nValue);
        separators.push_back(ch);
        nValue = 0;
        nDigits = 0;
    }
    // bus '-' port ('.' port)*, at most 7 ports deep as USB allows.
    if (numbers.size() < 2 || numbers.size() > 8 || separators[0] != '-')
    {
        return false;
    }
    for (size_t i = 1; i + 1 < separators.size(); ++i)
    {
        if (separators[i] != '.')
        {
            return false;
        }
    }
    if (numbers[0] == 0 || std::find(numbers.begin() + 1, numbers.end(), 0u) != numbers.end())
    {
        return false;
    }
    *pnBus = static_cast<uint8_t>(numbers[0]);
    pPorts->assign(numbers.begin() + 1, numbers.end());
    return true;
}

std::string FormatUsbDescription(const std::string& strProduct, const std::string& strManufacturer,
                                 uint16_t nVendor, uint16_t nProduct, const std::string& strPath)
{
    char szId[10];
    std::snprintf(szId, sizeof(szId), "%04x:%04x", nVendor, nProduct);
    if (strProduct.empty())
    {
        const std::string strWho = strManufacturer.empty() ? "USB" : strManufacturer;
        return strWho + " board " + szId + " at " +
               strPath.substr(std::string(USB_PATH_PREFIX).size());
    }
    if (strManufacturer.empty())
    {
        return strProduct;
    }
    return strProduct + " (" + strManufacturer + ")";
}

std::string UsbStringToUtf8(const uint8_t* pData, size_t nLength)
{
    std::string strText;
    for (size_t i = 0; i + 1 < nLength; i += 2)
    {
        uint32_t nCode = Le16(pData + i);
        if (nCode >= 0xD800 && nCode < 0xDC00 && i + 3 < nLength)
        {
            const uint16_t nLow = Le16(pData + i + 2);
            if (nLow >= 0xDC00 && nLow < 0xE000)
            {
                nCode = 0x10000 + ((nCode - 0xD800) << 10) + (nLow - 0xDC00);
                i += 2;
            }
        }
        if (nCode < 0x20 || nCode == 0x7F || (nCode >= 0x80 && nCode < 0xA0) ||
            (nCode >= 0xD800 && nCode < 0xE000))
        {
            nCode = '?';
        }
        AppendUtf8(&strText, nCode);
    }
    return strText;
}

std::optional<CMsOs20Location> FindMsOs20Capability(const uint8_t* pBos, size_t nLength)
{
    if (nLength < 5 || pBos[0] < 5 || pBos[1] != BOS_DESCRIPTOR_TYPE)
    {
        return std::nullopt;
    }
    const size_t nTotal = std::min<size_t>(nLength, Le16(pBos + 2));
    size_t nOffset = pBos[0];
    while (nOffset + 3 <= nTotal)
    {
        const uint8_t* pCap = pBos + nOffset;
        const size_t nCapLength = pCap[0];
        if (nCapLength < 3 || nOffset + nCapLength > nTotal)
        {
            return std::nullopt;
        }
        // Platform capability: length, type, kind, reserved, UUID (16), then the descriptor set
        // information records of 8 bytes each: Windows version, set length, vendor code, alt code.
        if (pCap[1] == DEVICE_CAPABILITY_TYPE && pCap[2] == PLATFORM_CAPABILITY &&
            nCapLength >= 28 && std::equal(pCap + 4, pCap + 20, MS_OS_20_PLATFORM_UUID))
        {
            const uint16_t nSetLength = Le16(pCap + 24);
            if (nSetLength >= 10)
            {
                return CMsOs20Location{pCap[26], nSetLength};
            }
        }
        nOffset += nCapLength;
    }
    return std::nullopt;
}

std::optional<int> MsOs20InterfaceForGuid(const uint8_t* pSet, size_t nLength,
                                          const std::string& strGuid)
{
    if (nLength < 10 || Le16(pSet) != 10 || Le16(pSet + 2) != MS_OS_20_SET_HEADER)
    {
        return std::nullopt;
    }
    const size_t nTotal = std::min<size_t>(nLength, Le16(pSet + 8));
    int nInterface = -1;
    size_t nOffset = 10;
    while (nOffset + 4 <= nTotal)
    {
        const uint8_t* pDesc = pSet + nOffset;
        const size_t nDescLength = Le16(pDesc);
        if (nDescLength < 4 || nOffset + nDescLength > nTotal)
        {
            return std::nullopt;
        }
        const uint16_t nType = Le16(pDesc + 2);
        if (nType == MS_OS_20_SUBSET_CONFIGURATION)
        {
            nInterface = -1;
        }
        else if (nType == MS_OS_20_SUBSET_FUNCTION && nDescLength >= 5)
        {
            nInterface = pDesc[4];
        }
        else if (nType == MS_OS_20_REGISTRY_PROPERTY && nDescLength >= 10)
        {
            const uint16_t nDataType = Le16(pDesc + 4);
            const size_t nNameLength = Le16(pDesc + 6);
            if (8 + nNameLength + 2 <= nDescLength)
            {
                const std::vector<std::string> name = SplitUtf16Strings(pDesc + 8, nNameLength);
                const size_t nDataLength = Le16(pDesc + 8 + nNameLength);
                const uint8_t* pData = pDesc + 10 + nNameLength;
                const bool bGuidProperty =
                    (nDataType == REG_SZ && name[0] == "DeviceInterfaceGUID") ||
                    (nDataType == REG_MULTI_SZ && name[0] == "DeviceInterfaceGUIDs");
                if (bGuidProperty && 10 + nNameLength + nDataLength <= nDescLength)
                {
                    for (const std::string& strValue : SplitUtf16Strings(pData, nDataLength))
                    {
                        if (EqualsIgnoringCase(strValue, strGuid))
                        {
                            return nInterface;
                        }
                    }
                }
            }
        }
        nOffset += nDescLength;
    }
    return std::nullopt;
}

std::optional<uint8_t> ParseMsOs10String(const uint8_t* pData, size_t nLength)
{
    // bLength 18, string type, "MSFT100" in UTF-16LE, the vendor code, a pad byte.
    static constexpr uint8_t SIGNATURE[14] = {'M', 0,   'S', 0,   'F', 0,   'T',
                                              0,   '1', 0,   '0', 0,   '0', 0};
    if (nLength < 18 || pData[0] < 18 || pData[1] != STRING_DESCRIPTOR_TYPE ||
        !std::equal(SIGNATURE, SIGNATURE + sizeof(SIGNATURE), pData + 2))
    {
        return std::nullopt;
    }
    return pData[16];
}

bool MsOs10PropertiesDeclareGuid(const uint8_t* pData, size_t nLength, const std::string& strGuid)
{
    // Header: dwLength, bcdVersion 1.00, wIndex 5, wCount; then the properties, each dwSize,
    // dwPropertyDataType, wPropertyNameLength, the name, dwPropertyDataLength, the data.
    if (nLength < 10 || Le16(pData + 6) != MS_OS_10_EXTENDED_PROPERTIES)
    {
        return false;
    }
    const size_t nTotal = std::min<size_t>(nLength, Le32(pData));
    const uint16_t nCount = Le16(pData + 8);
    size_t nOffset = 10;
    for (uint16_t i = 0; i < nCount && nOffset + 14 <= nTotal; ++i)
    {
        const uint8_t* pProperty = pData + nOffset;
        const size_t nSize = Le32(pProperty);
        if (nSize < 14 || nSize > nTotal - nOffset)
        {
            return false;
        }
        const uint32_t nDataType = Le32(pProperty + 4);
        const size_t nNameLength = Le16(pProperty + 8);
        if (14 + nNameLength <= nSize)
        {
            const std::vector<std::string> name = SplitUtf16Strings(pProperty + 10, nNameLength);
            const size_t nDataLength = Le32(pProperty + 10 + nNameLength);
            const bool bGuidProperty =
                (nDataType == REG_SZ && name[0] == "DeviceInterfaceGUID") ||
                (nDataType == REG_MULTI_SZ && name[0] == "DeviceInterfaceGUIDs");
            if (bGuidProperty && nDataLength <= nSize - 14 - nNameLength)
            {
                for (const std::string& strValue :
                     SplitUtf16Strings(pProperty + 14 + nNameLength, nDataLength))
                {
                    if (EqualsIgnoringCase(strValue, strGuid))
                    {
                        return true;
                    }
                }
            }
        }
        nOffset += nSize;
    }
    return false;
}

uint32_t UsbPieceSize(uint32_t nRemaining, uint16_t nMaxPacket)
{
    if (nMaxPacket == 0)
    {
        return std::min(nRemaining, USB_FALLBACK_PIECE);
    }
    uint32_t nPiece = std::min(nRemaining, nMaxPacket * USB_PIECE_PACKETS);
    if (nPiece >= nMaxPacket)
    {
        nPiece -= nPiece % nMaxPacket;
    }
    return nPiece;
}
