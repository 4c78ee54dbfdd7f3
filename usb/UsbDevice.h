#pragma once
// Boards in bootloader mode: discovery, the connection to one board, and the four
// bootloader commands. No user interface: results are plain values.

#include "usb/BootloaderProtocol.h"
#include "usb/PipeLayer.h"

#include <cstdint>
#include <string>
#include <vector>

// The device interface class under which a board's bootloader interface is registered.
inline constexpr char GUID_DEVINTERFACE_BOOTLOADER[] = "{E6EF7DCD-1795-4A08-9FBF-AA78423C26F0}";

constexpr uint32_t MAX_READ_ATTEMPTS = 5;
constexpr size_t MAX_DESCRIPTION_LENGTH = 1023;
inline constexpr char READ_PIPE_SUFFIX[] = "\\PIPE01";  // board to host
inline constexpr char WRITE_PIPE_SUFFIX[] = "\\PIPE00"; // host to board

// One found board. Records from discovery hold no open pipe; a copy takes the strings only.
class CUsbDeviceInfo
{
public:
    CUsbDeviceInfo() = default;
    CUsbDeviceInfo(const std::string& strDevicePath, const std::string& strDescription);
    CUsbDeviceInfo(const CUsbDeviceInfo& other);
    CUsbDeviceInfo& operator=(const CUsbDeviceInfo& other);
    CUsbDeviceInfo(CUsbDeviceInfo&&) noexcept = default;
    CUsbDeviceInfo& operator=(CUsbDeviceInfo&&) noexcept = default;
    ~CUsbDeviceInfo();

    std::string m_strDevicePath;
    std::string m_strDescription;
    CPipeHandle m_hReadPipe;
    CPipeHandle m_hWritePipe;
};

using CUsbDeviceList = std::vector<CUsbDeviceInfo>;

// Every present interface of the board class, each as one record, in the backends' order.
CUsbDeviceList EnumerateDevices();

// The connection to one board. Each command opens the pipes, exchanges its bytes and closes them.
class CUsbDevice : public CUsbDeviceInfo
{
public:
    explicit CUsbDevice(CUsbDeviceInfo info);
    ~CUsbDevice();
    CUsbDevice(const CUsbDevice&) = delete;
    CUsbDevice& operator=(const CUsbDevice&) = delete;

    bool OpenPipes();
    void ClosePipes();
    uint32_t ReadPipe(uint32_t nCount, void* pBuffer);
    uint32_t WritePipe(const void* pBuffer, uint32_t nCount);
    bool WriteLength(uint32_t nValue);

    bool SendData(const void* pData, uint32_t nCount);
    bool ReceiveData(uint32_t nCount, void* pBuffer);
    std::string GetVersion();
    bool Execute();

    // Called between the pieces of a data block on the wire; may abandon the transfer.
    void SetProgress(PipeProgress fnProgress) { m_fnProgress = std::move(fnProgress); }
    // Why the last command failed, errno-style (EPROTO for a wrong reply byte); 0 after success.
    int LastError() const { return m_nLastError; }
    // The reply byte that made the last command fail, or -1.
    int LastReply() const { return m_nLastReply; }
    // Why the last command failed, in words for a person: the wrong reply byte and the one
    // expected, the time-out, or the system's text for the error. Empty after success.
    std::string FailureReason() const;
    // True when the last command failed because there is no board behind the path (the
    // directory went away, nobody listens on its sockets, the device was unplugged): such a
    // board is treated as absent, not as one that failed.
    bool BoardAbsent() const;
    // Whether a board is behind the path, asked without a command: only the board-to-host pipe
    // is opened and closed again, which begins no session and moves no byte. False only for a
    // board that is absent as BoardAbsent tells it.
    bool Present();

private:
    bool AcknowledgedStep(uint32_t nWritten, uint32_t nAsked, uint8_t nExpected);
    bool BeginBlock(uint8_t nCommand, uint32_t nCount, const void* pBuffer);
    uint32_t ReadBlock(uint32_t nCount, void* pBuffer, const PipeProgress* pProgress);

    PipeProgress m_fnProgress;
    int m_nLastError = 0;
    int m_nLastReply = -1;
    int m_nExpectedReply = -1;
};
