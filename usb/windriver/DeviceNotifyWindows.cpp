#include "usb/windriver/DeviceNotifyWindows.h"

#include "usb/PipeLayer.h"
#include "usb/windriver/DriverBackend.h"

#include <future>
#include <thread>

#include <windows.h>

#include <dbt.h> // after windows.h, whose types it uses

namespace
{
// GUID_DEVINTERFACE_USB_DEVICE: every USB device as it arrives or leaves.
constexpr GUID USB_DEVICE_INTERFACE_CLASS = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

bool IsInterfaceArrivalOrRemoval(WPARAM wParam, LPARAM lParam)
{
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE)
    {
        return false;
    }
    const auto* pHeader = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    return pHeader != nullptr && pHeader->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
}

LRESULT CALLBACK NotifyWindowProc(HWND hWindow, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (nMessage == WM_DEVICECHANGE)
    {
        if (IsInterfaceArrivalOrRemoval(wParam, lParam))
        {
            NotifyDeviceChange();
        }
        return TRUE;
    }
    return ::DefWindowProcA(hWindow, nMessage, wParam, lParam);
}

// A device notification registration, ended with it.
class CNotification
{
public:
    CNotification(HWND hWindow, const GUID& interfaceClass)
    {
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof(filter);
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = interfaceClass;
        m_hNotify = ::RegisterDeviceNotificationA(hWindow, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
    ~CNotification()
    {
        if (m_hNotify != nullptr)
        {
            ::UnregisterDeviceNotification(m_hNotify);
        }
    }
    CNotification(const CNotification&) = delete;
    CNotification& operator=(const CNotification&) = delete;
    bool IsValid() const { return m_hNotify != nullptr; }

private:
    HDEVNOTIFY m_hNotify = nullptr;
};

// The window and its thread, for the life of the process: the destructor ends the message loop
// and waits for the thread.
class CDeviceNotifier
{
public:
    CDeviceNotifier()
    {
        std::promise<bool> started;
        std::future<bool> result = started.get_future();
        m_thread = std::thread(&CDeviceNotifier::Run, this, std::move(started));
        m_bRunning = result.get();
    }
    ~CDeviceNotifier()
    {
        ::PostThreadMessageA(m_nThreadId, WM_QUIT, 0, 0);
        m_thread.join();
    }
    CDeviceNotifier(const CDeviceNotifier&) = delete;
    CDeviceNotifier& operator=(const CDeviceNotifier&) = delete;
    bool IsRunning() const { return m_bRunning; }

private:
    void Run(std::promise<bool> started)
    {
        m_nThreadId = ::GetCurrentThreadId();
        const HINSTANCE hInstance = ::GetModuleHandleA(nullptr);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = NotifyWindowProc;
        windowClass.hInstance = hInstance;
        windowClass.lpszClassName = DEVICE_NOTIFY_WINDOW_CLASS;
        const HWND hWindow = ::RegisterClassA(&windowClass) != 0
                                 ? ::CreateWindowExA(0, DEVICE_NOTIFY_WINDOW_CLASS, "", 0, 0, 0, 0,
                                                     0, HWND_MESSAGE, nullptr, hInstance, nullptr)
                                 : nullptr;
        if (hWindow == nullptr)
        {
            started.set_value(false);
            return;
        }
        {
            const CNotification boards(hWindow, BOOTLOADER_INTERFACE_CLASS);
            const CNotification usbDevices(hWindow, USB_DEVICE_INTERFACE_CLASS);
            // The thread's message queue exists from here on, so the destructor's WM_QUIT
            // cannot be lost.
            MSG message{};
            ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
            started.set_value(boards.IsValid() && usbDevices.IsValid());
            while (::GetMessageA(&message, nullptr, 0, 0) > 0)
            {
                ::DispatchMessageA(&message);
            }
        }
        ::DestroyWindow(hWindow);
        ::UnregisterClassA(DEVICE_NOTIFY_WINDOW_CLASS, hInstance);
    }

    std::thread m_thread;
    DWORD m_nThreadId = 0;
    bool m_bRunning = false;
};
} // namespace

bool StartDeviceNotifications()
{
    static CDeviceNotifier notifier;
    return notifier.IsRunning();
}
