#pragma once
// What a virtual board does whatever carries its bytes: its settings, the bootloader that
// answers, the session of one host process, the idle time-out, the log and the saved image.
// A transport (Unix sockets, named pipes) derives from it, owns the two pipes of the session
// and moves the bytes.

#include "board/BootloaderCore.h"
#include "board/WireLog.h"
#include "usb/libusb/UsbBoardIds.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A host that holds a board's pipes without moving a byte for this long is dropped, so it
// cannot keep every other host away; a little longer than the host's own time-out.
constexpr uint32_t DEFAULT_IDLE_TIMEOUT_MS = 5000;

// A board that is a USB device on this machine's USB device controller instead of a directory
// in the registry (quillon-board --usb-gadget).
struct CGadgetConfig
{
    bool m_bEnabled = false;
    std::string m_strUdc; // the device controller; empty: the first one no gadget uses
    CUsbBoardId m_id = USB_DEFAULT_BOARD_IDS[0];
    // Leave the bus once the execute is answered, as a board that starts its program does, and
    // come back as a bootloader after this many milliseconds (0: never, the board detaches).
    std::optional<uint32_t> m_nLeaveOnExecuteMs;
};

struct CBoardConfig
{
    std::string m_strName = "plinth0";
    std::string m_strDescription = "Plinth board (virtual)";
    Bootloader::CSettings m_settings;
    std::string m_strMemoryFile;                         // what 'R' returns before the first send
    bool m_bNoPipe00 = false;                            // fault: list the board with PIPE01 only
    uint32_t m_nIdleTimeoutMs = DEFAULT_IDLE_TIMEOUT_MS; // 0: never drop a host
    CGadgetConfig m_gadget;
};

// The most a memory file (--memory) may hold: what one 'R' can hand out.
constexpr uint64_t MAX_MEMORY_FILE = 0xFFFFFFFFull;

// True once a stop signal (SIGINT, SIGTERM; Ctrl-C on Windows) waits to be handled, for work
// done before the event loop runs. Defined by the platform's event loop.
bool BoardStopPending();

// Writes a file beside strFinal and renames it over strFinal, so a reader never sees half of
// it. False with a reason in *pstrError. Defined by the transport's platform file.
bool ReplaceFileContents(const std::string& strFinal, const uint8_t* pData, uint64_t nSize,
                         std::string* pstrError);

class CBoardSession
{
public:
    CBoardSession(CBoardConfig config, std::string strSaveDir, CWireLog* pLog);
    virtual ~CBoardSession() = default;
    CBoardSession(const CBoardSession&) = delete;
    CBoardSession& operator=(const CBoardSession&) = delete;

    const std::string& Name() const { return m_config.m_strName; }
    // When time alone lets the bootloader go on or ends an idle host's hold.
    virtual std::optional<Bootloader::Clock::time_point> NextDeadline() const;

protected:
    enum EPipe
    {
        PIPE_WRITE = 0, // PIPE00, host to board
        PIPE_READ = 1,  // PIPE01, board to host
    };

    // The transport's side of a session.
    virtual bool IsConnected(int nPipe) const = 0;
    virtual void CloseConnections() = 0;
    // False when the connections of the session are known to be closed by the host already.
    virtual bool ConnectionsStillOpen() = 0;

    // Reads the memory file into the bootloader's memory; false with a reason in *pstrError
    // (also when a stop signal came meanwhile).
    bool LoadMemory(std::string* pstrError);

    // Whether a connection from host process nPid to nPipe may be taken now; a refused one is
    // logged and is to be closed unread. An accepted one that replaces a pipe of the same
    // host ends that host's earlier command first.
    bool AdmitConnection(int nPipe, int64_t nPid);
    // After the transport stored the accepted connection.
    void ConnectionTaken();
    void EndSession();
    // Ends the hold of a host that has been idle too long; true when it did.
    bool DropIfIdle(Bootloader::Clock::time_point now);
    std::optional<Bootloader::Clock::time_point> IdleExpiry() const;

    // Bytes that crossed the wire, for the log.
    void LogBytes(const char* pszDirection, const uint8_t* pData, size_t nCount);
    // While the bootloader awaits a command: how many of the leading bytes are no command.
    size_t UnknownCommandRun(std::span<const uint8_t> bytes) const;
    // Unknown command bytes the transport dropped; logged as one note later.
    void NoteDropped(const uint8_t* pData, size_t nCount);
    void FlushUnknownRun();
    void LogLine(const std::string& strText);
    void Note(const std::string& strText);

    CBoardConfig m_config;
    std::string m_strSaveDir;
    CWireLog* m_pLog;
    Bootloader::CBootloaderCore m_core;
    int64_t m_nSessionPid = 0;
    bool m_bSessionActive = false;
    Bootloader::Clock::time_point m_pollTime;     // when the transport last looked
    Bootloader::Clock::time_point m_lastActivity; // the host's last connection or byte

private:
    void SaveImage(const uint8_t* pData, uint64_t nSize);

    // A run of unknown command bytes, logged as one note when something else happens.
    uint64_t m_nUnknownRun = 0;
    std::string m_strUnknownHead;
};
