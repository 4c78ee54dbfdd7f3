#pragma once
// An advisory lock per board. Every bootloader command opens and closes the pipes, so two
// Quillon processes could take turns on one board between commands: one sends, the other
// sends, the first executes the other's image. A front end holds the board's lock from its
// first command of an operation to its last, and another process then waits or gives up.
//
// On POSIX a virtual board is locked by flock() on its directory, a USB board by flock() on
// its device node (the backend's SharedLockFile), which every user who may open the board can
// open too, so that runs of different users are kept apart as well. A board without either
// (or whose node cannot be opened) is locked by flock() on a lock file named after its path in
// GetBoardLockDirectory(), per user. On Windows every board is locked by LockFileEx() on such a
// lock file (and WinUSB lets one program at a time open a board). The lock goes with the open file:
// it is released when the object is destroyed, and by the system when the process ends in any way.

#include <cstdint>
#include <string>
#include <sys/types.h>

enum class EBoardLock
{
    None,       // nothing tried yet, or released
    Held,       // this object holds the board
    Busy,       // another process holds it
    Gone,       // the board's directory is no longer there
    Unavailable // the lock cannot be taken here (see Error); the board is not held
};

class CBoardLock
{
public:
    CBoardLock() = default;
    ~CBoardLock();
    CBoardLock(CBoardLock&& other) noexcept;
    CBoardLock& operator=(CBoardLock&& other) noexcept;
    CBoardLock(const CBoardLock&) = delete;
    CBoardLock& operator=(const CBoardLock&) = delete;

    // One attempt, without waiting; the callers poll.
    static CBoardLock TryLock(const std::string& strDevicePath);

    EBoardLock State() const { return m_eState; }
    bool IsHeld() const { return m_eState == EBoardLock::Held; }
    // Busy: the process holding the board, as the kernel's lock table names it; 0 if unknown.
    pid_t Holder() const { return m_nHolder; }
    // Gone and Unavailable: why, for the user.
    const std::string& Error() const { return m_strError; }
    void Release();

private:
    // The descriptor (POSIX) or file HANDLE (Windows) holding the lock; -1 for none.
    std::intptr_t m_hLock = -1;
    EBoardLock m_eState = EBoardLock::None;
    pid_t m_nHolder = 0;
    std::string m_strError;
};

// Where the lock files of boards without a directory of their own are:
// $XDG_RUNTIME_DIR/quillon/locks, else /tmp/quillon-<uid>/locks (mode 0700, checked like the
// registry); on Windows %LOCALAPPDATA%\Quillon\locks.
std::string GetBoardLockDirectory();

// "board in use by process N", or "by another process" when the holder is unknown.
std::string BoardInUseText(pid_t nHolder);

// "usb:1-2.4" -> "board-usb_1-2.4.lock": one flat name per path, nothing a path could escape by.
std::string BoardLockFileName(const std::string& strDevicePath);
