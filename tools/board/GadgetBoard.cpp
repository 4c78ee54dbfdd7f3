#include "board/GadgetBoard.h"

#include "usb/UsbDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{
// Reads that may end before they are full go into a buffer of one high-speed packet, which is
// also a whole number of full-speed packets: FunctionFS asks the controller for whole packets
// and would drop what a packet brings beyond the read.
constexpr size_t STAGE_SIZE = 512;
// The largest single transfer: FunctionFS copies it through one kernel buffer of that size.
constexpr size_t MAX_PIECE = 64 * 1024;
// Reads or writes this many times per turn at most, so one board cannot starve the others.
constexpr int MAX_PUMP_ROUNDS = 64;
constexpr auto RETRY_BIND = std::chrono::seconds(1);
// A controller may report an answer sent once it sits in its FIFO, before the host has read it
// (dummy_hcd does for short ones): a board that starts its program leaves the bus this long
// after its answer to the execute, so that the host has it.
constexpr auto LEAVE_AFTER_ANSWER = std::chrono::milliseconds(200);

constexpr char MANUFACTURER[] = "Corvane";
constexpr char PRODUCT[] = "Plinth Bootloader";
constexpr char INTERFACE_NAME[] = "Plinth bootloader";

int IoSubmit(aio_context_t context, iocb* pIocb)
{
    iocb* list[1] = {pIocb};
    return static_cast<int>(::syscall(SYS_io_submit, context, 1L, list));
}

int IoGetEvents(aio_context_t context, io_event* pEvents, long nMax, timespec* pTimeout)
{
    return static_cast<int>(::syscall(SYS_io_getevents, context, 0L, nMax, pEvents, pTimeout));
}

int IoCancel(aio_context_t context, iocb* pIocb, io_event* pResult)
{
    return static_cast<int>(::syscall(SYS_io_cancel, context, pIocb, pResult));
}

bool WriteWhole(int nFd, const std::vector<uint8_t>& bytes)
{
    const ssize_t nWritten = ::write(nFd, bytes.data(), bytes.size());
    return nWritten == static_cast<ssize_t>(bytes.size());
}

} // namespace

bool CAioContext::Open(unsigned nEvents)
{
    Reset();
    return ::syscall(SYS_io_setup, nEvents, &m_context) == 0;
}

void CAioContext::Reset()
{
    if (m_context != 0)
    {
        ::syscall(SYS_io_destroy, m_context);
        m_context = 0;
    }
}

std::unique_ptr<CPolledBoard> MakeGadgetBoard(CBoardConfig config, std::string strSaveDir,
                                              CWireLog* pLog)
{
    return std::make_unique<CGadgetBoard>(std::move(config), std::move(strSaveDir), pLog);
}

CGadgetBoard::CGadgetBoard(CBoardConfig config, std::string strSaveDir, CWireLog* pLog,
                           CGadgetRoots roots)
    : CPolledBoard(std::move(config), std::move(strSaveDir), pLog),
      m_gadget(m_config.m_strName, std::move(roots)), m_nPiece(MAX_PIECE), m_stage(STAGE_SIZE)
{
    m_config.m_nIdleTimeoutMs = 0; // one host only: nobody to keep away
}

CGadgetBoard::~CGadgetBoard()
{
    Detach();
}

bool CGadgetBoard::Attach(std::string* pstrError)
{
    const CGadgetIdentity identity{m_config.m_gadget.m_id, MANUFACTURER, PRODUCT,
                                   m_config.m_strName};
    if (!LoadMemory(pstrError) || !m_gadget.Create(identity, pstrError) ||
        !SetUpFunction(pstrError) || !m_gadget.Bind(m_config.m_gadget.m_strUdc, pstrError))
    {
        CloseFunction();
        m_gadget.Remove();
        return false;
    }
    m_strPath = m_gadget.Path();
    LogLine("attached " + m_strPath);
    Note("on the USB device controller " + m_gadget.Udc());
    return true;
}

