// Rules of the USB backend that need no device: the id list, interface paths, descriptor
// parsing and transfer sizes.

#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/libusb/UsbDescriptors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

namespace
{
using Bytes = std::vector<uint8_t>;

TEST(UsbBoardIdsTest, ParsesListsAndNamesTheFirstBadWord)
{
    struct CCase
    {
        const char* m_pszText;
        std::vector<CUsbBoardId> m_ids;
        const char* m_pszBad; // nullptr: valid
    };
    const CCase cases[] = {
        {"1209:5150", {{0x1209, 0x5150}}, nullptr},
        {" 0483:DF11,1209:5151\n# comment 1:2\n", {{0x0483, 0xDF11}, {0x1209, 0x5151}}, nullptr},
        {"1:2\tabcd:EF01", {{0x0001, 0x0002}, {0xABCD, 0xEF01}}, nullptr},
        {"", {}, nullptr},
        {"1209", {}, "1209"},
        {"12345:1", {}, "12345:1"},
        {"1209:51g0 1209:5150", {{0x1209, 0x5150}}, "1209:51g0"},
        {"0x1209:5150", {}, "0x1209:5150"},
        {":5150", {}, ":5150"},
        {"1209:5150:1", {}, "1209:5150:1"},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszText);
        std::vector<CUsbBoardId> ids;
        std::string strBad;
        EXPECT_EQ(ParseUsbBoardIds(c.m_pszText, &ids, &strBad), c.m_pszBad == nullptr);
        EXPECT_EQ(ids, c.m_ids);
        EXPECT_EQ(strBad, c.m_pszBad == nullptr ? "" : c.m_pszBad);
    }
}

TEST(UsbBoardIdsTest, ListJoinsDefaultsFileEnvironmentAndCommandLineWithoutDuplicates)
{
    char szDir[] = "/tmp/quillon-ids-XXXXXX";
    ASSERT_NE(mkdtemp(szDir), nullptr);
    std::filesystem::create_directories(std::string(szDir) + "/quillon");
    std::ofstream(std::string(szDir) + "/quillon/usb-ids")
        << "# my boards\n0483:df11  bogus\n1209:5150\n";
    setenv("XDG_CONFIG_HOME", szDir, 1);
    setenv(USB_IDS_ENVIRONMENT, "cafe:0001,0483:DF11", 1);

    std::string strError;
    EXPECT_FALSE(AddUsbBoardIds("beef:0002,nonsense", &strError));
    EXPECT_NE(strError.find("nonsense"), std::string::npos);
    EXPECT_FALSE(AddUsbBoardIds("", &strError));
    EXPECT_TRUE(AddUsbBoardIds("beef:0003", &strError));

    const std::vector<CUsbBoardId> ids = GetUsbBoardIds();
    std::vector<CUsbBoardId> expected(std::begin(USB_DEFAULT_BOARD_IDS),
                                      std::end(USB_DEFAULT_BOARD_IDS));
    expected.insert(expected.end(), {{0x0483, 0xDF11}, {0xCAFE, 0x0001}, {0xBEEF, 0x0003}});
    EXPECT_EQ(ids, expected);
    EXPECT_FALSE(IsUsbBoardId(ids, 0xBEEF, 0x0002)); // the rejected list added nothing

    unsetenv(USB_IDS_ENVIRONMENT);
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(szDir);
}

// The udev rule must grant access to exactly the boards the program looks for by default;
// a board added to one list and not the other would be listed but refused, or the reverse.
TEST(UsbBoardIdsTest, TheUdevRuleGrantsAccessToTheDefaultIds)
{
    std::ifstream rules(std::string(QUILLON_SOURCE_DIR) + "/res/60-quillon.rules");
    ASSERT_TRUE(rules);
    std::vector<CUsbBoardId> granted;
    for (std::string strLine; std::getline(rules, strLine);)
    {
        if (strLine.empty() || strLine[0] == '#')
        {
            continue;
        }
        const size_t nVendor = strLine.find("ATTR{idVendor}==\"");
        const size_t nProduct = strLine.find("ATTR{idProduct}==\"");
        ASSERT_NE(nVendor, std::string::npos) << strLine;
        ASSERT_NE(nProduct, std::string::npos) << strLine;
        EXPECT_NE(strLine.find("TAG+=\"uaccess\""), std::string::npos) << strLine;
        std::vector<CUsbBoardId> ids;
        ASSERT_TRUE(ParseUsbBoardIds(strLine.substr(nVendor + 17, 4) + ":" +
                                         strLine.substr(nProduct + 18, 4),
                                     &ids, nullptr));
        granted.insert(granted.end(), ids.begin(), ids.end());
    }
    EXPECT_EQ(granted, std::vector<CUsbBoardId>(std::begin(USB_DEFAULT_BOARD_IDS),
                                                std::end(USB_DEFAULT_BOARD_IDS)));
}

