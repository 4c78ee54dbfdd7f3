#pragma once
// One virtual board in a Windows registry: its directory, which names its interface path, and
// its two named pipes, each with an instance waiting for a host beside the one of the session.
// Every operation is overlapped, with an event the event loop waits on; the session and the
// bootloader are the transport-independent part (BoardSession.h).

#include "board/BoardSession.h"
#include "board/PipeInstance.h"

#include <memory>
#include <string>
#include <vector>

class CPipeBoard : public CBoardSession
{
public:
    CPipeBoard(CBoardConfig config, std::string strRegistry, std::string strSaveDir,
               CWireLog* pLog);
    ~CPipeBoard() override;

    // Makes the pipes, writes the board under a hidden name and renames it into place. False
    // with a reason in *pstrError.
    bool Attach(std::string* pstrError);
    // Closes the session and the pipes and removes the board's directory.
    void Detach();
    bool IsAttached() const { return !m_strDirectory.empty(); }
    // The interface path, as hosts list it.
    const std::string& Path() const { return m_strInterface; }

    // The events this board waits on; Handle then looks at every operation.
    void AddWaits(std::vector<HANDLE>& waits);
    void Handle();

protected:
    bool IsConnected(int nPipe) const override { return m_connections[nPipe].IsOpen(); }
    void CloseConnections() override;
    bool ConnectionsStillOpen() override;

private:
    bool StartListening(int nPipe, bool bFirst, DWORD* pnError);
    void Accept(int nPipe);
    // Ends of reads and writes of the session; false when the session ended.
    bool FinishTransfers();
    // Starts what the session can do now: hands staged bytes to the bootloader, starts the
    // next read and write. True when anything moved.
    bool Pump();
    bool FeedInput(Bootloader::Clock::time_point now);
    // The next read from the host into the emptied staging buffer.
    bool StartInput(DWORD* pnError);

    std::string m_strRegistry;
    std::string m_strDirectory; // empty while not attached
    std::string m_strInterface;
    COwnerOnlySecurity m_security;
    CPipeInstance m_listeners[2];
    CPipeInstance m_connections[2];
    // Bytes read from the host and not yet taken by the bootloader: m_input[m_nInputStart..]
    std::vector<uint8_t> m_input;
    size_t m_nInputStart = 0;
    size_t m_nInputEnd = 0;
    std::vector<uint8_t> m_output; // what the pending write sends
    uint8_t m_closeWatch = 0;      // where a byte on PIPE01 would go
    bool m_bInputClosed = false;   // the host closed PIPE00; its staged bytes are still handled
};
