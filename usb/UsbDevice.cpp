#include "usb/UsbDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace
{
// Why a pipe came back short: a raised stop says more than whatever the pipe saw.
int PipeError(const CPipeHandle& hPipe, int nDefault)
{
    if (PipeCancelRaised())
    {
        return ECANCELED;
    }
    const int nError = hPipe.IsValid() ? hPipe.Get()->LastError() : 0;
    return nError != 0 ? nError : nDefault;
}
} // namespace

CUsbDeviceInfo::CUsbDeviceInfo(const std::string& strDevicePath, const std::string& strDescription)
{
    if (!strDevicePath.empty())
    {
        m_strDevicePath = strDevicePath;
        m_strDescription = strDescription;
    }
}

// Records are copied only while they hold no open pipe, so a copy takes the strings alone:
// a pipe has exactly one owner.
CUsbDeviceInfo::CUsbDeviceInfo(const CUsbDeviceInfo& other)
    : m_strDevicePath(other.m_strDevicePath), m_strDescription(other.m_strDescription)
{
}

CUsbDeviceInfo& CUsbDeviceInfo::operator=(const CUsbDeviceInfo& other)
{
    if (this != &other)
    {
        m_hReadPipe.Close();
        m_hWritePipe.Close();
        m_strDevicePath = other.m_strDevicePath;
        m_strDescription = other.m_strDescription;
    }
    return *this;
}

CUsbDeviceInfo::~CUsbDeviceInfo()
{
    m_hReadPipe.Close();
    m_hWritePipe.Close();
}

CUsbDeviceList EnumerateDevices()
{
    CUsbDeviceList devices;
    for (const CInterfaceEntry& entry : PipeLayer::ListInterfaces())
    {
        const std::string strPath = entry.m_bPathOk ? entry.m_strPath : std::string();
        // A description that does not fit the device's text buffer is dropped, never cut.
        const bool bDescriptionFits =
            entry.m_bDescriptionOk && entry.m_strDescription.size() <= MAX_DESCRIPTION_LENGTH;
        devices.emplace_back(strPath, bDescriptionFits ? entry.m_strDescription : std::string());
    }
    return devices;
}

CUsbDevice::CUsbDevice(CUsbDeviceInfo info)
{
    if (!info.m_strDevicePath.empty())
    {
        m_strDevicePath = std::move(info.m_strDevicePath);
        m_strDescription = std::move(info.m_strDescription);
        m_hReadPipe = std::move(info.m_hReadPipe);
        m_hWritePipe = std::move(info.m_hWritePipe);
    }
}

CUsbDevice::~CUsbDevice()
{
    ClosePipes();
}

bool CUsbDevice::OpenPipes()
{
    // A command that stopped on a bad reply may have left the pipes open.
    ClosePipes();
    int nReadError = 0;
    int nWriteError = 0;
    m_hReadPipe = PipeLayer::OpenPipe(m_strDevicePath + READ_PIPE_SUFFIX, &nReadError);
    // The write pipe is opened also when the read pipe failed, unless that failure was a wait
    // that ran out or was stopped: a second wait of the same kind would only double it.
    if (m_hReadPipe.IsValid() || (nReadError != ETIMEDOUT && nReadError != ECANCELED))
    {
        m_hWritePipe = PipeLayer::OpenPipe(m_strDevicePath + WRITE_PIPE_SUFFIX, &nWriteError);
    }
    if (!m_hReadPipe.IsValid() || !m_hWritePipe.IsValid())
    {
        m_nLastError = !m_hReadPipe.IsValid() ? nReadError : nWriteError;
        if (m_nLastError == 0)
        {
            m_nLastError = ENODEV;
        }
        ClosePipes();
        return false;
    }
    return true;
}

void CUsbDevice::ClosePipes()
{
    m_hReadPipe.Close();
    m_hWritePipe.Close();
}

uint32_t CUsbDevice::ReadPipe(uint32_t nCount, void* pBuffer)
{
    return ReadBlock(nCount, pBuffer, nullptr);
}

