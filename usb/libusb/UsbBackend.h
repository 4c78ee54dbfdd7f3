#pragma once
// The pipe-layer backend for boards on a real USB bus, through libusb-1.0.
//
// A board is a device on the id list (UsbBoardIds.h) or one whose Microsoft OS descriptors
// declare the board's interface class. Its interface path names the bus and port it is plugged
// into ("usb:1-2.4"); "<path>\PIPE00" is the first bulk OUT endpoint of its bootloader
// interface and "<path>\PIPE01" the first bulk IN endpoint. Both pipes of a board share one
// opened device with the interface claimed; closing the second releases it.
//
// libusb is started on first use; when it cannot start (no USB bus) the backend lists nothing
// and other backends are unaffected. While it runs, a small thread handles libusb's events
// and reports arrivals and removals with NotifyDeviceChange.

#include "usb/PipeLayer.h"
#include "usb/libusb/UsbBoardIds.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct libusb_context;
struct libusb_device;
class CUsbConnection;

// How long a board that has just appeared may refuse to be opened before it is reported as a
// permission problem: udev applies the access rule a moment after the device node appears.
constexpr uint32_t USB_ACCESS_GRACE_MS = 1500;
constexpr uint32_t USB_ACCESS_RETRY_MS = 100;

class CUsbBackend : public IPipeBackend
{
public:
    CUsbBackend();
    ~CUsbBackend() override;
    CUsbBackend(const CUsbBackend&) = delete;
    CUsbBackend& operator=(const CUsbBackend&) = delete;

    std::vector<CInterfaceEntry> ListInterfaces() override;
    bool OwnsPipeName(const std::string& strPipeName) const override;
    std::unique_ptr<IPipe> OpenPipe(const std::string& strPipeName, int* pError) override;
    // The board's device node, where the system has one that its users can lock.
    std::string SharedLockFile(const std::string& strInterfacePath) override;

    // Boards present that this user may not open (see UsbRefusedBoards).
    std::vector<CUsbRefusedBoard> RefusedBoards(bool bWait = true);
    // True once libusb runs and reports arrivals and removals by itself; the user interface
    // polls otherwise.
    bool HotplugActive() const { return m_bHotplug.load(); }
    // Starts libusb and its event thread now rather than at the first listing; HotplugActive.
    bool Start();

private:
    struct CContext;
    enum class EAccess
    {
        Unknown,
        Open,
        Refused,
    };
    // What the backend learnt of one plugged device; forgotten when it goes away.
    struct CSeen
    {
        uint8_t m_nAddress = 0;
        uint16_t m_nVendor = 0;
        uint16_t m_nProduct = 0;
        bool m_bProbed = false;    // the OS descriptors were looked at (once per plug-in)
        int m_nGuidInterface = -2; // -2: not declared; -1: whole device; else the interface
        EAccess m_eAccess = EAccess::Unknown;
        std::string m_strDescription;
        std::chrono::steady_clock::time_point m_firstSeen;
    };

    std::shared_ptr<CContext> Context();
    void StartHotplug(const std::shared_ptr<CContext>& pContext);
    void StopHotplug();
    void EventLoop(std::shared_ptr<CContext> pContext);
    // Looks at one device; true when it is a board, with m_eAccess telling whether it opens.
    bool Inspect(libusb_device* pDevice, CSeen* pSeen, bool bIdListed);
    bool TryOpen(libusb_device* pDevice, CSeen* pSeen);

    mutable std::mutex m_mutex;
    std::shared_ptr<CContext> m_pContext;
    std::chrono::steady_clock::time_point m_lastInitFailure;
    bool m_bInitFailed = false;
    std::map<std::string, CSeen> m_seen; // by interface path
    std::map<std::string, std::weak_ptr<CUsbConnection>> m_connections;

    std::thread m_eventThread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bChanged{false};
    std::atomic<bool> m_bHotplug{false};
    int m_nHotplugHandle = 0;
};

// The USB backend of the running program (one per process).
CUsbBackend& DefaultUsbBackend();

// The same as the pipe layer's backend list takes it; null in a build without libusb.
IPipeBackend* UsbBoardBackend();
// Starts the USB backend's own watch of the bus: true when it reports arrivals and removals
// by itself, and in a build without libusb, where there is no bus to watch.
bool UsbReportsArrivals();
