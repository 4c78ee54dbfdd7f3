#pragma once
// One virtual board in a POSIX registry: its directory and its two listening sockets; the
// session and the bootloader are the transport-independent part (BoardSession.h).

#include "board/PolledBoard.h"

#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

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

class CSocketBoard : public CPolledBoard
{
public:
    CSocketBoard(CBoardConfig config, std::string strRegistry, std::string strSaveDir,
                 CWireLog* pLog);
    ~CSocketBoard() override;

    // Builds the board under a hidden name and renames it into place once both sockets
    // listen. False with a reason in *pstrError.
    bool Attach(std::string* pstrError) override;
    // Closes the session and removes the board's directory.
    void Detach();
    bool IsAttached() const override { return !m_strPath.empty(); }
    const std::string& Path() const override { return m_strPath; }

    // Adds what this board waits for to fds; Handle then gets the same entries back.
    void AddPollFds(std::vector<pollfd>& fds) override;
    void Handle(const pollfd* pFds, size_t nCount) override;

protected:
    bool IsConnected(int nPipe) const override { return m_connections[nPipe].IsValid(); }
    void CloseConnections() override;
    bool ConnectionsStillOpen() override;

private:
    void Accept(int nPipe);
    void Pump();
    // Reads a run of bytes that are no command in one go; true when it did. Sets *pbDrained
    // when the host's pipe holds nothing now.
    bool DropUnknownCommands(bool* pbDrained);

    std::string m_strRegistry;
    std::string m_strPath; // empty while not attached
    CSocketFd m_listeners[2];
    CSocketFd m_connections[2];
    size_t m_nFirstFd = 0;
    std::vector<uint8_t> m_scratch;
};