uint32_t CUsbDevice::ReadBlock(uint32_t nCount, void* pBuffer, const PipeProgress* pProgress)
{
    if (pBuffer == nullptr || nCount == 0 || !m_hReadPipe.IsValid())
    {
        return 0;
    }
    auto* pBytes = static_cast<uint8_t*>(pBuffer);
    uint32_t nReceived = 0;
    // The attempts of one read share one time-out: a reply that never comes fails after the
    // time-out, not after five of them. Attempts after a read that came back short for
    // another reason still get the time that is left.
    auto silentSince = std::chrono::steady_clock::now();
    for (uint32_t nAttempt = 0; nAttempt < MAX_READ_ATTEMPTS && nReceived < nCount; ++nAttempt)
    {
        if (PipeCancelRaised())
        {
            break;
        }
        // Progress is reported for the whole block, across attempts.
        PipeProgress fnBlockProgress;
        if (pProgress != nullptr && *pProgress)
        {
            fnBlockProgress = [pProgress, nReceived, nCount](uint64_t nDone, uint64_t)
            { return (*pProgress)(nReceived + nDone, nCount); };
        }
        IPipe* pPipe = m_hReadPipe.Get();
        const uint32_t nGot =
            pPipe->ReadAfterSilence(pBytes + nReceived, nCount - nReceived,
                                    fnBlockProgress ? &fnBlockProgress : nullptr, silentSince);
        nReceived += nGot;
        const int nError = pPipe->LastError();
        // A stalled pipe is the board's answer, not its silence: another attempt would only
        // wait out the time-out before the same failure.
        if (nError == ECANCELED || nError == EPIPE)
        {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (nError == ETIMEDOUT)
        {
            // The pipe waited a whole time-out since its last byte: none of it is left.
            silentSince =
                std::min(silentSince, now - std::chrono::milliseconds(GetPipeTimeoutMs()));
        }
        else if (nGot > 0)
        {
            silentSince = now;
        }
    }
    return nReceived;
}

uint32_t CUsbDevice::WritePipe(const void* pBuffer, uint32_t nCount)
{
    if (pBuffer == nullptr || nCount == 0 || !m_hWritePipe.IsValid())
    {
        return 0;
    }
    return m_hWritePipe.Get()->Write(pBuffer, nCount, nullptr);
}

bool CUsbDevice::WriteLength(uint32_t nValue)
{
    if (!m_hWritePipe.IsValid())
    {
        return false;
    }
    const uint8_t bytes[4] = {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8),
                              static_cast<uint8_t>(nValue >> 16),
                              static_cast<uint8_t>(nValue >> 24)};
    return m_hWritePipe.Get()->Write(bytes, sizeof bytes, nullptr) == sizeof bytes;
}

// One acknowledged step after its write: a short write, a missing reply and a wrong reply all
// end the command, so a board that went away is never reported as having taken the data.
bool CUsbDevice::AcknowledgedStep(uint32_t nWritten, uint32_t nAsked, uint8_t nExpected)
{
    if (nWritten < nAsked)
    {
        m_nLastError = PipeError(m_hWritePipe, EIO);
        return false;
    }
    uint8_t nReply = 0;
    if (ReadPipe(1, &nReply) != 1)
    {
        m_nLastError = PipeError(m_hReadPipe, ETIMEDOUT);
        return false;
    }
    if (nReply != nExpected)
    {
        m_nLastReply = nReply;
        m_nExpectedReply = nExpected;
        m_nLastError = EPROTO;
        return false;
    }
    return true;
}

// The first two acknowledged steps of a block command: the command byte, then the length.
bool CUsbDevice::BeginBlock(uint8_t nCommand, uint32_t nCount, const void* pBuffer)
{
    m_nLastError = 0;
    m_nLastReply = -1;
    m_nExpectedReply = -1;
    if (pBuffer == nullptr && nCount != 0)
    {
        m_nLastError = EINVAL;
        return false;
    }
    return OpenPipes() && AcknowledgedStep(WritePipe(&nCommand, 1), 1, REPLY_READY) &&
           AcknowledgedStep(WriteLength(nCount) ? 4 : 0, 4, REPLY_READY);
}

