#pragma once
// The board's log: one line per event, so tests and people can see what crossed the wire.
//
//   NAME attached PATH      the board is listed at PATH
//   NAME session PID        both pipes of host process PID are connected; a session begins
//   NAME rx HEX             bytes the board read from PIPE00 (host to board), one read a line
//   NAME tx HEX             bytes the board wrote to PIPE01 (board to host), one write a line
//   NAME note TEXT          something the board did of its own accord (a fault, a refusal)
//   NAME refused PID        a connection from another process, closed unread
//   NAME end                the session is over
//   NAME detached           the board's directory is gone
//
// HEX is lower-case, two digits a byte, no spaces. Consecutive rx (or tx) lines of one
// session are one stream: how they are split says nothing about the protocol.
//
// One run appends at most its limit of bytes; the line that would pass it is replaced by
// "log truncated: ..." and nothing more is written, so a hostile host cannot fill the disk.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// What one run appends at most by default: room for the hex of a few 16 MiB images.
constexpr uint64_t DEFAULT_LOG_LIMIT = 64ull * 1024 * 1024;

// Opens strPath for appending bytes as they are (lines end with LF on every platform), not
// inherited by child processes; nullptr with errno set. Defined per platform.
std::FILE* OpenLogFile(const std::string& strPath);

class CWireLog
{
public:
    CWireLog() = default;
    ~CWireLog();
    CWireLog(const CWireLog&) = delete;
    CWireLog& operator=(const CWireLog&) = delete;

    // Appends to strPath; false with errno set when it cannot be opened.
    bool Open(const std::string& strPath);
    bool IsOpen() const { return m_pFile != nullptr; }
    // The most bytes this run appends; 0: no limit.
    void SetLimit(uint64_t nLimit) { m_nLimit = nLimit; }

    void Line(const std::string& strBoard, const std::string& strText);
    void Bytes(const std::string& strBoard, const char* pszDirection, const uint8_t* pData,
               size_t nCount);

    // A line could not be written (a full disk, /dev/full): the errno of the first failure; 0
    // while every line went out.
    int FailedWith() const;
    // From now on the first failure is said on standard error, once.
    void SayFailures();

private:
    // Under m_mutex: whether a line of nLength bytes may still be written.
    bool Reserve(size_t nLength);
    // Under m_mutex: after a write, notes whether it reached the file.
    void CheckWritten(bool bWritten);

    mutable std::mutex m_mutex;
    FILE* m_pFile = nullptr;
    uint64_t m_nLimit = DEFAULT_LOG_LIMIT;
    uint64_t m_nWritten = 0;
    bool m_bTruncated = false;
    int m_nFailedWith = 0;
    bool m_bSayFailures = false;
};
