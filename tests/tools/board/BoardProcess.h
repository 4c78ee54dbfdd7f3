#pragma once
// Runs quillon-board as a separate process for integration tests and reads back its log.
//
// The log (quillon-board --log FILE) has one line per event, each beginning with the board's
// name:
//   NAME attached PATH      NAME session PID      NAME end         NAME detached
//   NAME rx HEX             bytes the board read (host to board), one read a line
//   NAME tx HEX             bytes the board wrote (board to host), one write a line
//   NAME refused PID        a connection from another host process, closed unread
//   NAME note TEXT          faults fired, images saved, unknown commands, idle hosts dropped
// HEX is lower-case, two digits a byte. Consecutive rx (or tx) lines are one stream; the
// reader merges them, so a conversation reads as the phase tables do.

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// One direction's run of bytes within a session.
struct CExchange
{
    bool m_bFromHost = false;
    std::vector<uint8_t> m_bytes;
    bool operator==(const CExchange&) const = default;
};
using CConversation = std::vector<CExchange>;

struct CLogLine
{
    std::string m_strBoard;
    std::string m_strKind; // "rx", "tx", "session", ...
    std::string m_strRest;
};

// Builds a conversation from alternating parts: "h:73", "b:3e", "h:03000000", ...
CConversation Conversation(const std::vector<std::string>& parts);
// Empty when equal; else where the two first differ, readable even for large blocks.
std::string ConversationDifference(const CConversation& expected, const CConversation& actual);
std::vector<uint8_t> FromHex(const std::string& strHex);

class CBoardLog
{
public:
    explicit CBoardLog(std::string strPath) : m_strPath(std::move(strPath)) {}
    std::vector<CLogLine> Lines() const;
    // The sessions of one board, in order, each merged into a conversation.
    std::vector<CConversation> Sessions(const std::string& strBoard) const;
    size_t Count(const std::string& strBoard, const std::string& strKind) const;
    // Waits until the board has logged at least nCount lines of strKind.
    bool WaitFor(const std::string& strBoard, const std::string& strKind, size_t nCount,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    std::string m_strPath;
};

class CBoardProcess
{
public:
    CBoardProcess() = default;
    ~CBoardProcess();
    CBoardProcess(const CBoardProcess&) = delete;
    CBoardProcess& operator=(const CBoardProcess&) = delete;

    // Starts QUILLON_BUILD_DIR/quillon-board with arguments and waits until nBoards boards
    // say they are attached (or the process ends). False when they did not.
    bool Start(const std::vector<std::string>& arguments, size_t nBoards = 1);
    // SIGTERM and wait; the exit status as waitpid gives it, or -1.
    int Stop();
    // Waits for the process to end by itself; -1 when it did not in time.
    int WaitExit(std::chrono::milliseconds timeout);
    pid_t Pid() const { return m_nPid; }
    // What the process printed on stdout so far (read up to its attached lines).
    const std::string& Output() const { return m_strOutput; }

private:
    pid_t m_nPid = -1;
    int m_nStdout = -1;
    std::string m_strOutput;
};

// A private temporary directory, removed with everything in it.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};
