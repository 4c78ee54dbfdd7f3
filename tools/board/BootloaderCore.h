#pragma once
// The bootloader side of the wire protocol, independent of what carries the bytes: a Unix
// socket board and an emulated USB board both drive it. The transport asks where the next
// bytes from the host go (InputSpace) and what to send next (Output), moves them and reports
// how many moved. Data blocks go straight between the transport and the board's memory.

#include "usb/BootloaderProtocol.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace Bootloader
{
constexpr char DEFAULT_BANNER[] = "Plinth BL 2.1";
// The largest block a board takes by default; a longer send is refused at its length.
constexpr uint64_t DEFAULT_MAX_IMAGE = 1024ull * 1024 * 1024;
// The version reply split in two writes: this many bytes first, then the rest after a pause.
constexpr size_t SPLIT_VERSION_FIRST = 10;
constexpr uint32_t SPLIT_VERSION_PAUSE_MS = 50;

using Clock = std::chrono::steady_clock;

// The points at which a board answers; faults are aimed at them by name.
enum class EStep
{
    SendCommand,    // "s1": '>' after 's'
    SendLength,     // "s2": '>' after the length
    SendDone,       // "s3": '#' after the data
    ReceiveCommand, // "R1": '>' after 'R'
    ReceiveLength,  // "R2": '>' after the length
    ReceiveDone,    // "R3": '#' after the data
    Execute,        // "x1": '#' after 'x'
    Version,        // "v1": the 14-byte banner after 'v'
};

std::optional<EStep> ParseStep(const std::string& strName);
const char* StepName(EStep step);
// The reply a correct bootloader gives at an acknowledged step (not Version).
uint8_t ExpectedReply(EStep step);

struct CFaults
{
    std::optional<EStep> m_wrongReplyStep;  // answer this step with m_nWrongReply instead
    std::optional<uint8_t> m_nWrongReply;   // unset: the other of '>' and '#'
    std::optional<EStep> m_silentStep;      // send nothing from this step to the command's end
    std::optional<EStep> m_stallStep;       // stall the host's reading pipe at this step instead
    bool m_bSplitVersion = false;           // version reply as two writes with a pause
    uint32_t m_nShortReceive = 0;           // 'R' hands out this many bytes fewer, then stops
    std::optional<uint64_t> m_nUnplugAfter; // detach once this many data bytes have moved
    uint64_t m_nBytesPerSecond = 0;         // cap of the data phases; 0: none
    uint32_t m_nReplyDelayMs = 0;           // pause before every reply
};

struct CSettings
{
    std::string m_strBanner = DEFAULT_BANNER; // at most VERSION_REPLY_SIZE bytes
    uint64_t m_nMaxImage = DEFAULT_MAX_IMAGE;
    CFaults m_faults;
};

// The board's memory: what 's' wrote and 'R' reads back, zeros past its end.
class CMemory
{
public:
    const uint8_t* Data() const { return m_pData.get(); }
    uint8_t* Data() { return m_pData.get(); }
    uint64_t Size() const { return m_nSize; }
    // Makes room for nSize bytes without clearing them (they are about to be overwritten);
    // false when they cannot be had.
    bool Prepare(uint64_t nSize);
    void SetSize(uint64_t nSize) { m_nSize = nSize; }
    void Assign(const std::vector<uint8_t>& bytes);

private:
    std::unique_ptr<uint8_t[]> m_pData;
    uint64_t m_nCapacity = 0;
    uint64_t m_nSize = 0;
};

class CBootloaderCore
{
public:
    explicit CBootloaderCore(CSettings settings);

    // A new session: the bootloader waits for a command byte, nothing is pending.
    void Reset();

    // Where the host's next bytes go, at most its size; empty when the core takes none now
    // (a reply is still to be sent, or the throughput cap holds the data back).
    std::span<uint8_t> InputSpace(Clock::time_point now);
    void InputDone(size_t nCount, Clock::time_point now);

    // The bytes to send now; empty when there are none or they are not due yet.
    std::span<const uint8_t> Output(Clock::time_point now);
    void OutputDone(size_t nCount, Clock::time_point now);

    // When Output or InputSpace may change by time alone.
    std::optional<Clock::time_point> NextDeadline() const;

    // The unplug fault fired: the transport detaches the board.
    bool Unplugged() const { return m_bUnplugged; }
    // The stall fault fired since the last call: a transport that can stalls the pipe the host
    // reads from; the command then stays silent to its end.
    bool TakeStall() { return std::exchange(m_bStall, false); }
    // The execute was answered whole and correctly since the last call: a real board starts its
    // program now.
    bool TakeProgramStarted() { return std::exchange(m_bProgramStarted, false); }

    // The bootloader waits for a command byte and has nothing left to send.
    bool AwaitsCommand() const;
    // While it awaits a command: how many leading bytes are no command it knows. A transport
    // may drop such a run in one go instead of handing the bytes over one at a time.
    size_t UnknownCommandRun(std::span<const uint8_t> bytes) const;
    // A fault of the board's own (a silent step, a short receive) keeps the host waiting in
    // this command, so the host's silence is not its own.
    bool KeepsHostWaiting() const { return m_bSilent || m_bCutShort; }

    CMemory& Memory() { return m_memory; }

    // A block arrived whole (called before its '#' goes out).
    std::function<void(const uint8_t* pData, uint64_t nSize)> m_fnImageReceived;
    // A note for the board's log ("execute", "refused length ...").
    std::function<void(const std::string& strEvent)> m_fnEvent;

private:
    enum class EState
    {
        Command,
        SendLength,
        SendData,
        ReceiveLength,
    };
    enum class ESegment
    {
        Bytes,  // m_bytes
        Memory, // the memory from m_nOffset
        Zeros,
    };
    struct CSegment
    {
        ESegment m_eKind = ESegment::Bytes;
        std::vector<uint8_t> m_bytes;
        uint64_t m_nOffset = 0;
        uint64_t m_nLeft = 0;
        uint32_t m_nDelayMs = 0;
        std::optional<Clock::time_point> m_due; // set when the segment reaches the front
        bool m_bStartsProgram = false;          // the correct answer to an execute
    };

    void OnCommand(uint8_t nCommand, Clock::time_point now);
    void OnLength(Clock::time_point now);
    // Whether the reply at this step is withheld by a fault (silent, or stalled), noting the
    // fault when it fires.
    bool Withheld(EStep step);
    void QueueReply(EStep step);
    void QueueVersion();
    void QueueData(uint64_t nCount);
    // How many data bytes may move now, given the unplug and throughput faults.
    uint64_t DataAllowance(uint64_t nWanted, Clock::time_point now);
    void CountData(uint64_t nCount, Clock::time_point now);
    void Event(const std::string& strEvent) const;

    CSettings m_settings;
    CMemory m_memory;
    EState m_eState = EState::Command;
    uint8_t m_nCommand = 0;
    uint8_t m_length[4] = {};
    size_t m_nLengthHave = 0;
    uint64_t m_nDataLeft = 0;
    uint64_t m_nDataTotal = 0;
    std::deque<CSegment> m_output;
    uint64_t m_nDataMoved = 0;
    bool m_bUnplugged = false;
    bool m_bSilent = false;   // the silent fault fired in this command
    bool m_bCutShort = false; // the short-receive fault fired in it
    bool m_bStall = false;
    bool m_bProgramStarted = false;
    std::optional<Clock::time_point> m_nextData; // throughput cap
};
} // namespace Bootloader
