#pragma once
// The run's sequence on one board, for runs that serve several boards at once, each on a
// thread of its own (--all and the station): the version twice, the refusal of the old
// bootloader, the send, and the execute. The same checks, texts, results and reasons as a
// single run, but nothing is printed here: the hooks and the outcome say what happened, and
// the caller reports it.

#include "usb/UsbDevice.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The language texts the sequence names its results with, read once before threads start.
struct CFlashTexts
{
    CFlashTexts();
    std::string m_strLoaded;        // 26 "Program has been loaded"
    std::string m_strExecuteFailed; // 36 "Failed with error %d"
    std::string m_strSendFailed;    // 39 "Send Failed"
    std::string m_strOldBootloader; // 47
};

enum class EFlashEnd
{
    Flashed,  // the board holds the whole image and was told to start it (or not, if asked)
    Failed,   // the board failed a command, or its bootloader is refused
    Stopped,  // a stop came first: the image was not started (and maybe not sent whole)
    Absent,   // nothing answers at the board's path: no attempt was made
    HeldBack, // the caller's go-ahead was refused before anything was sent
};

struct CFlashOutcome
{
    EFlashEnd m_eEnd = EFlashEnd::Absent;
    int m_nResult = 2;        // as a single run ends: 0, 2 stopped, 39 failed, 47 old bootloader
    std::string m_strVersion; // the bootloader's banner, up to its first NUL
    std::string m_strMessage; // the run's own text for the result ("Send Failed", ...)
    std::string m_strReason;  // why, for a person; empty when the board was flashed
    uint64_t m_nBytesSent = 0;
};

// The points of the sequence a caller may report as they are reached.
enum class EFlashStep
{
    Sending, // the board's bootloader is accepted; the image goes out now
    Sent,    // the board took the whole image
};

struct CFlashHooks
{
    // Once the board answered its version, before anything is sent: false holds the flash
    // back (HeldBack). Empty: go ahead.
    std::function<bool(const std::string& strVersion)> m_fnBegin;
    // Between the pieces of the image; false abandons the send.
    PipeProgress m_fnProgress;
    // Whether a stop was asked for (besides a stop signal, which always counts).
    std::function<bool()> m_fnStopRequested;
    // Each step as it is reached.
    std::function<void(EFlashStep eStep)> m_fnStep;
};

// The sequence on a board the caller already holds (its CBoardLock).
CFlashOutcome FlashHeldBoard(CUsbDevice& device, const std::vector<uint8_t>& image, bool bNoExecute,
                             const CFlashTexts& texts, const CFlashHooks& hooks);

// What went wrong, for a line, a tile and the journal: the run's message and the reason
// ("Send Failed: the board did not answer within 3000 ms"); empty for a flashed board.
std::string FlashProblem(const CFlashOutcome& outcome);