bool CUsbDevice::SendData(const void* pData, uint32_t nCount)
{
    if (!BeginBlock(CMD_SEND, nCount, pData))
    {
        return false;
    }
    uint32_t nWritten = 0;
    if (nCount != 0 && m_hWritePipe.IsValid())
    {
        nWritten = m_hWritePipe.Get()->Write(pData, nCount, m_fnProgress ? &m_fnProgress : nullptr);
    }
    if (!AcknowledgedStep(nWritten, nCount, REPLY_DONE))
    {
        return false;
    }
    ClosePipes();
    return true;
}

bool CUsbDevice::ReceiveData(uint32_t nCount, void* pBuffer)
{
    if (!BeginBlock(CMD_RECEIVE, nCount, pBuffer))
    {
        return false;
    }
    const uint32_t nReceived = ReadBlock(nCount, pBuffer, m_fnProgress ? &m_fnProgress : nullptr);
    if (nReceived < nCount)
    {
        // The rest of the caller's buffer is not data: never let it pass as such.
        m_nLastError = PipeError(m_hReadPipe, ETIMEDOUT);
        return false;
    }
    if (!AcknowledgedStep(0, 0, REPLY_DONE))
    {
        return false;
    }
    ClosePipes();
    return true;
}

std::string CUsbDevice::GetVersion()
{
    m_nLastError = 0;
    m_nLastReply = -1;
    m_nExpectedReply = -1;
    if (!OpenPipes())
    {
        return std::string();
    }
    std::string strVersion;
    const uint8_t nCommand = CMD_VERSION;
    if (WritePipe(&nCommand, 1) == 1)
    {
        char reply[VERSION_REPLY_SIZE] = {};
        if (ReadPipe(VERSION_REPLY_SIZE, reply) == VERSION_REPLY_SIZE)
        {
            strVersion.assign(reply, strnlen(reply, VERSION_REPLY_SIZE));
        }
        else
        {
            m_nLastError = PipeError(m_hReadPipe, ETIMEDOUT);
        }
    }
    else
    {
        m_nLastError = PipeError(m_hWritePipe, EIO);
    }
    ClosePipes();
    return strVersion;
}

bool CUsbDevice::Execute()
{
    m_nLastError = 0;
    m_nLastReply = -1;
    m_nExpectedReply = -1;
    if (!OpenPipes())
    {
        return false;
    }
    const uint8_t nCommand = CMD_EXECUTE;
    if (!AcknowledgedStep(WritePipe(&nCommand, 1), 1, REPLY_DONE))
    {
        return false;
    }
    ClosePipes();
    return true;
}

bool CUsbDevice::Present()
{
    ClosePipes();
    m_nLastError = 0;
    m_hReadPipe = PipeLayer::OpenPipe(m_strDevicePath + READ_PIPE_SUFFIX, &m_nLastError);
    const bool bOpened = m_hReadPipe.IsValid();
    ClosePipes();
    if (bOpened)
    {
        m_nLastError = 0;
    }
    return bOpened || !BoardAbsent();
}

namespace
{
std::string DescribeByte(int nByte)
{
    char szText[24];
    if (nByte >= 0x20 && nByte < 0x7F)
    {
        std::snprintf(szText, sizeof szText, "'%c' (0x%02X)", nByte, nByte);
    }
    else
    {
        std::snprintf(szText, sizeof szText, "0x%02X", nByte);
    }
    return szText;
}
} // namespace

std::string CUsbDevice::FailureReason() const
{
    switch (m_nLastError)
    {
    case 0:
        return std::string();
    case EPROTO:
        if (m_nLastReply >= 0)
        {
            return "the board answered " + DescribeByte(m_nLastReply) + " where " +
                   DescribeByte(m_nExpectedReply) + " was expected";
        }
        break;
    case ETIMEDOUT:
        return "the board did not answer within " + std::to_string(GetPipeTimeoutMs()) +
               " ms (--timeout)";
    case ECONNRESET:
        return "the board closed the connection (it was detached or reset)";
    case ECANCELED:
        return "stopped by request";
    case EPIPE:
        return std::string(std::strerror(EPIPE)) + ": the board stalled the pipe or closed it";
    default:
        break;
    }
    return std::strerror(m_nLastError);
}

bool CUsbDevice::BoardAbsent() const
{
    return m_nLastError == ENOENT || m_nLastError == ENOTDIR || m_nLastError == ECONNREFUSED ||
           m_nLastError == ENODEV || m_nLastError == ENXIO;
}
