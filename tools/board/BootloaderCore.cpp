#include "board/BootloaderCore.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace Bootloader
{
namespace
{
struct CStepName
{
    EStep m_eStep;
    const char* m_pszName;
};

constexpr CStepName STEP_NAMES[] = {
    {EStep::SendCommand, "s1"},    {EStep::SendLength, "s2"},    {EStep::SendDone, "s3"},
    {EStep::ReceiveCommand, "R1"}, {EStep::ReceiveLength, "R2"}, {EStep::ReceiveDone, "R3"},
    {EStep::Execute, "x1"},        {EStep::Version, "v1"},
};

// Zeros past the end of the memory are sent from here, one piece at a time.
constexpr size_t ZERO_BLOCK = 64 * 1024;
const uint8_t ZEROS[ZERO_BLOCK] = {};

// Pieces of a capped data phase are this fraction of a second's worth, so the cap stays smooth.
constexpr uint64_t CAP_PIECES_PER_SECOND = 50;
} // namespace

std::optional<EStep> ParseStep(const std::string& strName)
{
    for (const CStepName& entry : STEP_NAMES)
    {
        if (strName == entry.m_pszName)
        {
            return entry.m_eStep;
        }
    }
    return std::nullopt;
}

const char* StepName(EStep step)
{
    for (const CStepName& entry : STEP_NAMES)
    {
        if (entry.m_eStep == step)
        {
            return entry.m_pszName;
        }
    }
    return "?";
}

uint8_t ExpectedReply(EStep step)
{
    switch (step)
    {
    case EStep::SendCommand:
    case EStep::SendLength:
    case EStep::ReceiveCommand:
    case EStep::ReceiveLength:
        return REPLY_READY;
    default:
        return REPLY_DONE;
    }
}

bool CMemory::Prepare(uint64_t nSize)
{
    if (nSize > m_nCapacity)
    {
        // Not value-initialised: clearing a large block would cost as much as receiving it.
        std::unique_ptr<uint8_t[]> pNew(new (std::nothrow) uint8_t[nSize]);
        if (pNew == nullptr)
        {
            return false;
        }
        m_pData = std::move(pNew);
        m_nCapacity = nSize;
    }
    m_nSize = 0;
    return true;
}

void CMemory::Assign(const std::vector<uint8_t>& bytes)
{
    if (Prepare(bytes.size()) && !bytes.empty())
    {
        std::memcpy(m_pData.get(), bytes.data(), bytes.size());
        m_nSize = bytes.size();
    }
}

CBootloaderCore::CBootloaderCore(CSettings settings) : m_settings(std::move(settings))
{
    if (m_settings.m_strBanner.size() > VERSION_REPLY_SIZE)
    {
        m_settings.m_strBanner.resize(VERSION_REPLY_SIZE);
    }
}

void CBootloaderCore::Reset()
{
    m_eState = EState::Command;
    m_nLengthHave = 0;
    m_nDataLeft = 0;
    m_output.clear();
    m_nextData.reset();
    m_bSilent = false;
    m_bCutShort = false;
    m_bStall = false;
    m_bProgramStarted = false;
}

bool CBootloaderCore::AwaitsCommand() const
{
    return !m_bUnplugged && m_output.empty() && m_eState == EState::Command;
}

size_t CBootloaderCore::UnknownCommandRun(std::span<const uint8_t> bytes) const
{
    if (!AwaitsCommand())
    {
        return 0;
    }
    const auto known = [](uint8_t nByte)
    {
        return nByte == CMD_SEND || nByte == CMD_RECEIVE || nByte == CMD_VERSION ||
               nByte == CMD_EXECUTE;
    };
    return static_cast<size_t>(std::find_if(bytes.begin(), bytes.end(), known) - bytes.begin());
}

std::span<uint8_t> CBootloaderCore::InputSpace(Clock::time_point now)
{
    if (m_bUnplugged || !m_output.empty())
    {
        return {};
    }
    switch (m_eState)
    {
    case EState::Command:
        return {&m_nCommand, 1};
    case EState::SendLength:
    case EState::ReceiveLength:
        return {m_length + m_nLengthHave, sizeof(m_length) - m_nLengthHave};
    case EState::SendData:
    {
        const uint64_t nAllowed = DataAllowance(m_nDataLeft, now);
        const uint64_t nOffset = m_nDataTotal - m_nDataLeft;
        return {m_memory.Data() + nOffset, static_cast<size_t>(nAllowed)};
    }
    }
    return {};
}

void CBootloaderCore::InputDone(size_t nCount, Clock::time_point now)
{
    if (nCount == 0)
    {
        return;
    }
    switch (m_eState)
    {
    case EState::Command:
        OnCommand(m_nCommand, now);
        break;
    case EState::SendLength:
    case EState::ReceiveLength:
        m_nLengthHave += nCount;
        if (m_nLengthHave == sizeof(m_length))
        {
            OnLength(now);
        }
        break;
    case EState::SendData:
        m_nDataLeft -= nCount;
        m_memory.SetSize(m_nDataTotal - m_nDataLeft);
        CountData(nCount, now);
        if (m_nDataLeft == 0)
        {
            if (m_fnImageReceived)
            {
                m_fnImageReceived(m_memory.Data(), m_memory.Size());
            }
            QueueReply(EStep::SendDone);
            m_eState = EState::Command;
        }
        break;
    }
}

void CBootloaderCore::OnCommand(uint8_t nCommand, Clock::time_point)
{
    m_nLengthHave = 0;
    m_bSilent = false;
    m_bCutShort = false;
    switch (nCommand)
    {
    case CMD_SEND:
        QueueReply(EStep::SendCommand);
        m_eState = EState::SendLength;
        break;
    case CMD_RECEIVE:
        QueueReply(EStep::ReceiveCommand);
        m_eState = EState::ReceiveLength;
        break;
    case CMD_VERSION:
        QueueVersion();
        break;
    case CMD_EXECUTE:
        Event("execute");
        QueueReply(EStep::Execute);
        break;
    default:
        Event("ignored command " + std::to_string(nCommand));
        break;
    }
}

void CBootloaderCore::OnLength(Clock::time_point)
{
    const uint64_t nLength =
        static_cast<uint64_t>(m_length[0]) | static_cast<uint64_t>(m_length[1]) << 8 |
        static_cast<uint64_t>(m_length[2]) << 16 | static_cast<uint64_t>(m_length[3]) << 24;
    m_nLengthHave = 0;
    if (m_eState == EState::ReceiveLength)
    {
        QueueReply(EStep::ReceiveLength);
        QueueData(nLength);
        m_eState = EState::Command;
        return;
    }
    // A block the board cannot hold is refused at its length rather than half kept.
    if (nLength > m_settings.m_nMaxImage || !m_memory.Prepare(nLength))
    {
        Event("refused block of " + std::to_string(nLength) + " bytes");
        CSegment refusal;
        refusal.m_bytes.push_back('!');
        refusal.m_nLeft = 1;
        refusal.m_nDelayMs = m_settings.m_faults.m_nReplyDelayMs;
        m_output.push_back(std::move(refusal));
        m_eState = EState::Command;
        return;
    }
    QueueReply(EStep::SendLength);
    m_nDataTotal = nLength;
    m_nDataLeft = nLength;
    if (nLength == 0)
    {
        if (m_fnImageReceived)
        {
            m_fnImageReceived(m_memory.Data(), 0);
        }
        QueueReply(EStep::SendDone);
        m_eState = EState::Command;
        return;
    }
    m_eState = EState::SendData;
}

bool CBootloaderCore::Withheld(EStep step)
{
    const CFaults& faults = m_settings.m_faults;
    if (m_bSilent)
    {
        return true;
    }
    if (faults.m_stallStep == step)
    {
        Event(std::string("stall at ") + StepName(step));
        m_bStall = true;
        m_bSilent = true;
    }
    else if (faults.m_silentStep == step)
    {
        Event(std::string("silent from ") + StepName(step));
        m_bSilent = true;
    }
    return m_bSilent;
}

void CBootloaderCore::QueueReply(EStep step)
{
    const CFaults& faults = m_settings.m_faults;
    if (Withheld(step))
    {
        return;
    }
    const uint8_t nExpected = ExpectedReply(step);
    uint8_t nReply = nExpected;
    if (faults.m_wrongReplyStep == step)
    {
        nReply = faults.m_nWrongReply.value_or(nReply == REPLY_READY ? REPLY_DONE : REPLY_READY);
    }
    CSegment segment;
    segment.m_bytes.push_back(nReply);
    segment.m_nLeft = 1;
    segment.m_nDelayMs = faults.m_nReplyDelayMs;
    segment.m_bStartsProgram = step == EStep::Execute && nReply == nExpected;
    m_output.push_back(std::move(segment));
}

void CBootloaderCore::QueueVersion()
{
    const CFaults& faults = m_settings.m_faults;
    if (Withheld(EStep::Version))
    {
        return;
    }
    std::vector<uint8_t> reply(VERSION_REPLY_SIZE, 0);
    std::copy(m_settings.m_strBanner.begin(), m_settings.m_strBanner.end(), reply.begin());
    CSegment first;
    first.m_nDelayMs = faults.m_nReplyDelayMs;
    if (!faults.m_bSplitVersion)
    {
        first.m_bytes = std::move(reply);
        first.m_nLeft = VERSION_REPLY_SIZE;
        m_output.push_back(std::move(first));
        return;
    }
    first.m_bytes.assign(reply.begin(), reply.begin() + SPLIT_VERSION_FIRST);
    first.m_nLeft = SPLIT_VERSION_FIRST;
    CSegment second;
    second.m_bytes.assign(reply.begin() + SPLIT_VERSION_FIRST, reply.end());
    second.m_nLeft = VERSION_REPLY_SIZE - SPLIT_VERSION_FIRST;
    second.m_nDelayMs = SPLIT_VERSION_PAUSE_MS;
    m_output.push_back(std::move(first));
    m_output.push_back(std::move(second));
}

void CBootloaderCore::QueueData(uint64_t nCount)
{
    if (m_bSilent)
    {
        return;
    }
    const uint64_t nShort = std::min<uint64_t>(m_settings.m_faults.m_nShortReceive, nCount);
    const uint64_t nSend = nCount - nShort;
    const uint64_t nFromMemory = std::min(nSend, m_memory.Size());
    if (nFromMemory > 0)
    {
        CSegment memory;
        memory.m_eKind = ESegment::Memory;
        memory.m_nLeft = nFromMemory;
        m_output.push_back(std::move(memory));
    }
    if (nSend > nFromMemory)
    {
        CSegment zeros;
        zeros.m_eKind = ESegment::Zeros;
        zeros.m_nLeft = nSend - nFromMemory;
        m_output.push_back(std::move(zeros));
    }
    if (nShort > 0)
    {
        // A board that ran short sends no '#': the host would take it for a data byte.
        Event("sent " + std::to_string(nSend) + " of " + std::to_string(nCount) + " bytes");
        m_bCutShort = true;
        return;
    }
    QueueReply(EStep::ReceiveDone);
}

std::span<const uint8_t> CBootloaderCore::Output(Clock::time_point now)
{
    if (m_bUnplugged)
    {
        return {};
    }
    while (!m_output.empty() && m_output.front().m_nLeft == 0)
    {
        m_output.pop_front();
    }
    if (m_output.empty())
    {
        return {};
    }
    CSegment& front = m_output.front();
    if (!front.m_due)
    {
        front.m_due = now + std::chrono::milliseconds(front.m_nDelayMs);
    }
    if (now < *front.m_due)
    {
        return {};
    }
    switch (front.m_eKind)
    {
    case ESegment::Bytes:
        return {front.m_bytes.data() + (front.m_bytes.size() - front.m_nLeft),
                static_cast<size_t>(front.m_nLeft)};
    case ESegment::Memory:
        return {m_memory.Data() + front.m_nOffset,
                static_cast<size_t>(DataAllowance(front.m_nLeft, now))};
    case ESegment::Zeros:
        return {ZEROS, static_cast<size_t>(
                           DataAllowance(std::min<uint64_t>(front.m_nLeft, ZERO_BLOCK), now))};
    }
    return {};
}

void CBootloaderCore::OutputDone(size_t nCount, Clock::time_point now)
{
    if (nCount == 0 || m_output.empty())
    {
        return;
    }
    CSegment& front = m_output.front();
    front.m_nLeft -= nCount;
    if (front.m_eKind != ESegment::Bytes)
    {
        front.m_nOffset += nCount;
        CountData(nCount, now);
    }
    if (front.m_nLeft == 0)
    {
        m_bProgramStarted = m_bProgramStarted || front.m_bStartsProgram;
        m_output.pop_front();
    }
}

std::optional<Clock::time_point> CBootloaderCore::NextDeadline() const
{
    if (m_output.empty())
    {
        return m_nextData; // incoming data waits for the throughput cap alone
    }
    const CSegment& front = m_output.front();
    std::optional<Clock::time_point> deadline = front.m_due;
    // Outgoing data waits for both its segment to be due and the throughput cap: the later of
    // the two. (A segment due long ago must not hide the cap's time, or a capped receive stalls.)
    if (front.m_eKind != ESegment::Bytes && m_nextData && (!deadline || *m_nextData > *deadline))
    {
        deadline = m_nextData;
    }
    return deadline;
}

uint64_t CBootloaderCore::DataAllowance(uint64_t nWanted, Clock::time_point now)
{
    const CFaults& faults = m_settings.m_faults;
    if (faults.m_nUnplugAfter)
    {
        if (m_nDataMoved >= *faults.m_nUnplugAfter)
        {
            Event("unplugged after " + std::to_string(m_nDataMoved) + " data bytes");
            m_bUnplugged = true;
            return 0;
        }
        nWanted = std::min(nWanted, *faults.m_nUnplugAfter - m_nDataMoved);
    }
    if (faults.m_nBytesPerSecond != 0)
    {
        if (m_nextData && now < *m_nextData)
        {
            return 0;
        }
        nWanted = std::min(nWanted,
                           std::max<uint64_t>(1, faults.m_nBytesPerSecond / CAP_PIECES_PER_SECOND));
    }
    return nWanted;
}

void CBootloaderCore::CountData(uint64_t nCount, Clock::time_point now)
{
    m_nDataMoved += nCount;
    const CFaults& faults = m_settings.m_faults;
    if (faults.m_nBytesPerSecond != 0)
    {
        const auto pause =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                static_cast<double>(nCount) / static_cast<double>(faults.m_nBytesPerSecond)));
        m_nextData = now + pause;
    }
    if (faults.m_nUnplugAfter && m_nDataMoved >= *faults.m_nUnplugAfter)
    {
        Event("unplugged after " + std::to_string(m_nDataMoved) + " data bytes");
        m_bUnplugged = true;
    }
}

void CBootloaderCore::Event(const std::string& strEvent) const
{
    if (m_fnEvent)
    {
        m_fnEvent(strEvent);
    }
}
} // namespace Bootloader
