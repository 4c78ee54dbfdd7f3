// Discovery: one record per listed interface, in the backends' order, with the rules for
// unreadable paths and descriptions.

#include "support/FakePipeBackend.h"
#include "usb/UsbDevice.h"

#include <gtest/gtest.h>

namespace
{
TEST(DiscoveryTest, RecordsFollowTheListingAndItsFailures)
{
    CFakeBoard first;
    first.m_strPath = "/r/a";
    first.m_strDescription = std::string(MAX_DESCRIPTION_LENGTH, 'd');
    CFakeBoard unreadablePath;
    unreadablePath.m_bPathOk = false;
    CFakeBoard longDescription;
    longDescription.m_strPath = "/r/c";
    longDescription.m_strDescription = std::string(MAX_DESCRIPTION_LENGTH + 1, 'x');
    CFakeBoard longPath;
    longPath.m_strPath = "/" + std::string(300, 'p');
    longPath.m_strDescription = "Long";
    CFakeBoard noDescription;
    noDescription.m_strPath = "/r/e";
    noDescription.m_bDescriptionOk = false;

    CFakePipeBackend backend;
    backend.m_boards = {&first, &unreadablePath, &longDescription, &longPath, &noDescription};
    CPipeBackendOverride guard({&backend});

    const CUsbDeviceList devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 5u);
    struct Expected
    {
        std::string m_strPath;
        std::string m_strDescription;
    };
    const std::vector<Expected> expected = {
        {"/r/a", std::string(MAX_DESCRIPTION_LENGTH, 'd')}, // kept whole
        {"", ""},                                           // still listed
        {"/r/c", ""},                                       // too long: dropped, not cut
        {"/" + std::string(300, 'p'), "Long"},              // long paths kept whole
        {"/r/e", ""},
    };
    for (size_t i = 0; i < expected.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(devices[i].m_strDevicePath, expected[i].m_strPath);
        EXPECT_EQ(devices[i].m_strDescription, expected[i].m_strDescription);
        EXPECT_FALSE(devices[i].m_hReadPipe.IsValid());
        EXPECT_FALSE(devices[i].m_hWritePipe.IsValid());
    }
}

TEST(DiscoveryTest, BackendsAreListedInTheirOrderAndPipesGoToTheOwner)
{
    CFakeBoard usbBoard;
    usbBoard.m_strPath = "/usb/1";
    CFakeBoard virtualBoard;
    virtualBoard.m_strPath = "/virtual/1";
    CFakePipeBackend usb;
    usb.m_boards = {&usbBoard};
    CFakePipeBackend virtualBoards;
    virtualBoards.m_boards = {&virtualBoard};
    CPipeBackendOverride guard({&usb, &virtualBoards});

    const CUsbDeviceList devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].m_strDevicePath, "/usb/1");
    EXPECT_EQ(devices[1].m_strDevicePath, "/virtual/1");
    EXPECT_EQ(usb.m_nListCalls, 1);
    EXPECT_EQ(virtualBoards.m_nListCalls, 1);
}

TEST(DiscoveryTest, ConnectionFromAnEmptyPathFormsBarePipeNames)
{
    CFakeBoard board;
    board.m_strPath = ""; // the fake then answers to "\PIPE01" and "\PIPE00" alone
    CFakePipeBackend backend;
    backend.m_boards = {&board};
    CPipeBackendOverride guard({&backend});

    CUsbDevice device{CUsbDeviceInfo()};
    EXPECT_TRUE(device.Execute());
    ASSERT_GE(board.m_calls.size(), 2u);
    EXPECT_EQ(board.m_calls[0].m_strOp, "open");
    EXPECT_EQ(board.m_calls[0].m_strPipe, "PIPE01");
    EXPECT_EQ(board.m_calls[1].m_strPipe, "PIPE00");
}

TEST(DiscoveryTest, NoBoardsGiveAnEmptyList)
{
    CFakePipeBackend backend;
    CPipeBackendOverride guard({&backend});
    EXPECT_TRUE(EnumerateDevices().empty());
    EXPECT_EQ(backend.m_nListCalls, 1);
}
} // namespace