TEST(UsbPathTest, PathsNameBusAndPortsAndOnlyThose)
{
    struct CCase
    {
        const char* m_pszPath;
        std::optional<std::pair<uint8_t, std::vector<uint8_t>>> m_parsed;
    };
    const CCase cases[] = {
        {"usb:1-2", std::make_pair(uint8_t{1}, std::vector<uint8_t>{2})},
        {"usb:3-1.4.2", std::make_pair(uint8_t{3}, std::vector<uint8_t>{1, 4, 2})},
        {"usb:255-7.7.7.7.7.7.7",
         std::make_pair(uint8_t{255}, std::vector<uint8_t>{7, 7, 7, 7, 7, 7, 7})},
        {"usb:1-2.", std::nullopt},
        {"usb:1-", std::nullopt},
        {"usb:1", std::nullopt},
        {"usb:01-2", std::nullopt},
        {"usb:1-0", std::nullopt},
        {"usb:256-1", std::nullopt},
        {"usb:1.2-3", std::nullopt},
        {"usb:1-2-3", std::nullopt},
        {"/tmp/1-2", std::nullopt},
        {"usb:1-2.4x", std::nullopt},
        {"usb:1-1.1.1.1.1.1.1.1", std::nullopt},
        {"usb:1-1000", std::nullopt},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszPath);
        uint8_t nBus = 0;
        std::vector<uint8_t> ports;
        ASSERT_EQ(ParseUsbPath(c.m_pszPath, &nBus, &ports), c.m_parsed.has_value());
        if (c.m_parsed)
        {
            EXPECT_EQ(nBus, c.m_parsed->first);
            EXPECT_EQ(ports, c.m_parsed->second);
            EXPECT_EQ(FormatUsbPath(nBus, ports), c.m_pszPath);
        }
    }
}

TEST(UsbDescriptionTest, NamesTheBoardOrFallsBackToItsIdAndPlace)
{
    EXPECT_EQ(FormatUsbDescription("Plinth", "Corvane", 0x1209, 0x5150, "usb:1-2"),
              "Plinth (Corvane)");
    EXPECT_EQ(FormatUsbDescription("Plinth", "", 0x1209, 0x5150, "usb:1-2"), "Plinth");
    EXPECT_EQ(FormatUsbDescription("", "Corvane", 0x1209, 0x5150, "usb:1-2.3"),
              "Corvane board 1209:5150 at 1-2.3");
    EXPECT_EQ(FormatUsbDescription("", "", 0xABCD, 0x0001, "usb:4-1"),
              "USB board abcd:0001 at 4-1");
}

Bytes Utf16(const std::u16string& strText)
{
    Bytes bytes;
    for (char16_t ch : strText)
    {
        bytes.push_back(static_cast<uint8_t>(ch & 0xFF));
        bytes.push_back(static_cast<uint8_t>(ch >> 8));
    }
    return bytes;
}

TEST(UsbStringTest, DecodesUtf16AndNeutralisesControlCharacters)
{
    struct CCase
    {
        std::u16string m_strIn;
        std::string m_strOut;
    };
    const CCase cases[] = {
        {u"Plinth", "Plinth"},       {u"Ger\u00e4t", "Ger\xc3\xa4t"},
        {u"\u20ac", "\xe2\x82\xac"}, {u"\xd83d\xde00", "\xf0\x9f\x98\x80"}, // a surrogate pair
        {u"a\nb\x1b[2J", "a?b?[2J"}, // no line breaks or escapes into our output
        {u"x\xd800", "x?"},          // a lone surrogate
    };
    for (const CCase& c : cases)
    {
        const Bytes bytes = Utf16(c.m_strIn);
        EXPECT_EQ(UsbStringToUtf8(bytes.data(), bytes.size()), c.m_strOut);
    }
    const Bytes odd = {'A', 0, 'B'}; // a half unit at the end is dropped
    EXPECT_EQ(UsbStringToUtf8(odd.data(), odd.size()), "A");
}

Bytes Le16(uint16_t nValue)
{
    return {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8)};
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Bytes GuidProperty(const std::u16string& strName, uint16_t nType, const std::u16string& strValue)
{
    const Bytes name = Utf16(strName + u'\0');
    const Bytes value = Utf16(strValue + u'\0' + u'\0');
    return Join({Le16(static_cast<uint16_t>(10 + name.size() + value.size())), Le16(4), Le16(nType),
                 Le16(static_cast<uint16_t>(name.size())), name,
                 Le16(static_cast<uint16_t>(value.size())), value});
}

