#include "board/BoardSession.h"

#include "app/FileOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
// A run of unknown command bytes is noted with this many of its first bytes.
constexpr size_t UNKNOWN_HEAD = 16;
// The memory file is read in pieces of this size, so that a stop is heard between them.
constexpr size_t MEMORY_READ_PIECE = 1u << 20;
} // namespace

CBoardSession::CBoardSession(CBoardConfig config, std::string strSaveDir, CWireLog* pLog)
    : m_config(std::move(config)), m_strSaveDir(std::move(strSaveDir)), m_pLog(pLog),
      m_core(m_config.m_settings)
{
    m_core.m_fnEvent = [this](const std::string& strEvent) { Note(strEvent); };
    if (!m_strSaveDir.empty())
    {
        m_core.m_fnImageReceived = [this](const uint8_t* pData, uint64_t nSize)
        { SaveImage(pData, nSize); };
    }
}

bool CBoardSession::LoadMemory(std::string* pstrError)
{
    if (m_config.m_strMemoryFile.empty())
    {
        return true;
    }
    const std::string& strPath = m_config.m_strMemoryFile;
    // Only a regular file, opened without blocking: a FIFO or a device (/dev/zero) would be
    // read for ever. No more is read than 'R' can hand out.
    CInputFile file(strPath);
    if (!file.IsOpen() || file.Size() < 0)
    {
        *pstrError = "--memory " + strPath + ": " +
                     (file.Error().empty() ? std::string("cannot be read") : file.Error());
        return false;
    }
    const auto nSize = static_cast<uint64_t>(file.Size());
    if (nSize > MAX_MEMORY_FILE)
    {
        *pstrError = "--memory " + strPath + ": " + std::to_string(nSize) +
                     " bytes is more than 'R' can hand out (" + std::to_string(MAX_MEMORY_FILE) +
                     " bytes)";
        return false;
    }
    Bootloader::CMemory& memory = m_core.Memory();
    if (!memory.Prepare(nSize))
    {
        *pstrError =
            "--memory " + strPath + ": not enough memory for " + std::to_string(nSize) + " bytes";
        return false;
    }
    uint64_t nRead = 0;
    while (nRead < nSize)
    {
        if (BoardStopPending())
        {
            *pstrError = "stopped while reading --memory " + strPath;
            return false;
        }
        const int64_t nChunk =
            file.Read(memory.Data() + nRead,
                      static_cast<size_t>(std::min<uint64_t>(nSize - nRead, MEMORY_READ_PIECE)));
        if (nChunk <= 0)
        {
            break; // the file was cut short meanwhile: what was read is the memory
        }
        nRead += static_cast<uint64_t>(nChunk);
    }
    memory.SetSize(nRead);
    return true;
}

std::optional<Bootloader::Clock::time_point> CBoardSession::NextDeadline() const
{
    std::optional<Bootloader::Clock::time_point> deadline;
    if (m_bSessionActive)
    {
        // A time already past when the transport last looked is in what it waits for (the
        // bytes it let go are waited for as room to write); waking for it again would only spin.
        const auto core = m_core.NextDeadline();
        if (core && *core > m_pollTime)
        {
            deadline = core;
        }
    }
    const auto idle = IdleExpiry();
    if (idle && (!deadline || *idle < *deadline))
    {
        deadline = idle;
    }
    return deadline;
}

std::optional<Bootloader::Clock::time_point> CBoardSession::IdleExpiry() const
{
    const bool bConnected = IsConnected(PIPE_WRITE) || IsConnected(PIPE_READ);
    if (m_config.m_nIdleTimeoutMs == 0 || !bConnected ||
        (m_bSessionActive && m_core.KeepsHostWaiting()))
    {
        return std::nullopt;
    }
    // While the board itself waits (a reply delay, the throughput cap) the host is not idle.
    auto from = m_lastActivity;
    if (m_bSessionActive)
    {
        const auto core = m_core.NextDeadline();
        if (core && *core > from)
        {
            from = *core;
        }
    }
    return from + std::chrono::milliseconds(m_config.m_nIdleTimeoutMs);
}

