#pragma once
// Pipe I/O on Windows shared by the backends whose pipes are opened with CreateFileA: virtual
// boards' named pipes and the board driver's pipes.

#include "usb/PipeLayer.h"
#include "usb/WinHandle.h"

#include <memory>

// An IPipe over a handle opened with FILE_FLAG_OVERLAPPED; nullptr when no event can be made.
std::unique_ptr<IPipe> MakeOverlappedPipe(CWinHandle pipe);

// The errno-style code of a failed pipe call. A board that closed its end, or that refused
// this process because another one holds it, is a board that went away (ECONNRESET).
int PipeErrno(DWORD nError);

// The longest a wait without a time-out, or for a busy pipe, goes without looking at the
// process-wide stop's flag (its event ends the other waits at once).
constexpr DWORD STOP_LOOK_MS = 20;