Bytes DescriptorSet(const Bytes& body)
{
    return Join({{10, 0, 0, 0, 0, 0, 3, 6}, Le16(static_cast<uint16_t>(10 + body.size())), body});
}

TEST(MsOs20Test, FindsTheBoardClassAndTheInterfaceItBelongsTo)
{
    const std::u16string strGuid = u"{e6ef7dcd-1795-4a08-9fbf-aa78423c26f0}"; // any letter case
    const Bytes property = GuidProperty(u"DeviceInterfaceGUIDs", 7,
                                        u"{00000000-0000-0000-0000-000000000001}" +
                                            std::u16string(1, u'\0') + strGuid);
    const Bytes function1 = {8, 0, 2, 0, 1, 0, 0, 0};
    struct CCase
    {
        const char* m_pszName;
        Bytes m_set;
        std::optional<int> m_interface;
    };
    const CCase cases[] = {
        {"whole device", DescriptorSet(property), -1},
        {"function of interface 1",
         DescriptorSet(Join({{8, 0, 1, 0, 1, 0, 0, 0}, function1, property})), 1},
        {"single GUID", DescriptorSet(GuidProperty(u"DeviceInterfaceGUID", 1, strGuid)), -1},
        {"another GUID",
         DescriptorSet(
             GuidProperty(u"DeviceInterfaceGUIDs", 7, u"{00000000-0000-0000-0000-000000000002}")),
         std::nullopt},
        {"another property", DescriptorSet(GuidProperty(u"Label", 7, strGuid)), std::nullopt},
        {"wrong header", Join({{10, 0, 1, 0}, DescriptorSet(property)}), std::nullopt},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        EXPECT_EQ(
            MsOs20InterfaceForGuid(c.m_set.data(), c.m_set.size(), GUID_DEVINTERFACE_BOOTLOADER),
            c.m_interface);
    }
    // Cut anywhere, the set is never read past its end (the sanitizer build watches) and
    // never found where the GUID was cut off.
    const Bytes whole = DescriptorSet(property);
    for (size_t n = 0; n < whole.size(); ++n)
    {
        Bytes cut(whole.begin(), whole.begin() + static_cast<long>(n));
        EXPECT_FALSE(MsOs20InterfaceForGuid(cut.data(), cut.size(), GUID_DEVINTERFACE_BOOTLOADER))
            << "cut at " << n;
    }
}

TEST(MsOs20Test, FindsThePlatformCapabilityAmongOthers)
{
    const Bytes uuid = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                        0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
    const Bytes platform = Join({{28, 0x10, 5, 0}, uuid, {0, 0, 3, 6}, Le16(0x00B2), {0x21, 0}});
    const Bytes usb2Extension = {7, 0x10, 2, 2, 0, 0, 0};
    Bytes otherUuid = platform;
    otherUuid[10] ^= 1;
    auto bos = [](const Bytes& caps, uint8_t nCount) {
        return Join({{5, 0x0F}, Le16(static_cast<uint16_t>(5 + caps.size())), {nCount}, caps});
    };

    auto found = FindMsOs20Capability(bos(Join({usb2Extension, platform}), 2).data(), 5 + 7 + 28);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->m_nVendorCode, 0x21);
    EXPECT_EQ(found->m_nSetLength, 0x00B2);

    const Bytes other = bos(otherUuid, 1);
    EXPECT_FALSE(FindMsOs20Capability(other.data(), other.size()));
    const Bytes broken = bos(Join({{0, 0x10, 2}, platform}), 2); // a zero length must not loop
    EXPECT_FALSE(FindMsOs20Capability(broken.data(), broken.size()));
    const Bytes whole = bos(platform, 1);
    for (size_t n = 0; n < whole.size(); ++n)
    {
        EXPECT_FALSE(FindMsOs20Capability(whole.data(), n)) << "cut at " << n;
    }
}

Bytes Le32(uint32_t nValue)
{
    return Join({Le16(static_cast<uint16_t>(nValue)), Le16(static_cast<uint16_t>(nValue >> 16))});
}

// An extended property of Microsoft OS 1.0 descriptors, and the descriptor around properties.
Bytes ExtendedProperty(const std::u16string& strName, uint32_t nType, const Bytes& value)
{
    const Bytes name = Utf16(strName + u'\0');
    return Join({Le32(static_cast<uint32_t>(14 + name.size() + value.size())), Le32(nType),
                 Le16(static_cast<uint16_t>(name.size())), name,
                 Le32(static_cast<uint32_t>(value.size())), value});
}

Bytes ExtendedProperties(uint16_t nCount, const Bytes& body, uint16_t nIndex = 5)
{
    return Join({Le32(static_cast<uint32_t>(10 + body.size())), Le16(0x0100), Le16(nIndex),
                 Le16(nCount), body});
}

