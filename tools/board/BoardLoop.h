#pragma once
// The event loop of quillon-board, one per platform: it attaches every board of the options to
// the registry, serves them until a stop signal or until all were unplugged, and detaches them.

#include "board/BoardOptions.h"
#include "board/WireLog.h"

#include <string>

// The process's exit code: 0 after a stop or when every board was unplugged, 1 when a board
// could not be attached or the loop failed (the reason is on stderr).
int ServeBoards(CBoardOptions& options, const std::string& strRegistry, CWireLog* pLog);
