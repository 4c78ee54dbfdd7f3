// The pipes over an opened board: bulk transfers waited for in short slices, so that a stop of
// the pipe layer and the inactivity time-out are both seen while a board is silent.

#include "usb/libusb/UsbBackendLibusb.h"

#include "usb/libusb/UsbDescriptors.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

using UsbLibusb::ErrnoFromLibusb;

namespace
{
// Longest single wait of a bulk transfer: how soon a stop is seen while a board is silent.
constexpr unsigned TRANSFER_SLICE_MS = 100;
} // namespace

CUsbConnection::~CUsbConnection()
{
    libusb_release_interface(m_pHandle, m_pair.m_nInterface);
    if (m_bDetached)
    {
        libusb_attach_kernel_driver(m_pHandle, m_pair.m_nInterface);
    }
    libusb_close(m_pHandle);
}

namespace
{
// One direction of an opened board. Reads ask the device for whole packets: bytes of a packet
// beyond what the caller asked for are kept for the next read, so no byte the board sent is lost.
class CUsbPipe : public IPipe
{
public:
    CUsbPipe(std::shared_ptr<CUsbConnection> pConnection, bool bIn)
        : m_pConnection(std::move(pConnection)), m_bIn(bIn)
    {
        const UsbLibusb::CBulkPair& pair = m_pConnection->Endpoints();
        m_nEndpoint = bIn ? pair.m_nIn : pair.m_nOut;
        m_nMaxPacket = std::max<uint16_t>(1, bIn ? pair.m_nInPacket : pair.m_nOutPacket);
    }

    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        return ReadAfterSilence(pBuffer, nCount, pProgress, std::chrono::steady_clock::now());
    }

    uint32_t ReadAfterSilence(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress,
                              std::chrono::steady_clock::time_point silentSince) override
    {
        m_nError = 0;
        m_lastProgress = silentSince;
        if (!m_bIn)
        {
            m_nError = EBADF;
            return 0;
        }
        if (pBuffer == nullptr || nCount == 0)
        {
            return 0;
        }
        auto* pBytes = static_cast<uint8_t*>(pBuffer);
        uint32_t nDone = TakeSpare(pBytes, nCount);
        while (nDone < nCount)
        {
            const uint32_t nRemaining = nCount - nDone;
            const bool bDirect = nRemaining >= m_nMaxPacket;
            uint8_t* pTarget = pBytes + nDone;
            uint32_t nAsk = UsbPieceSize(nRemaining, m_nMaxPacket);
            if (!bDirect)
            {
                m_spare.assign(m_nMaxPacket, 0);
                m_nSpareAt = m_nSpareEnd = 0;
                pTarget = m_spare.data();
                nAsk = m_nMaxPacket;
            }
            int nGot = 0;
            const int nResult = Transfer(pTarget, nAsk, &nGot);
            if (bDirect)
            {
                nDone += static_cast<uint32_t>(nGot);
            }
            else
            {
                m_nSpareEnd = static_cast<size_t>(nGot);
                nDone += TakeSpare(pBytes + nDone, nRemaining);
            }
            if (!Continue(nResult, nGot, nDone, nCount, pProgress))
            {
                break;
            }
        }
        return nDone;
    }

    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        m_nError = 0;
        if (m_bIn)
        {
            m_nError = EBADF;
            return 0;
        }
        if (pBuffer == nullptr || nCount == 0)
        {
            return 0;
        }
        m_lastProgress = std::chrono::steady_clock::now();
        // libusb takes a non-const buffer for both directions; an OUT transfer only reads it.
        auto* pBytes = static_cast<uint8_t*>(const_cast<void*>(pBuffer));
        uint32_t nDone = 0;
        while (nDone < nCount)
        {
            int nGot = 0;
            const int nResult =
                Transfer(pBytes + nDone, UsbPieceSize(nCount - nDone, m_nMaxPacket), &nGot);
            nDone += static_cast<uint32_t>(nGot);
            if (!Continue(nResult, nGot, nDone, nCount, pProgress))
            {
                break;
            }
        }
        return nDone;
    }

    int LastError() const override { return m_nError; }

private:
    // One piece, waited for in slices so that the pipe layer's stop is seen soon: a slice
    // that moved nothing while time is left is made again; the inactivity time-out counts from
    // the last piece that moved bytes.
    int Transfer(uint8_t* pData, uint32_t nSize, int* pnGot)
    {
        for (;;)
        {
            *pnGot = 0;
            if (PipeCancelRaised())
            {
                return LIBUSB_ERROR_INTERRUPTED;
            }
            const int nLeftMs = RemainingPipeWaitMs(m_lastProgress);
            if (nLeftMs == 0)
            {
                return LIBUSB_ERROR_TIMEOUT;
            }
            const unsigned nSliceMs =
                nLeftMs < 0 ? TRANSFER_SLICE_MS : std::min<unsigned>(nLeftMs, TRANSFER_SLICE_MS);
            const int nResult = libusb_bulk_transfer(m_pConnection->Handle(), m_nEndpoint, pData,
                                                     static_cast<int>(nSize), pnGot, nSliceMs);
            if (*pnGot > 0)
            {
                m_lastProgress = std::chrono::steady_clock::now();
            }
            if (nResult == LIBUSB_ERROR_TIMEOUT && *pnGot == 0)
            {
                continue;
            }
            if (nResult == LIBUSB_ERROR_PIPE)
            {
                // A stalled endpoint stays stalled until cleared; clear it so the next command
                // starts clean, and report this one.
                libusb_clear_halt(m_pConnection->Handle(), m_nEndpoint);
            }
            return nResult;
        }
    }

    // Whether to go on after a piece. A time-out that still moved bytes is progress: the
    // inactivity time-out starts again.
    bool Continue(int nResult, int nGot, uint32_t nDone, uint32_t nCount,
                  const PipeProgress* pProgress)
    {
        if (nResult != LIBUSB_SUCCESS && !(nResult == LIBUSB_ERROR_TIMEOUT && nGot > 0))
        {
            m_nError = PipeCancelRaised() ? ECANCELED : ErrnoFromLibusb(nResult);
            return false;
        }
        if (pProgress != nullptr && !(*pProgress)(nDone, nCount) && nDone < nCount)
        {
            m_nError = ECANCELED;
            return false;
        }
        return true;
    }

    uint32_t TakeSpare(uint8_t* pTarget, uint32_t nWanted)
    {
        const size_t nTake = std::min<size_t>(nWanted, m_nSpareEnd - m_nSpareAt);
        if (nTake > 0)
        {
            std::memcpy(pTarget, m_spare.data() + m_nSpareAt, nTake);
            m_nSpareAt += nTake;
        }
        return static_cast<uint32_t>(nTake);
    }

    std::shared_ptr<CUsbConnection> m_pConnection;
    bool m_bIn;
    uint8_t m_nEndpoint = 0;
    uint16_t m_nMaxPacket = 1;
    std::vector<uint8_t> m_spare;
    size_t m_nSpareAt = 0;
    size_t m_nSpareEnd = 0;
    int m_nError = 0;
    std::chrono::steady_clock::time_point m_lastProgress;
};
} // namespace

std::unique_ptr<IPipe> MakeUsbPipe(std::shared_ptr<CUsbConnection> pConnection, bool bIn)
{
    return std::make_unique<CUsbPipe>(std::move(pConnection), bIn);
}
