#pragma once
// Windows handles that close themselves, and the checks that keep virtual boards per user:
// a board's pipes are made for the current user's SID only, and Quillon talks only to a pipe
// whose server runs as the current user.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class CWinHandle
{
public:
    CWinHandle() = default;
    explicit CWinHandle(HANDLE hHandle) : m_hHandle(hHandle) {}
    ~CWinHandle() { Reset(); }
    CWinHandle(CWinHandle&& other) noexcept : m_hHandle(other.Release()) {}
    CWinHandle& operator=(CWinHandle&& other) noexcept
    {
        if (this != &other)
        {
            Reset(other.Release());
        }
        return *this;
    }
    CWinHandle(const CWinHandle&) = delete;
    CWinHandle& operator=(const CWinHandle&) = delete;

    HANDLE Get() const { return m_hHandle; }
    bool IsValid() const { return m_hHandle != nullptr && m_hHandle != INVALID_HANDLE_VALUE; }
    HANDLE Release() { return std::exchange(m_hHandle, INVALID_HANDLE_VALUE); }
    void Reset(HANDLE hHandle = INVALID_HANDLE_VALUE)
    {
        if (IsValid())
        {
            ::CloseHandle(m_hHandle);
        }
        m_hHandle = hHandle;
    }

private:
    HANDLE m_hHandle = INVALID_HANDLE_VALUE;
};

// The system's text for a Windows error code, without its line end and full stop; "error N"
// when the system has none.
std::string SystemErrorText(DWORD nError);

// The user SID of a process's token, as bytes; empty when it cannot be read.
std::vector<uint8_t> ProcessUserSid(HANDLE hProcess);

// True when process nProcessId runs as the same user as this process. False also when that
// cannot be found out (the process is gone, or its token is closed to us).
bool RunsAsCurrentUser(DWORD nProcessId);

// A security descriptor whose only entry grants the current user everything, for the pipes of
// a board: no other user can open them or make an instance of their name.
class COwnerOnlySecurity
{
public:
    // False when the current user's SID cannot be had.
    bool Build();
    SECURITY_ATTRIBUTES* Attributes() { return &m_attributes; }

private:
    std::vector<uint8_t> m_sid;
    std::vector<uint8_t> m_acl;
    SECURITY_DESCRIPTOR m_descriptor{};
    SECURITY_ATTRIBUTES m_attributes{};
};
