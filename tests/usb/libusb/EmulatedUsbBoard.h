#pragma once
// A board on an emulated USB bus: umockdev shows libusb a device node and sysfs entry, and a
// computed ioctl handler plays the board's USB side (descriptors, strings, bulk endpoints).
// The bootloader behind the bulk endpoints is the shared bootloader core, so the board answers
// exactly as quillon-board does, faults included.
//
// The process must run under umockdev's preload library (umockdev-wrapper), and the testbed
// must exist before libusb starts.

#include "board/BootloaderCore.h"

#include <umockdev.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

// True when the process runs under umockdev's preload library. Otherwise starts the program
// again under umockdev-wrapper (which does not return) and, when that cannot be done, returns
// false: the caller then ends with 77, "skipped".
bool RunningUnderUmockdev(int argc, char** argv);

// The emulated bus; removes everything it holds when it goes.
class CUsbTestbed
{
public:
    CUsbTestbed();
    ~CUsbTestbed();
    CUsbTestbed(const CUsbTestbed&) = delete;
    CUsbTestbed& operator=(const CUsbTestbed&) = delete;

    UMockdevTestbed* Get() const { return m_pTestbed; }
    std::string RootDir() const { return m_strRoot; }
    // Device addresses are handed out in order, as the bus does on every plug-in.
    uint8_t NextAddress() { return ++m_nLastAddress; }

private:
    uint8_t m_nLastAddress = 1; // the root hub's
    UMockdevTestbed* m_pTestbed = nullptr;
    std::string m_strRoot;
};

struct CEmulatedBoardSetup
{
    uint16_t m_nVendor = 0x1209;
    uint16_t m_nProduct = 0x5150;
    std::string m_strManufacturer = "Corvane";
    std::string m_strProduct = "Plinth Bootloader";
    uint16_t m_nMaxPacket = 512; // 512: high speed; 64: full speed
    // Declares the board's interface class in Microsoft OS 2.0 descriptors.
    bool m_bMsOs20 = false;
    uint8_t m_nPort = 2; // the board sits at bus 1, this port of the root hub
    Bootloader::CSettings m_settings;
};

class CEmulatedUsbBoard
{
public:
    CEmulatedUsbBoard(CUsbTestbed& testbed, CEmulatedBoardSetup setup);
    ~CEmulatedUsbBoard();
    CEmulatedUsbBoard(const CEmulatedUsbBoard&) = delete;
    CEmulatedUsbBoard& operator=(const CEmulatedUsbBoard&) = delete;

    // Plugging in adds the device (an "add" event); unplugging removes it ("remove"). Each
    // plug-in gets a new device address, as on a real bus.
    void Plug();
    void Unplug();
    // The mode of the device node, as udev would set it.
    void SetNodeMode(mode_t nMode);

    std::string InterfacePath() const;
    // Every byte the host wrote to the bulk OUT endpoint, and every byte the board sent on IN.
    std::vector<uint8_t> HostBytes() const;
    std::vector<uint8_t> BoardBytes() const;
    void ClearLogs();
    std::vector<uint8_t> Memory() const;
    // The bootloader's unplug fault fired (the board is gone from the bus's point of view).
    bool UnpluggedByFault() const;
    // Stalls the bulk IN endpoint: every IN transfer fails until the host clears the halt.
    void HaltIn();

private:
    struct CUrb;
    static gboolean OnIoctl(UMockdevIoctlBase* pHandler, UMockdevIoctlClient* pClient,
                            gpointer pSelf);
    bool HandleIoctl(UMockdevIoctlClient* pClient);
    void SubmitUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    void ReapUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    void DiscardUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    // Moves bytes between waiting bulk URBs and the bootloader.
    void Pump();
    std::vector<uint8_t> ControlReply(const uint8_t* pSetup);
    std::string DeviceText() const;
    std::string NodePath() const;

    CUsbTestbed& m_testbed;
    CEmulatedBoardSetup m_setup;
    UMockdevIoctlBase* m_pHandler = nullptr;
    std::string m_strSysPath;
    uint8_t m_nAddress = 1;
    bool m_bPlugged = false;

    mutable std::mutex m_mutex;
    Bootloader::CBootloaderCore m_core;
    std::deque<std::shared_ptr<CUrb>> m_waitingOut;
    std::deque<std::shared_ptr<CUrb>> m_waitingIn;
    std::deque<std::shared_ptr<CUrb>> m_done;
    bool m_bGone = false;
    bool m_bInHalted = false;
    std::vector<uint8_t> m_hostBytes;
    std::vector<uint8_t> m_boardBytes;
};
