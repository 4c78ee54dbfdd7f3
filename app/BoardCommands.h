#pragma once
// The window's single board operations from the command line, without any window: start
// what the board holds, read its version, receive a block of its memory into a file. Each
// takes the board as the unattended run does (the first one, or the one of --device; within
// --wait; held against other Quillon processes for the whole operation) and ends with an
// exit code: 0 done, 2 no board in time or stopped by a signal, 25 the output cannot be
// written, 39 the board failed the command, 47 the old bootloader refused, 77 a board is
// attached but this user may not open it.

#include <cstdint>
#include <string>

enum class EBoardCommand
{
    Version, // print the version text on one line
    Execute, // start what the board holds
    Receive  // receive a block into a file, or standard output for "-"
};

struct CBoardCommandOptions
{
    std::string m_strDevicePath; // empty: the first board
    int64_t m_nWaitMs = -1;      // <0: look once
    uint32_t m_nReceiveSize = 0;
    std::string m_strOutput;
    bool m_bJson = false; // the version as a JSON object
};

int RunBoardCommand(EBoardCommand eCommand, const CBoardCommandOptions& options);