bool CBoardSession::DropIfIdle(Bootloader::Clock::time_point now)
{
    const auto expiry = IdleExpiry();
    if (!expiry || now < *expiry)
    {
        return false;
    }
    Note("dropped host " + std::to_string(m_nSessionPid) + ": idle for " +
         std::to_string(m_config.m_nIdleTimeoutMs) + " ms");
    EndSession();
    return true;
}

bool CBoardSession::AdmitConnection(int nPipe, int64_t nPid)
{
    const bool bStillOpen = !DropIfIdle(Bootloader::Clock::now()) &&
                            (IsConnected(PIPE_WRITE) || IsConnected(PIPE_READ)) &&
                            ConnectionsStillOpen();
    if (bStillOpen && nPid != m_nSessionPid)
    {
        LogLine("refused " + std::to_string(nPid));
        return false;
    }
    if (!bStillOpen || IsConnected(nPipe))
    {
        // A host gone, or the same host opening this pipe again: its earlier command is over,
        // even if its close has not reached us yet.
        EndSession();
    }
    m_nSessionPid = nPid;
    return true;
}

void CBoardSession::ConnectionTaken()
{
    m_lastActivity = Bootloader::Clock::now();
    if (m_bSessionActive || !IsConnected(PIPE_WRITE) || !IsConnected(PIPE_READ))
    {
        return;
    }
    m_bSessionActive = true;
    m_core.Reset();
    LogLine("session " + std::to_string(m_nSessionPid));
}

void CBoardSession::EndSession()
{
    const bool bHadConnections = IsConnected(PIPE_WRITE) || IsConnected(PIPE_READ);
    CloseConnections();
    FlushUnknownRun();
    if (m_bSessionActive)
    {
        LogLine("end");
    }
    m_bSessionActive = false;
    if (bHadConnections)
    {
        m_nSessionPid = 0;
    }
}

void CBoardSession::LogBytes(const char* pszDirection, const uint8_t* pData, size_t nCount)
{
    if (m_pLog != nullptr)
    {
        FlushUnknownRun();
        m_pLog->Bytes(Name(), pszDirection, pData, nCount);
    }
}

size_t CBoardSession::UnknownCommandRun(std::span<const uint8_t> bytes) const
{
    return m_core.UnknownCommandRun(bytes);
}

void CBoardSession::NoteDropped(const uint8_t* pData, size_t nCount)
{
    const size_t nHead =
        std::min<size_t>(nCount, UNKNOWN_HEAD - std::min<uint64_t>(m_nUnknownRun, UNKNOWN_HEAD));
    m_strUnknownHead.append(reinterpret_cast<const char*>(pData), nHead);
    m_nUnknownRun += nCount;
}

void CBoardSession::FlushUnknownRun()
{
    if (m_nUnknownRun == 0)
    {
        return;
    }
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string strHex;
    for (const char c : m_strUnknownHead)
    {
        const auto nByte = static_cast<uint8_t>(c);
        strHex += DIGITS[nByte >> 4];
        strHex += DIGITS[nByte & 0x0F];
    }
    if (m_nUnknownRun > m_strUnknownHead.size())
    {
        strHex += "...";
    }
    const uint64_t nRun = m_nUnknownRun;
    m_nUnknownRun = 0;
    m_strUnknownHead.clear();
    Note("ignored " + std::to_string(nRun) +
         (nRun == 1 ? " unknown command byte " : " unknown command bytes ") + strHex);
}

void CBoardSession::LogLine(const std::string& strText)
{
    if (m_pLog != nullptr)
    {
        FlushUnknownRun();
        m_pLog->Line(Name(), strText);
    }
}

void CBoardSession::SaveImage(const uint8_t* pData, uint64_t nSize)
{
    const std::string strFinal = m_strSaveDir + "/" + Name() + ".bin";
    std::string strError;
    if (!ReplaceFileContents(strFinal, pData, nSize, &strError))
    {
        Note("cannot save image: " + strError);
        return;
    }
    Note("saved " + std::to_string(nSize) + " bytes to " + strFinal);
}

void CBoardSession::Note(const std::string& strText)
{
    LogLine("note " + strText);
}
