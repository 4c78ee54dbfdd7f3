#pragma once
// A scripted stand-in for the pipe layer: boards that exist only inside the test process.
// Each fake board either answers the bootloader protocol itself or replays a script of read
// results, and records every call and every byte that crossed its pipes.

#include "usb/PipeLayer.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct CFakeCall
{
    std::string m_strOp; // "open", "read", "write", "close"
    std::string m_strPipe;
    uint32_t m_nAsked = 0;
    uint32_t m_nDone = 0;
};

class CFakeBoard
{
public:
    std::string m_strPath = "/fake/board0";
    std::string m_strDescription = "Plinth fake board";
    std::string m_strAttachment; // what the listing says of this attachment
    bool m_bPathOk = true;
    bool m_bDescriptionOk = true;
    bool m_bReadPipeOpens = true;
    bool m_bWritePipeOpens = true;

    // Protocol mode (default): a bootloader that answers each command.
    std::string m_strVersionReply = std::string("Plinth BL 2.0\0", 14);
    std::vector<uint8_t> m_memory;              // what 'R' hands out (then zeros); 's' stores here
    std::optional<uint8_t> m_nWrongReplyAtStep; // reply this byte instead at step m_nFaultStep
    int m_nFaultStep = -1;       // 0-based index of acknowledged replies since the board started
    int m_nSilentFromStep = -1;  // from this reply on, send nothing
    uint32_t m_nShortDataBy = 0; // 'R' hands out this many bytes fewer
    uint32_t m_nAcceptWriteLimit = UINT32_MAX; // a write takes at most this many bytes
    int m_nStalledReads = 0;                   // the next reads bring nothing but a stall

    // Script mode: when not empty, reads are answered from here instead (one entry per call;
    // an entry's bytes are copied, at most the count asked).
    std::deque<std::string> m_scriptedReads;
    bool m_bScripted = false;
    // Called at the start of every read, before anything is answered.
    std::function<void()> m_fnOnRead;

    // What was seen.
    std::vector<uint8_t> m_hostToBoard;
    std::vector<uint8_t> m_boardToHost;
    std::vector<CFakeCall> m_calls;
    int m_nOpenPipes = 0;

    int CountCalls(const std::string& strOp) const;

    // Internal: the bootloader's pending output.
    std::deque<uint8_t> m_pending;
    int m_nReplyIndex = 0;
    enum class EState
    {
        Command,
        SendLength,
        SendData,
        ReceiveLength
    } m_eState = EState::Command;
    uint32_t m_nLengthBytes = 0;
    uint8_t m_lengthBuffer[4] = {};
    uint32_t m_nDataLeft = 0;
    std::vector<uint8_t> m_incoming;
    void Feed(const uint8_t* pData, uint32_t nCount);
    void Reply(uint8_t nByte);
};

class CFakePipeBackend : public IPipeBackend
{
public:
    std::vector<CFakeBoard*> m_boards;
    // Held while listing and opening; a test that changes m_boards while other threads list
    // them (the station) holds it too.
    std::mutex m_mutex;
    int m_nListCalls = 0;

    std::vector<CInterfaceEntry> ListInterfaces() override;
    bool OwnsPipeName(const std::string& strPipeName) const override;
    std::unique_ptr<IPipe> OpenPipe(const std::string& strPipeName, int* pError) override;
};
