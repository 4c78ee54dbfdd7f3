// Board arrivals on Windows at their seam: the notification window is sent the messages the
// system would send, and only an interface's arrival or removal is reported. Real device-change
// messages need real devices. WinUSB through libusb stops at its seam too: under Wine libusb is
// never started.

#include "usb/windriver/DeviceNotifyWindows.h"
#include "usb/PipeLayer.h"
#include "usb/libusb/UsbBackend.h"
#include "usb/libusb/UsbBackendPlatform.h"
#include "usb/libusb/UsbBoardIds.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include <windows.h>

#include <dbt.h> // after windows.h, whose types it uses

namespace
{
struct CMessageCase
{
    const char* m_pszName;
    WPARAM m_nEvent;
    DWORD m_nDeviceType; // 0: no broadcast header at all
    int m_nReports;
};

TEST(DeviceNotifyWin, OnlyInterfaceArrivalsAndRemovalsAreReported)
{
    ASSERT_TRUE(StartDeviceNotifications());
    ASSERT_TRUE(StartDeviceNotifications()); // once per process: the same window
    const HWND hWindow =
        ::FindWindowExA(HWND_MESSAGE, nullptr, DEVICE_NOTIFY_WINDOW_CLASS, nullptr);
    ASSERT_NE(hWindow, nullptr);
    EXPECT_EQ(::FindWindowExA(HWND_MESSAGE, hWindow, DEVICE_NOTIFY_WINDOW_CLASS, nullptr), nullptr);

    std::atomic<int> nReports{0};
    SetDeviceChangeCallback([&] { ++nReports; });
    const CMessageCase cases[] = {
        {"an interface arrives", DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, 1},
        {"an interface is removed", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, 1},
        {"a volume arrives", DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, 0},
        {"a removal is only asked for", DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_DEVICEINTERFACE, 0},
        {"the device tree changed, with no header", DBT_DEVNODES_CHANGED, 0, 0},
        {"an arrival without its header", DBT_DEVICEARRIVAL, 0, 0},
    };
    for (const CMessageCase& test : cases)
    {
        nReports = 0;
        DEV_BROADCAST_DEVICEINTERFACE_A broadcast{};
        broadcast.dbcc_size = sizeof(broadcast);
        broadcast.dbcc_devicetype = test.m_nDeviceType;
        const LPARAM lParam = test.m_nDeviceType == 0 ? 0 : reinterpret_cast<LPARAM>(&broadcast);
        // Sent, not posted: the window's thread has handled it when this returns.
        EXPECT_EQ(::SendMessageA(hWindow, WM_DEVICECHANGE, test.m_nEvent, lParam), TRUE)
            << test.m_pszName;
        EXPECT_EQ(nReports.load(), test.m_nReports) << test.m_pszName;
    }
    SetDeviceChangeCallback(nullptr);
    EXPECT_FALSE(UsbNeedsPolling());
}

TEST(UsbBackendWin, LibusbIsNeverStartedUnderWine)
{
    IPipeBackend* pUsbBoards = UsbBoardBackend();
    if (pUsbBoards == nullptr)
    {
        GTEST_SKIP() << "built without libusb for Windows";
    }
    // Wine passes its prefix to the programs it runs; Windows has no such variable.
    const bool bWine = std::getenv("WINEPREFIX") != nullptr;
    EXPECT_EQ(UsbLibusbAllowed(), !bWine);
    if (!bWine)
    {
        return;
    }
    EXPECT_TRUE(pUsbBoards->ListInterfaces().empty());
    EXPECT_TRUE(UsbRefusedBoards(false).empty());
    EXPECT_FALSE(UsbReportsArrivals());
    int nError = 0;
    EXPECT_EQ(pUsbBoards->OpenPipe("usb:1-2\\PIPE00", &nError), nullptr);
    EXPECT_NE(nError, 0);
    // The backend list still has it, between the driver's boards and the virtual ones.
    const std::vector<IPipeBackend*> backends = DefaultPipeBackends();
    ASSERT_EQ(backends.size(), 3u);
    EXPECT_EQ(backends[1], pUsbBoards);
}
} // namespace
