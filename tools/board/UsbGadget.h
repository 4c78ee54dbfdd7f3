#pragma once
// A USB gadget made with the Linux kernel's configfs: one configuration holding one FunctionFS
// function, whose endpoints the board program serves from user space, bound to a USB device
// controller (UDC) so that the computer at the other end of the cable sees a USB device.
//
// The gadget is /sys/kernel/config/usb_gadget/quillon-NAME, its function ffs.quillon-NAME,
// mounted at /run/quillon-board/quillon-NAME; a lock beside the mount keeps a second program
// off the same board and lets the next one remove what a killed one left behind. It gives
// Microsoft OS 1.0 descriptors (configfs os_desc, "MSFT100"), which is what a Linux gadget can
// give: Windows then binds WinUSB to the interface by itself and names it by the interface GUID
// that the function's descriptors declare.

#include "usb/libusb/UsbBoardIds.h"

#include <cstdint>
#include <string>
#include <vector>

// Where the kernel's interfaces are; tests point them into a directory of their own.
struct CGadgetRoots
{
    std::string m_strConfigfs = "/sys/kernel/config";
    std::string m_strUdcClass = "/sys/class/udc";
    std::string m_strRun = "/run/quillon-board"; // mount points and locks
    std::string m_strMounts = "/proc/self/mounts";
    std::string m_strFilesystems = "/proc/filesystems";
};

struct CGadgetIdentity
{
    CUsbBoardId m_id;
    std::string m_strManufacturer;
    std::string m_strProduct;
    std::string m_strSerial;
};

// The vendor request code of the gadget's Microsoft OS 1.0 descriptors.
inline constexpr uint8_t GADGET_MS_VENDOR_CODE = 0xCD;
// configfs gadget names are "quillon-" and the board's name; the kernel takes at most this many
// characters for the name of a FunctionFS instance.
inline constexpr size_t GADGET_MAX_INSTANCE_NAME = 40;

// What keeps a gadget from being made here, as one message that says how to get it; empty when
// nothing does. Looks at configfs and its mount, the kernel's gadget support and the device
// controllers; what only trying reveals (FunctionFS, root) is said by CUsbGadget::Create.
std::string GadgetPrerequisiteProblem(const CGadgetRoots& roots);

// The device controller a gadget is to use: strWanted when it exists and no gadget uses it,
// else (strWanted empty) the first free one in byte order. Empty with a message in *pstrError
// that names the controllers there are and who uses them.
std::string ChooseUdc(const CGadgetRoots& roots, const std::string& strWanted,
                      std::string* pstrError);

// The function's descriptors for FunctionFS: one vendor-specific interface with a bulk OUT
// endpoint (ep1, PIPE00) and a bulk IN endpoint (ep2, PIPE01), 64-byte packets at full speed and
// 512 at high speed, and the Microsoft OS descriptors: compatible id WINUSB and the property
// DeviceInterfaceGUID (a string: Linux gadgets cannot give the multi-string DeviceInterfaceGUIDs).
std::vector<uint8_t> FunctionFsDescriptors(const std::string& strInterfaceGuid);
// The function's strings: the interface's name, in US English.
std::vector<uint8_t> FunctionFsStrings(const std::string& strInterface);

class CUsbGadget
{
public:
    CUsbGadget(std::string strBoardName, CGadgetRoots roots = {});
    ~CUsbGadget();
    CUsbGadget(const CUsbGadget&) = delete;
    CUsbGadget& operator=(const CUsbGadget&) = delete;

    // Takes the board's lock, removes a gadget of the same name that a killed program left, makes
    // the gadget in configfs and mounts its FunctionFS. False with a message in *pstrError that
    // says what is missing and how to get it.
    bool Create(const CGadgetIdentity& identity, std::string* pstrError);
    // Where the function's ep0, ep1 and ep2 are once Create succeeded.
    const std::string& FunctionFsDir() const { return m_strMountPoint; }
    // The gadget's directory in configfs.
    const std::string& Path() const { return m_strGadget; }

    // Connects the gadget through strUdc (empty: the first free controller); the descriptors
    // must have been written to ep0 first. False with a message in *pstrError.
    bool Bind(const std::string& strUdc, std::string* pstrError);
    // Disconnects it from the bus; the gadget stays made.
    void Unbind();
    bool IsBound() const { return !m_strUdc.empty(); }
    const std::string& Udc() const { return m_strUdc; }

    // Unbinds, unmounts and removes everything Create made (the function's files must be
    // closed first), then releases the lock.
    void Remove();

private:
    // Remove without releasing the lock.
    void RemoveGadget();

    std::string m_strName; // "quillon-" and the board's name
    CGadgetRoots m_roots;
    std::string m_strGadget;
    std::string m_strMountPoint;
    std::string m_strUdc;
    int m_nLockFd = -1;
    bool m_bMounted = false;
};
