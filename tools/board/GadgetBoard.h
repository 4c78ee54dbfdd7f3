#pragma once
// A board that is a real USB device (Linux): a configfs gadget (UsbGadget.h) whose FunctionFS
// function serves the bootloader on its bulk endpoints, ep1 (OUT, PIPE00) and ep2 (IN, PIPE01).
// The bootloader and its faults are the same as a virtual board's (BoardSession.h); only the
// bytes travel differently.
//
// Transfers are asynchronous (Linux AIO, finished ones signalled on an eventfd) so that one
// poll loop serves the endpoints, the function's events on ep0 and the bootloader's own timers.
// A session is the time between the host configuring the device and its disconnect, reset or
// deconfiguration; there is only ever one host, so no idle host is dropped.

#include "board/PolledBoard.h"
#include "board/SocketBoard.h"
#include "board/UsbGadget.h"

#include <linux/aio_abi.h>

#include <optional>
#include <string>
#include <vector>

// Linux AIO's context of one board. Destroying it waits until every transfer queued on it has
// finished, so none writes into memory freed after it.
class CAioContext
{
public:
    CAioContext() = default;
    ~CAioContext() { Reset(); }
    CAioContext(const CAioContext&) = delete;
    CAioContext& operator=(const CAioContext&) = delete;

    // False with errno set when the kernel gives no context.
    bool Open(unsigned nEvents);
    aio_context_t Get() const { return m_context; }
    bool IsOpen() const { return m_context != 0; }
    void Reset();

private:
    aio_context_t m_context = 0;
};

class CGadgetBoard : public CPolledBoard
{
public:
    CGadgetBoard(CBoardConfig config, std::string strSaveDir, CWireLog* pLog,
                 CGadgetRoots roots = {});
    ~CGadgetBoard() override;

    bool Attach(std::string* pstrError) override;
    // Leaves the bus and removes the gadget.
    void Detach();
    bool IsAttached() const override { return !m_strPath.empty(); }
    const std::string& Path() const override { return m_strPath; }

    void AddPollFds(std::vector<pollfd>& fds) override;
    void Handle(const pollfd* pFds, size_t nCount) override;
    std::optional<Bootloader::Clock::time_point> NextDeadline() const override;

protected:
    bool IsConnected(int) const override { return m_bSessionActive; }
    void CloseConnections() override;
    bool ConnectionsStillOpen() override { return m_bSessionActive; }

private:
    // One asynchronous transfer on an endpoint; aio_data tells the session it belongs to.
    struct CTransfer
    {
        iocb m_iocb{};
        bool m_bPending = false;
        bool m_bDirect = false; // a read straight into the bootloader's memory
    };

    bool SetUpFunction(std::string* pstrError);
    void CloseFunction();
    void ReadEvents();
    void ReapTransfers();
    void Finished(CTransfer& transfer, int64_t nResult);
    void Pump();
    // Hands bytes that a read brought beyond what the bootloader took then; true when any moved.
    bool FeedStaged(Bootloader::Clock::time_point now);
    bool Submit(CTransfer& transfer, int nFd, uint16_t nOpcode, void* pData, size_t nSize);
    void StartSession();
    void StallHost();
    // The execute was answered: off the bus, as a board that starts its program.
    void LeaveBus();
    void ComeBack();

    CUsbGadget m_gadget;   // first: removed once everything below has closed
    std::string m_strPath; // empty while not attached
    CSocketFd m_ep0;
    CSocketFd m_epOut;
    CSocketFd m_epIn;
    CSocketFd m_eventFd; // counts finished transfers
    size_t m_nFirstFd = 0;
    CTransfer m_read;
    CTransfer m_write;
    uint64_t m_nGeneration = 0;   // counts sessions; a transfer of an old one is dropped
    bool m_bConfigured = false;   // the host has configured the device
    bool m_bStartPending = false; // a session starts once the old one's transfers are done
    bool m_bStallPending = false; // the stall fault fired and the pipe is not stalled yet
    size_t m_nPiece;              // the largest transfer; halved when the kernel lacks memory
    std::vector<uint8_t> m_stage; // one read's bytes the bootloader did not take at once
    size_t m_nStageAt = 0;
    size_t m_nStageEnd = 0;
    std::optional<Bootloader::Clock::time_point> m_leaveAt;  // off the bus then
    std::optional<Bootloader::Clock::time_point> m_comeBack; // back on the bus then
    std::string m_strLastUdc;                                // where it comes back
    bool m_bGone = false;                                    // left the bus for good
    CAioContext m_aio; // last: its transfers end before any buffer above goes
};
