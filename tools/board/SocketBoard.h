#pragma once
// One virtual board in the registry: its directory, its two listening sockets, the session
// of one host process, and the bootloader that answers it.

#include "board/BootloaderCore.h"
#include "board/WireLog.h"

#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

// A host that holds a board's pipes without moving a byte for this long is dropped, so it
// cannot keep every other host away; a little longer than the host's own time-out.
constexpr uint32_t DEFAULT_IDLE_TIMEOUT_MS = 5000;

struct CBoardConfig
{
    std::string m_strName = "plinth0";
    std::string m_strDescription = "Plinth board (virtual)";
    Bootloader::CSettings m_settings;
    std::string m_strMemoryFile;                         // what 'R' returns before the first send
    bool m_bNoPipe00 = false;                            // fault: list the board with PIPE01 only
    uint32_t m_nIdleTimeoutMs = DEFAULT_IDLE_TIMEOUT_MS; // 0: never drop a host
};

// A descriptor that closes itself.
class CSocketFd
{
public:
    CSocketFd() = default;
    explicit CSocketFd(int nFd) : m_nFd(nFd) {}
    ~CSocketFd() { Reset(); }
    CSocketFd(CSocketFd&& other) noexcept : m_nFd(other.m_nFd) { other.m_nFd = -1; }
    CSocketFd& operator=(CSocketFd&& other) noexcept;
    CSocketFd(const CSocketFd&) = delete;
    CSocketFd& operator=(const CSocketFd&) = delete;

    int Get() const { return m_nFd; }
    bool IsValid() const { return m_nFd >= 0; }
    void Reset(int nFd = -1);

private:
    int m_nFd = -1;
};

class CSocketBoard
{
public:
    CSocketBoard(CBoardConfig config, std::string strRegistry, std::string strSaveDir,
                 CWireLog* pLog);
    ~CSocketBoard();
    CSocketBoard(const CSocketBoard&) = delete;
    CSocketBoard& operator=(const CSocketBoard&) = delete;

    // Builds the board under a hidden name and renames it into place once both sockets
    // listen. False with a reason in *pstrError.
    bool Attach(std::string* pstrError);
    // Closes the session and removes the board's directory.
    void Detach();
    bool IsAttached() const { return !m_strPath.empty(); }
    const std::string& Name() const { return m_config.m_strName; }
    const std::string& Path() const { return m_strPath; }

    // Adds what this board waits for to fds; Handle then gets the same entries back.
    void AddPollFds(std::vector<pollfd>& fds);
    void Handle(const pollfd* pFds, size_t nCount);
    // When time alone lets the bootloader go on or ends an idle host's hold.
    std::optional<Bootloader::Clock::time_point> NextDeadline() const;

private:
    enum EPipe
    {
        PIPE_WRITE = 0, // PIPE00, host to board
        PIPE_READ = 1,  // PIPE01, board to host
    };

    void Accept(int nPipe);
    void TakeConnection(int nPipe, CSocketFd connection, pid_t nPid);
    bool SessionStillOpen();
    void StartSessionIfReady();
    void EndSession();
    void Pump();
    // Reads a run of bytes that are no command in one go; true when it did. Sets *pbDrained
    // when the host's pipe holds nothing now.
    bool DropUnknownCommands(bool* pbDrained);
    std::optional<Bootloader::Clock::time_point> IdleExpiry() const;
    // Ends the hold of a host that has been idle too long; true when it did.
    bool DropIfIdle(Bootloader::Clock::time_point now);
    void FlushUnknownRun();
    void LogLine(const std::string& strText);
    void SaveImage(const uint8_t* pData, uint64_t nSize);
    bool LoadMemory(std::string* pstrError);
    void Note(const std::string& strText);

    CBoardConfig m_config;
    std::string m_strRegistry;
    std::string m_strSaveDir;
    CWireLog* m_pLog;
    Bootloader::CBootloaderCore m_core;
    std::string m_strPath; // empty while not attached
    CSocketFd m_listeners[2];
    CSocketFd m_connections[2];
    pid_t m_nSessionPid = 0;
    bool m_bSessionActive = false;
    size_t m_nFirstFd = 0;
    Bootloader::Clock::time_point m_pollTime;     // when AddPollFds looked
    Bootloader::Clock::time_point m_lastActivity; // the host's last connection or byte
    std::vector<uint8_t> m_scratch;
    // A run of unknown command bytes, logged as one note when something else happens.
    uint64_t m_nUnknownRun = 0;
    std::string m_strUnknownHead;
};
