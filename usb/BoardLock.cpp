// The board lock's parts that are the same everywhere; taking and releasing it is per platform.

#include "usb/BoardLock.h"

#include <utility>

std::string BoardLockFileName(const std::string& strDevicePath)
{
    std::string strName = "board-";
    for (char ch : strDevicePath)
    {
        const bool bPlain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                            (ch >= '0' && ch <= '9') || ch == '-' || ch == '.';
        strName += bPlain ? ch : '_';
    }
    return strName + ".lock";
}

CBoardLock::~CBoardLock()
{
    Release();
}

CBoardLock::CBoardLock(CBoardLock&& other) noexcept
    : m_hLock(std::exchange(other.m_hLock, -1)),
      m_eState(std::exchange(other.m_eState, EBoardLock::None)),
      m_nHolder(std::exchange(other.m_nHolder, 0)), m_strError(std::move(other.m_strError))
{
}

CBoardLock& CBoardLock::operator=(CBoardLock&& other) noexcept
{
    if (this != &other)
    {
        Release();
        m_hLock = std::exchange(other.m_hLock, -1);
        m_eState = std::exchange(other.m_eState, EBoardLock::None);
        m_nHolder = std::exchange(other.m_nHolder, 0);
        m_strError = std::move(other.m_strError);
    }
    return *this;
}

std::string BoardInUseText(pid_t nHolder)
{
    return nHolder > 0 ? "board in use by process " + std::to_string(nHolder)
                       : std::string("board in use by another process");
}
