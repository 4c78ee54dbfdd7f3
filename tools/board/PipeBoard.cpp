#include "board/PipeBoard.h"

#include "usb/UsbDevice.h"
#include "usb/virtual/VirtualRegistry.h"

#include <cstdio>
#include <cstring>

namespace
{
// Moves at most this many times per wake, so one busy board cannot starve the others.
constexpr int MAX_PUMP_ROUNDS = 64;
// Bytes read from the host in one go, and sent to it in one write.
constexpr DWORD INPUT_SIZE = 256u << 10;
constexpr DWORD OUTPUT_PIECE = 256u << 10;

const char* const PIPE_SUFFIXES[2] = {WRITE_PIPE_SUFFIX, READ_PIPE_SUFFIX};

std::string ErrorText(DWORD nError)
{
    const std::string strNumber = "error " + std::to_string(nError);
    const std::string strText = SystemErrorText(nError);
    return strText == strNumber ? strText : strText + " (" + strNumber + ")";
}

bool WriteNewFile(const std::string& strPath, const std::string& strText)
{
    const CWinHandle file(::CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD nWritten = 0;
    return file.IsValid() &&
           ::WriteFile(file.Get(), strText.data(), static_cast<DWORD>(strText.size()), &nWritten,
                       nullptr) &&
           nWritten == strText.size();
}

// Removes a board directory this program made (its files and the directory itself).
void RemoveBoardDirectory(const std::string& strDirectory)
{
    for (const char* pszName : {BOARD_DESCRIPTION_FILE, BOARD_INTERFACE_FILE})
    {
        ::DeleteFileA((strDirectory + "\\" + pszName).c_str());
    }
    ::RemoveDirectoryA(strDirectory.c_str());
}

std::string HiddenName(const std::string& strRegistry, const std::string& strName)
{
    static unsigned nCounter = 0;
    return strRegistry + "\\." + strName + "." + std::to_string(::GetCurrentProcessId()) + "." +
           std::to_string(++nCounter);
}

// A board directory left behind by a board program that was killed: its pipes are gone, or
// they are our own (process ids come round again, and the pipes of that name were made by us).
bool IsStaleBoard(const std::string& strDirectory, const std::string& strOwnInterface)
{
    const std::string strInterface = ReadBoardInterface(strDirectory);
    if (strInterface.empty())
    {
        return false;
    }
    if (strInterface == strOwnInterface)
    {
        return true;
    }
    // Waiting for a pipe does not connect to it, so a live board sees nothing of this.
    return !::WaitNamedPipeA((strInterface + READ_PIPE_SUFFIX).c_str(), 1) &&
           ::GetLastError() == ERROR_FILE_NOT_FOUND;
}
} // namespace

CPipeBoard::CPipeBoard(CBoardConfig config, std::string strRegistry, std::string strSaveDir,
                       CWireLog* pLog)
    : CBoardSession(std::move(config), std::move(strSaveDir), pLog),
      m_strRegistry(std::move(strRegistry)), m_input(INPUT_SIZE)
{
}

CPipeBoard::~CPipeBoard()
{
    Detach();
}

bool CPipeBoard::StartListening(int nPipe, bool bFirst, DWORD* pnError)
{
    return m_listeners[nPipe].Listen(m_strInterface + PIPE_SUFFIXES[nPipe], bFirst,
                                     m_security.Attributes(), pnError);
}

bool CPipeBoard::Attach(std::string* pstrError)
{
    if (!LoadMemory(pstrError) || !EnsureBoardRegistry(m_strRegistry, pstrError))
    {
        return false;
    }
    if (!m_security.Build())
    {
        *pstrError = "cannot read the current user's identity: " + ErrorText(::GetLastError());
        return false;
    }
    m_strInterface = BoardPipeInterface(::GetCurrentProcessId(), Name());
    if (!IsPipeInterfacePath(m_strInterface) ||
        Name().find_first_of("\\:*?\"<>|") != std::string::npos)
    {
        *pstrError = "the name cannot name a board on Windows (no \\ : * ? \" < > |)";
        return false;
    }
    auto failPipes = [&](const std::string& strWhat, DWORD nError)
    {
        *pstrError = strWhat + ": " + ErrorText(nError);
        m_listeners[PIPE_WRITE].Close();
        m_listeners[PIPE_READ].Close();
        return false;
    };
    for (int nPipe : {PIPE_WRITE, PIPE_READ})
    {
        DWORD nError = 0;
        if (!(nPipe == PIPE_WRITE && m_config.m_bNoPipe00) && !StartListening(nPipe, true, &nError))
        {
            return failPipes("cannot make the pipe " + m_strInterface + PIPE_SUFFIXES[nPipe],
                             nError);
        }
    }
    const std::string strFinal = m_strRegistry + "\\" + Name();
    const std::string strHidden = HiddenName(m_strRegistry, Name());
    if (!::CreateDirectoryA(strHidden.c_str(), nullptr))
    {
        return failPipes("cannot create " + strHidden, ::GetLastError());
    }
    auto fail = [&](const std::string& strWhat, DWORD nError)
    {
        RemoveBoardDirectory(strHidden);
        return failPipes(strWhat, nError);
    };
    for (const auto& [pszFile, strText] :
         {std::pair<const char*, std::string>{BOARD_DESCRIPTION_FILE, m_config.m_strDescription},
          std::pair<const char*, std::string>{BOARD_INTERFACE_FILE, m_strInterface}})
    {
        const std::string strFile = strHidden + "\\" + pszFile;
        if (!WriteNewFile(strFile, strText + "\n"))
        {
            return fail("cannot write " + strFile, ::GetLastError());
        }
    }
    if (!::MoveFileExA(strHidden.c_str(), strFinal.c_str(), 0))
    {
        if (IsStaleBoard(strFinal, m_strInterface))
        {
            // Left by a board that was killed: take its place.
            const std::string strStale = HiddenName(m_strRegistry, Name());
            if (::MoveFileExA(strFinal.c_str(), strStale.c_str(), 0))
            {
                RemoveBoardDirectory(strStale);
            }
        }
        if (!::MoveFileExA(strHidden.c_str(), strFinal.c_str(), 0))
        {
            const DWORD nError = ::GetLastError();
            const bool bTaken = nError == ERROR_ALREADY_EXISTS || nError == ERROR_ACCESS_DENIED;
            return fail(bTaken ? "another board is attached as " + strFinal
                               : "cannot list " + strFinal,
                        nError);
        }
    }
    m_strDirectory = strFinal;
    LogLine("attached " + m_strInterface);
    return true;
}

void CPipeBoard::Detach()
{
    if (!IsAttached())
    {
        return;
    }
    // Hidden first, so that a host that sees its pipes close no longer lists the board.
    const std::string strHidden = HiddenName(m_strRegistry, Name());
    const bool bHidden = ::MoveFileExA(m_strDirectory.c_str(), strHidden.c_str(), 0);
    EndSession();
    RemoveBoardDirectory(bHidden ? strHidden : m_strDirectory);
    m_listeners[PIPE_WRITE].Close();
    m_listeners[PIPE_READ].Close();
    m_strDirectory.clear();
    LogLine("detached");
}

void CPipeBoard::CloseConnections()
{
    m_connections[PIPE_WRITE].Close();
    m_connections[PIPE_READ].Close();
    m_nInputStart = m_nInputEnd = 0;
    m_bInputClosed = false;
}

bool CPipeBoard::ConnectionsStillOpen()
{
    // A host that closed its pipes just before another process connected no longer holds the
    // board, whether or not its close has been handled yet.
    for (const CPipeInstance& connection : m_connections)
    {
        if (connection.IsOpen() &&
            !::PeekNamedPipe(connection.Handle(), nullptr, 0, nullptr, nullptr, nullptr) &&
            ::GetLastError() != ERROR_IO_PENDING)
        {
            return false;
        }
    }
    return !m_bInputClosed;
}

void CPipeBoard::AddWaits(std::vector<HANDLE>& waits)
{
    m_pollTime = Bootloader::Clock::now();
    for (const CPipeInstance* pInstances : {m_listeners, m_connections})
    {
        pInstances[PIPE_WRITE].AddWaits(waits);
        pInstances[PIPE_READ].AddWaits(waits);
    }
}

void CPipeBoard::Handle()
{
    if (!IsAttached())
    {
        return;
    }
    // Closes first: a host that reconnects at once is then not taken for a second host.
    FinishTransfers();
    for (int nPipe : {PIPE_READ, PIPE_WRITE})
    {
        Accept(nPipe);
    }
    for (int nRound = 0; nRound < MAX_PUMP_ROUNDS && Pump(); ++nRound)
    {
    }
    if (m_bInputClosed)
    {
        EndSession(); // whatever the host wrote before it closed was handled above
    }
    DropIfIdle(Bootloader::Clock::now());
    if (m_core.Unplugged())
    {
        Detach();
        std::printf("detached %s\n", Name().c_str());
        std::fflush(stdout);
    }
}

void CPipeBoard::Accept(int nPipe)
{
    CPipeInstance& listener = m_listeners[nPipe];
    DWORD nMoved = 0;
    DWORD nError = 0;
    if (!listener.IsPending(CPipeInstance::OP_READ))
    {
        return;
    }
    const bool bConnected = listener.Finish(CPipeInstance::OP_READ, &nMoved, &nError);
    if (!bConnected && nError == ERROR_IO_PENDING)
    {
        return;
    }
    ULONG nPid = 0;
    if (bConnected && ::GetNamedPipeClientProcessId(listener.Handle(), &nPid) &&
        AdmitConnection(nPipe, nPid))
    {
        CPipeInstance& connection = m_connections[nPipe];
        connection.Adopt(listener);
        // PIPE01 carries nothing from the host: a read on it only learns of the host's close.
        const bool bStarted =
            nPipe == PIPE_READ ? connection.Start(CPipeInstance::OP_READ, &m_closeWatch, 1, &nError)
                               : StartInput(&nError);
        if (bStarted)
        {
            ConnectionTaken();
        }
        else
        {
            EndSession();
        }
    }
    // Refused ones are disconnected unread: the host sees its pipe closed.
    listener.Close();
    if (!StartListening(nPipe, false, &nError))
    {
        Note(std::string("cannot wait for hosts on ") + PIPE_SUFFIXES[nPipe] + ": " +
             ErrorText(nError));
    }
}

bool CPipeBoard::StartInput(DWORD* pnError)
{
    m_nInputStart = m_nInputEnd = 0;
    return m_connections[PIPE_WRITE].Start(CPipeInstance::OP_READ, m_input.data(), INPUT_SIZE,
                                           pnError);
}

bool CPipeBoard::FinishTransfers()
{
    DWORD nMoved = 0;
    DWORD nError = 0;
    CPipeInstance& toHost = m_connections[PIPE_READ];
    CPipeInstance& fromHost = m_connections[PIPE_WRITE];
    const auto now = Bootloader::Clock::now();
    if (toHost.IsPending(CPipeInstance::OP_READ))
    {
        if (toHost.Finish(CPipeInstance::OP_READ, &nMoved, &nError))
        {
            // Nothing is meant to arrive on the board's sending pipe: drop it, look again.
            if (!toHost.Start(CPipeInstance::OP_READ, &m_closeWatch, 1, &nError))
            {
                EndSession();
                return false;
            }
        }
        else if (nError != ERROR_IO_PENDING)
        {
            EndSession(); // the host closed its read pipe
            return false;
        }
    }
    if (toHost.IsPending(CPipeInstance::OP_WRITE))
    {
        if (toHost.Finish(CPipeInstance::OP_WRITE, &nMoved, &nError))
        {
            LogBytes("tx", m_output.data(), nMoved);
            m_lastActivity = now;
            m_core.OutputDone(nMoved, now);
        }
        else if (nError != ERROR_IO_PENDING)
        {
            EndSession();
            return false;
        }
    }
    if (fromHost.IsPending(CPipeInstance::OP_READ))
    {
        if (fromHost.Finish(CPipeInstance::OP_READ, &nMoved, &nError))
        {
            m_nInputEnd += nMoved;
        }
        else if (nError != ERROR_IO_PENDING)
        {
            m_bInputClosed = true; // the host closed its write pipe
        }
    }
    return true;
}

bool CPipeBoard::FeedInput(Bootloader::Clock::time_point now)
{
    bool bMoved = false;
    while (m_bSessionActive && m_nInputStart < m_nInputEnd && !m_core.Unplugged())
    {
        const std::span<const uint8_t> staged(m_input.data() + m_nInputStart,
                                              m_nInputEnd - m_nInputStart);
        if (m_core.AwaitsCommand())
        {
            // They move nothing the protocol knows, and keep the host idle.
            const size_t nUnknown = UnknownCommandRun(staged);
            if (nUnknown > 0)
            {
                NoteDropped(staged.data(), nUnknown);
                m_nInputStart += nUnknown;
                bMoved = true;
                continue;
            }
        }
        const std::span<uint8_t> space = m_core.InputSpace(now);
        if (space.empty())
        {
            break;
        }
        const size_t nCount = std::min(space.size(), staged.size());
        std::memcpy(space.data(), staged.data(), nCount);
        LogBytes("rx", space.data(), nCount);
        m_lastActivity = now;
        m_core.InputDone(nCount, now);
        m_nInputStart += nCount;
        bMoved = true;
    }
    return bMoved;
}

bool CPipeBoard::Pump()
{
    if (!m_bSessionActive || !FinishTransfers())
    {
        return false;
    }
    const auto now = Bootloader::Clock::now();
    bool bMoved = FeedInput(now);
    CPipeInstance& toHost = m_connections[PIPE_READ];
    DWORD nError = 0;
    if (m_bSessionActive && !toHost.IsPending(CPipeInstance::OP_WRITE))
    {
        const std::span<const uint8_t> output = m_core.Output(now);
        if (!output.empty())
        {
            // The bootloader's bytes may move when it changes; the write sends a copy.
            m_output.assign(output.begin(),
                            output.begin() + std::min<size_t>(output.size(), OUTPUT_PIECE));
            if (!toHost.Start(CPipeInstance::OP_WRITE, m_output.data(),
                              static_cast<DWORD>(m_output.size()), &nError))
            {
                EndSession();
                return false;
            }
            bMoved = true;
        }
    }
    CPipeInstance& fromHost = m_connections[PIPE_WRITE];
    if (m_bSessionActive && !m_bInputClosed && m_nInputStart == m_nInputEnd && fromHost.IsOpen() &&
        !fromHost.IsPending(CPipeInstance::OP_READ))
    {
        if (!StartInput(&nError))
        {
            m_bInputClosed = true;
            return false;
        }
        bMoved = true;
    }
    return bMoved && !m_core.Unplugged();
}

bool ReplaceFileContents(const std::string& strFinal, const uint8_t* pData, uint64_t nSize,
                         std::string* pstrError)
{
    const std::string strTemporary =
        strFinal + "." + std::to_string(::GetCurrentProcessId()) + ".tmp";
    {
        const CWinHandle file(::CreateFileA(strTemporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsValid())
        {
            *pstrError = strTemporary + ": " + ErrorText(::GetLastError());
            return false;
        }
        while (nSize > 0)
        {
            DWORD nWritten = 0;
            const DWORD nPiece = static_cast<DWORD>(std::min<uint64_t>(nSize, 1u << 30));
            if (!::WriteFile(file.Get(), pData, nPiece, &nWritten, nullptr) || nWritten == 0)
            {
                *pstrError = strTemporary + ": " + ErrorText(::GetLastError());
                ::DeleteFileA(strTemporary.c_str());
                return false;
            }
            pData += nWritten;
            nSize -= nWritten;
        }
    }
    if (!::MoveFileExA(strTemporary.c_str(), strFinal.c_str(), MOVEFILE_REPLACE_EXISTING))
    {
        *pstrError = strFinal + ": " + ErrorText(::GetLastError());
        ::DeleteFileA(strTemporary.c_str());
        return false;
    }
    return true;
}