TEST(MsOs10Test, FindsTheBoardClassInTheExtendedProperties)
{
    const std::u16string strGuid = u"{E6EF7DCD-1795-4A08-9FBF-AA78423C26F0}";
    const Bytes single = Utf16(strGuid + u'\0');
    const Bytes multi = Utf16(u"{00000000-0000-0000-0000-000000000001}" + std::u16string(1, u'\0') +
                              u"{e6ef7dcd-1795-4a08-9fbf-aa78423c26f0}" + u'\0' + u'\0');
    const Bytes guidProperty = ExtendedProperty(u"DeviceInterfaceGUID", 1, single);
    struct CCase
    {
        const char* m_pszName;
        Bytes m_descriptor;
        bool m_bBoard;
    };
    const CCase cases[] = {
        {"one string, as a Linux gadget gives it", ExtendedProperties(1, guidProperty), true},
        {"a list of strings",
         ExtendedProperties(1, ExtendedProperty(u"DeviceInterfaceGUIDs", 7, multi)), true},
        {"after another property",
         ExtendedProperties(2, Join({ExtendedProperty(u"Label", 1, Utf16(u"x\0")), guidProperty})),
         true},
        {"another GUID",
         ExtendedProperties(1,
                            ExtendedProperty(u"DeviceInterfaceGUID", 1,
                                             Utf16(u"{00000000-0000-0000-0000-000000000002}\0"))),
         false},
        {"the list's name with a single string's type",
         ExtendedProperties(1, ExtendedProperty(u"DeviceInterfaceGUIDs", 1, single)), false},
        {"no property counted", ExtendedProperties(0, guidProperty), false},
        {"a compatible id descriptor", ExtendedProperties(1, guidProperty, 4), false},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        EXPECT_EQ(MsOs10PropertiesDeclareGuid(c.m_descriptor.data(), c.m_descriptor.size(),
                                              GUID_DEVINTERFACE_BOOTLOADER),
                  c.m_bBoard);
    }
    // Cut anywhere, it is never read past its end nor found where the GUID was cut off.
    const Bytes whole = ExtendedProperties(1, guidProperty);
    for (size_t n = 0; n < whole.size(); ++n)
    {
        EXPECT_FALSE(MsOs10PropertiesDeclareGuid(whole.data(), n, GUID_DEVINTERFACE_BOOTLOADER))
            << "cut at " << n;
    }
    // A property that claims to be longer than the descriptor ends the search.
    Bytes liar = whole;
    liar[10] = 0xFF;
    EXPECT_FALSE(
        MsOs10PropertiesDeclareGuid(liar.data(), liar.size(), GUID_DEVINTERFACE_BOOTLOADER));
}

TEST(MsOs10Test, TheOsStringGivesTheVendorCode)
{
    const Bytes osString = Join({{18, 3}, Utf16(u"MSFT100"), {0xCD, 0}});
    struct CCase
    {
        const char* m_pszName;
        Bytes m_string;
        std::optional<uint8_t> m_nCode;
    };
    const CCase cases[] = {
        {"MSFT100", osString, 0xCD},
        {"another signature", Join({{18, 3}, Utf16(u"MSFT200"), {0xCD, 0}}), std::nullopt},
        {"not a string", Join({{18, 2}, Utf16(u"MSFT100"), {0xCD, 0}}), std::nullopt},
        {"cut short", Bytes(osString.begin(), osString.end() - 2), std::nullopt},
        {"a shorter length", Join({{16, 3}, Utf16(u"MSFT100"), {0xCD, 0}}), std::nullopt},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        EXPECT_EQ(ParseMsOs10String(c.m_string.data(), c.m_string.size()), c.m_nCode);
    }
}

TEST(UsbPieceTest, PiecesAreWholePacketsExceptASmallRemainder)
{
    struct CCase
    {
        uint32_t m_nRemaining;
        uint16_t m_nPacket;
        uint32_t m_nPiece;
    };
    const CCase cases[] = {
        {1, 512, 1},
        {511, 512, 511},
        {512, 512, 512},
        {513, 512, 512},
        {1000, 64, 960},
        {102400, 512, 102400},
        {5000000, 512, 1048576},
        {5000000, 64, 131072},
        {5000000, 1024, 2097152},
        {131072 + 63, 64, 131072},
        {70000, 0, USB_FALLBACK_PIECE},
        {5000, 0, 5000},
    };
    for (const CCase& c : cases)
    {
        EXPECT_EQ(UsbPieceSize(c.m_nRemaining, c.m_nPacket), c.m_nPiece)
            << c.m_nRemaining << " bytes, packets of " << c.m_nPacket;
    }
}
} // namespace
