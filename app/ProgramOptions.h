#pragma once
// The program's own options, taken off the argument list before the rest is parsed into the
// command-line record, and the text of --help.

#include "image/FirmwareImage.h"

#include <cstdint>
#include <string>
#include <vector>

struct CProgramOptions
{
    bool m_bHelp = false;
    bool m_bVersion = false;
    bool m_bList = false;
    bool m_bHeadless = false;
    bool m_bQuiet = false;        // errors only
    bool m_bVerbose = false;      // also the board used and the timings
    bool m_bJson = false;         // --list, --board-version and the run as JSON on stdout
    bool m_bNoExecute = false;    // the run without its execute command
    bool m_bExecute = false;      // --execute: start what the board holds
    bool m_bBoardVersion = false; // --board-version: print the board's version text
    bool m_bAll = false;          // --all: every attached board at once
    uint32_t m_nCount = 0;        // --count N: wait for N boards first (with --all)
    uint32_t m_nReceiveSize = 0;  // --receive SIZE; 0 when not asked
    std::string m_strDevicePath;
    bool m_bTimeoutSet = false;
    uint32_t m_nTimeoutMs = 0;
    int64_t m_nWaitMs = -1;
    std::vector<std::string> m_usbIds;    // each a list of VVVV:PPPP ids
    CImageOptions m_imageOptions;         // --gap-fill, --base, --allow-large-image
    std::string m_strConvertFile;         // --convert FILE: write its flat image, no board
    std::string m_strOutput;              // -o, --output ("-": standard output)
    std::string m_strStationFile;         // --station FILE: flash every board that arrives
    std::string m_strJournal;             // --journal FILE: a row per attempt
    bool m_bSummary = false;              // --summary: what the journal says
    std::vector<std::string> m_arguments; // what is left, in order
    // m_arguments from this index on followed "--": never an option or a switch
    size_t m_nFirstOperand = SIZE_MAX;

    bool IsBoardCommand() const { return m_bExecute || m_bBoardVersion || m_nReceiveSize != 0; }
};

// False with the reason in strError (one line) for an unknown long option, a missing or
// malformed value, or options that do not go together. Single-letter switches other than the
// keywords are left in place (the command line ignores them) and named in strWarning.
bool TakeProgramOptions(const std::vector<std::string>& arguments, CProgramOptions& options,
                        std::string& strError, std::string& strWarning);

// Decimal, or hexadecimal after "0x"; false when malformed or above nMax.
bool ParseNumber(const std::string& strText, uint64_t nMax, uint64_t& nValue);

// The usage text of --help.
std::string UsageText(const std::string& strProgram, bool bWindows = true);