bool CGadgetBoard::SetUpFunction(std::string* pstrError)
{
    const std::string strDir = m_gadget.FunctionFsDir();
    m_ep0.Reset(::open((strDir + "/ep0").c_str(), O_RDWR | O_CLOEXEC));
    if (!m_ep0.IsValid())
    {
        *pstrError = "cannot open " + strDir + "/ep0: " + std::strerror(errno);
        return false;
    }
    if (!WriteWhole(m_ep0.Get(), FunctionFsDescriptors(GUID_DEVINTERFACE_BOOTLOADER)) ||
        !WriteWhole(m_ep0.Get(), FunctionFsStrings(INTERFACE_NAME)))
    {
        *pstrError =
            std::string("FunctionFS refused the board's descriptors: ") + std::strerror(errno);
        return false;
    }
    // Never wait in a call: an endpoint not yet enabled fails its transfer instead.
    m_epOut.Reset(::open((strDir + "/ep1").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    m_epIn.Reset(::open((strDir + "/ep2").c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    m_eventFd.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!m_epOut.IsValid() || !m_epIn.IsValid() || !m_eventFd.IsValid() || !m_aio.Open(4) ||
        ::fcntl(m_ep0.Get(), F_SETFL, O_NONBLOCK) != 0)
    {
        *pstrError = std::string("cannot open the board's endpoints: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void CGadgetBoard::CloseFunction()
{
    if (m_aio.IsOpen())
    {
        CloseConnections();
        m_aio.Reset();
        m_read.m_bPending = false;
        m_write.m_bPending = false;
    }
    // FunctionFS can be unmounted once its files are closed.
    m_epOut.Reset();
    m_epIn.Reset();
    m_eventFd.Reset();
    m_ep0.Reset();
}

void CGadgetBoard::Detach()
{
    if (!IsAttached())
    {
        return;
    }
    m_gadget.Unbind(); // the host sees the board go first
    EndSession();
    m_bConfigured = false;
    m_bStartPending = false;
    CloseFunction();
    m_gadget.Remove();
    m_strPath.clear();
    m_leaveAt.reset();
    m_comeBack.reset();
    LogLine("detached");
}

void CGadgetBoard::AddPollFds(std::vector<pollfd>& fds)
{
    m_nFirstFd = fds.size();
    m_pollTime = Bootloader::Clock::now();
    fds.push_back({m_ep0.Get(), POLLIN, 0});
    fds.push_back({m_eventFd.Get(), POLLIN, 0});
}

void CGadgetBoard::Handle(const pollfd* pFds, size_t nCount)
{
    if (!IsAttached() || m_nFirstFd + 2 > nCount)
    {
        return;
    }
    if ((pFds[m_nFirstFd].revents & POLLIN) != 0)
    {
        ReadEvents();
    }
    if ((pFds[m_nFirstFd + 1].revents & POLLIN) != 0)
    {
        uint64_t nCounter = 0;
        if (::read(m_eventFd.Get(), &nCounter, sizeof(nCounter)) < 0)
        {
            nCounter = 0; // nothing finished after all
        }
    }
    ReapTransfers();
    const auto now = Bootloader::Clock::now();
    if (m_leaveAt && now >= *m_leaveAt)
    {
        LeaveBus();
    }
    if (m_comeBack && now >= *m_comeBack)
    {
        ComeBack();
    }
    Pump();
    if (m_core.Unplugged() || m_bGone)
    {
        Detach();
        std::printf("detached %s\n", Name().c_str());
        std::fflush(stdout);
    }
}

std::optional<Bootloader::Clock::time_point> CGadgetBoard::NextDeadline() const
{
    auto deadline = CPolledBoard::NextDeadline();
    for (const auto& timer : {m_leaveAt, m_comeBack})
    {
        if (timer && (!deadline || *timer < *deadline))
        {
            deadline = timer;
        }
    }
    return deadline;
}

void CGadgetBoard::ReadEvents()
{
    usb_functionfs_event events[4];
    for (;;)
    {
        const ssize_t nRead = ::read(m_ep0.Get(), events, sizeof(events));
        if (nRead <= 0)
        {
            return;
        }
        for (size_t i = 0; i < static_cast<size_t>(nRead) / sizeof(events[0]); ++i)
        {
            const usb_functionfs_event& event = events[i];
            switch (event.type)
            {
            case FUNCTIONFS_ENABLE:
                // Configured (again): whatever the host was doing is over.
                EndSession();
                m_bConfigured = true;
                m_bStartPending = true;
                break;
            case FUNCTIONFS_DISABLE:
            case FUNCTIONFS_UNBIND:
                EndSession();
                m_bConfigured = false;
                m_bStartPending = false;
                break;
            case FUNCTIONFS_SETUP:
            {
                // The function answers no request of its own: refused with a stall (FunctionFS
                // stalls a request whose data stage goes the wrong way).
                char szRequest[48];
                std::snprintf(szRequest, sizeof(szRequest), "refused control request %02x %02x",
                              event.u.setup.bRequestType, event.u.setup.bRequest);
                Note(szRequest);
                if ((event.u.setup.bRequestType & USB_DIR_IN) != 0)
                {
                    [[maybe_unused]] const ssize_t nIgnored = ::read(m_ep0.Get(), nullptr, 0);
                }
                else
                {
                    [[maybe_unused]] const ssize_t nIgnored = ::write(m_ep0.Get(), "", 0);
                }
                break;
            }
            default:
                break; // bound, suspended, resumed: nothing changes for the bootloader
            }
        }
    }
}

void CGadgetBoard::ReapTransfers()
{
    if (!m_aio.IsOpen())
    {
        return;
    }
    io_event events[4];
    timespec noWait{};
    for (;;)
    {
        const int nEvents = IoGetEvents(m_aio.Get(), events, 4, &noWait);
        if (nEvents <= 0)
        {
            return;
        }
        for (int i = 0; i < nEvents; ++i)
        {
            CTransfer& transfer =
                events[i].obj == reinterpret_cast<uintptr_t>(&m_read.m_iocb) ? m_read : m_write;
            Finished(transfer, events[i].res);
        }
    }
}

void CGadgetBoard::Finished(CTransfer& transfer, int64_t nResult)
{
    transfer.m_bPending = false;
    if (!m_bSessionActive || transfer.m_iocb.aio_data != m_nGeneration)
    {
        return; // a transfer of a session that is over
    }
    if (nResult == -ENOMEM && m_nPiece > STAGE_SIZE)
    {
        m_nPiece /= 2; // tried again, smaller, by the next pump
        Note("the kernel lacked memory for a transfer: pieces of " + std::to_string(m_nPiece) +
             " bytes from now on");
        return;
    }
    if (nResult < 0)
    {
        // The endpoints went away (a reset, a disconnect): the function's events say what next.
        if (nResult != -ESHUTDOWN && nResult != -ECONNRESET)
        {
            Note(std::string("transfer failed: ") + std::strerror(static_cast<int>(-nResult)));
        }
        EndSession();
        return;
    }
    const auto now = Bootloader::Clock::now();
    const auto* pData = reinterpret_cast<const uint8_t*>(transfer.m_iocb.aio_buf);
    const auto nCount = static_cast<size_t>(nResult);
    m_lastActivity = now;
    if (&transfer == &m_write)
    {
        LogBytes("tx", pData, nCount);
        m_core.OutputDone(nCount, now);
        if (m_core.TakeProgramStarted() && m_config.m_gadget.m_nLeaveOnExecuteMs)
        {
            m_leaveAt = now + LEAVE_AFTER_ANSWER;
        }
    }
    else if (transfer.m_bDirect)
    {
        LogBytes("rx", pData, nCount);
        m_core.InputDone(nCount, now);
    }
    else
    {
        m_nStageAt = 0;
        m_nStageEnd = nCount;
    }
}

void CGadgetBoard::Pump()
{
    for (int nRound = 0; nRound < MAX_PUMP_ROUNDS; ++nRound)
    {
        if (m_bStartPending && !m_read.m_bPending && !m_write.m_bPending)
        {
            StartSession();
        }
        if (!m_bSessionActive)
        {
            return;
        }
        const auto now = Bootloader::Clock::now();
        const bool bFed = FeedStaged(now);
        m_bStallPending = m_core.TakeStall() || m_bStallPending;
        if (m_bStallPending)
        {
            StallHost();
        }
        if (!m_write.m_bPending)
        {
            const std::span<const uint8_t> output = m_core.Output(now);
            if (!output.empty() &&
                !Submit(m_write, m_epIn.Get(), IOCB_CMD_PWRITE, const_cast<uint8_t*>(output.data()),
                        std::min(output.size(), m_nPiece)))
            {
                return;
            }
        }
        if (!m_read.m_bPending && m_nStageAt == m_nStageEnd)
        {
            const std::span<uint8_t> input = m_core.InputSpace(now);
            if (input.size() >= STAGE_SIZE)
            {
                // Whole packets straight into the bootloader's memory.
                size_t nSize = std::min(input.size(), m_nPiece);
                nSize -= nSize % STAGE_SIZE;
                m_read.m_bDirect = true;
                if (!Submit(m_read, m_epOut.Get(), IOCB_CMD_PREAD, input.data(), nSize))
                {
                    return;
                }
            }
            else if (!input.empty())
            {
                m_read.m_bDirect = false;
                if (!Submit(m_read, m_epOut.Get(), IOCB_CMD_PREAD, m_stage.data(), STAGE_SIZE))
                {
                    return;
                }
            }
        }
        if (!bFed)
        {
            return;
        }
    }
}

bool CGadgetBoard::FeedStaged(Bootloader::Clock::time_point now)
{
    bool bFed = false;
    while (m_nStageAt < m_nStageEnd)
    {
        const std::span<const uint8_t> staged(m_stage.data() + m_nStageAt,
                                              m_nStageEnd - m_nStageAt);
        const size_t nUnknown = UnknownCommandRun(staged);
        if (nUnknown > 0)
        {
            NoteDropped(staged.data(), nUnknown);
            m_nStageAt += nUnknown;
            continue;
        }
        const std::span<uint8_t> input = m_core.InputSpace(now);
        if (input.empty())
        {
            break;
        }
        const size_t nTake = std::min(input.size(), staged.size());
        std::memcpy(input.data(), staged.data(), nTake);
        LogBytes("rx", staged.data(), nTake);
        m_nStageAt += nTake;
        m_core.InputDone(nTake, now);
        bFed = true;
    }
    if (m_nStageAt == m_nStageEnd)
    {
        m_nStageAt = m_nStageEnd = 0;
    }
    return bFed;
}

bool CGadgetBoard::Submit(CTransfer& transfer, int nFd, uint16_t nOpcode, void* pData, size_t nSize)
{
    transfer.m_iocb = iocb{};
    transfer.m_iocb.aio_data = m_nGeneration;
    transfer.m_iocb.aio_lio_opcode = nOpcode;
    transfer.m_iocb.aio_fildes = static_cast<uint32_t>(nFd);
    transfer.m_iocb.aio_buf = reinterpret_cast<uintptr_t>(pData);
    transfer.m_iocb.aio_nbytes = nSize;
    transfer.m_iocb.aio_flags = IOCB_FLAG_RESFD;
    transfer.m_iocb.aio_resfd = static_cast<uint32_t>(m_eventFd.Get());
    if (IoSubmit(m_aio.Get(), &transfer.m_iocb) != 1)
    {
        Note(std::string("cannot start a transfer: ") + std::strerror(errno));
        EndSession();
        return false;
    }
    transfer.m_bPending = true;
    return true;
}

void CGadgetBoard::CloseConnections()
{
    // Transfers still queued are taken back; they finish with an error that is dropped.
    for (CTransfer* pTransfer : {&m_read, &m_write})
    {
        io_event result{};
        if (pTransfer->m_bPending && IoCancel(m_aio.Get(), &pTransfer->m_iocb, &result) == 0)
        {
            pTransfer->m_bPending = false; // finished now rather than through the events
        }
    }
    ++m_nGeneration;
    m_nStageAt = m_nStageEnd = 0;
    m_bStallPending = false;
}

void CGadgetBoard::StartSession()
{
    m_bStartPending = false;
    m_bSessionActive = true;
    ++m_nGeneration;
    m_nStageAt = m_nStageEnd = 0;
    m_core.Reset();
    m_lastActivity = Bootloader::Clock::now();
    LogLine("session usb");
}

void CGadgetBoard::StallHost()
{
    if (m_write.m_bPending)
    {
        return; // a controller stalls no endpoint with a transfer queued on it
    }
    // FunctionFS halts an endpoint that is used the wrong way: a read of the IN endpoint.
    uint8_t nByte = 0;
    const bool bRefused = ::read(m_epIn.Get(), &nByte, 1) < 0;
    if (bRefused && errno == EAGAIN)
    {
        return;
    }
    m_bStallPending = false;
    // The read fails with EBADMSG once the endpoint is halted.
    Note(bRefused && errno == EBADMSG
             ? std::string("stalled PIPE01")
             : std::string("cannot stall PIPE01: ") + std::strerror(bRefused ? errno : EIO));
}

void CGadgetBoard::LeaveBus()
{
    m_leaveAt.reset();
    m_strLastUdc = m_gadget.Udc();
    const uint32_t nAwayMs = *m_config.m_gadget.m_nLeaveOnExecuteMs;
    Note(nAwayMs == 0 ? std::string("left the bus: its program runs")
                      : "left the bus: its program runs for " + std::to_string(nAwayMs) + " ms");
    m_gadget.Unbind();
    EndSession();
    m_bConfigured = false;
    m_bStartPending = false;
    if (nAwayMs == 0)
    {
        m_bGone = true;
        return;
    }
    m_comeBack = Bootloader::Clock::now() + std::chrono::milliseconds(nAwayMs);
}

void CGadgetBoard::ComeBack()
{
    m_comeBack.reset();
    std::string strError;
    if (!m_gadget.Bind(m_strLastUdc, &strError))
    {
        Note("cannot come back on the bus: " + strError);
        m_comeBack = Bootloader::Clock::now() + RETRY_BIND;
        return;
    }
    Note("back on the bus as a bootloader");
}
