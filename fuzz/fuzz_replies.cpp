// CUsbDevice's four commands against a board whose every reply byte, read piece, short write,
// cancelled transfer and failed opening comes from the fuzz input. No command may crash or
// hang, and none may report success for an exchange that is not the protocol's: the board
// must have received exactly the command's bytes and answered exactly its replies. A board
// that plays by the rules, on the other hand, must see every command succeed.
//
// Input: CALLS, the number of bytes at the end of the input that script the pipe calls,
// one each, the last byte first; then the commands. Calls past those behave well, so an
// input that begins with 0 describes a board that plays by the rules.
//   command:  KIND [COUNT [DATA...]] REPLY_LENGTH REPLY...
//   KIND      bits 0-1: 0 SendData, 1 ReceiveData, 2 GetVersion, 3 Execute
//             bit 2: a null buffer; bit 3: PIPE01 does not open; bit 4: PIPE00 does not
//             open; bit 5: the progress callback abandons the transfer
//   COUNT     one byte, the block size of SendData (followed by its bytes) and ReceiveData
//   a call:   0 (or none left): all it can (the whole count, or what is left of the
//             replies); 1-239: at most that many bytes; 240-247: a failure that moves
//             nothing (from 244 on without a reason); 248-255: a write that takes at most
//             (byte - 248) bytes

#include "usb/PipeLayer.h"
#include "usb/UsbDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

constexpr char BOARD_PATH[] = "/fuzz/board0";
constexpr size_t MAX_COMMANDS = 8;
constexpr uint8_t CALL_FAILS = 240;
constexpr uint8_t CALL_FAILS_SILENTLY = 244; // and gives no reason
constexpr uint8_t CALL_WRITE_SHORT = 248;

void Check(bool bCondition, unsigned nLine = __builtin_LINE())
{
    if (!bCondition)
    {
        std::fprintf(stderr, "check failed at line %u\n", nLine);
        std::abort();
    }
}

// The fuzz input: the commands from the front, the calls from the back; zeros once a part
// is used up.
class CInput
{
public:
    CInput(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nBack(nSize)
    {
        const size_t nCalls = std::min<size_t>(Front(), nSize - m_nFront);
        m_nEnd = nSize - nCalls;
    }
    bool FrontEmpty() const { return m_nFront >= m_nEnd; }
    uint8_t Front() { return m_nFront < m_nBack && m_nFront < m_nEnd ? m_pData[m_nFront++] : 0; }
    uint8_t Back() { return m_nBack > m_nEnd ? m_pData[--m_nBack] : 0; }
    Bytes FrontBytes(size_t nCount)
    {
        nCount = std::min(nCount, m_nEnd - std::min(m_nFront, m_nEnd));
        Bytes bytes(m_pData + m_nFront, m_pData + m_nFront + nCount);
        m_nFront += nCount;
        return bytes;
    }

private:
    const uint8_t* m_pData;
    size_t m_nFront = 0;
    size_t m_nBack;
    size_t m_nEnd = SIZE_MAX; // where the commands end and the calls begin
};

// One run of bytes through a pipe, as the board saw it.
struct CEvent
{
    bool m_bFromHost = false;
    Bytes m_bytes;
};

// The board of one command: its replies, and what crossed its pipes.
struct CBoardState
{
    CInput* m_pInput = nullptr;
    bool m_bReadOpens = true;
    bool m_bWriteOpens = true;
    Bytes m_replies;
    size_t m_nReplied = 0;
    bool m_bWellBehaved = true; // every call moved all it could
    std::vector<CEvent> m_events;
    int m_nOpenPipes = 0;

    void Record(bool bFromHost, const uint8_t* pBytes, size_t nCount)
    {
        if (nCount == 0)
        {
            return;
        }
        if (m_events.empty() || m_events.back().m_bFromHost != bFromHost)
        {
            m_events.push_back({bFromHost, {}});
        }
        m_events.back().m_bytes.insert(m_events.back().m_bytes.end(), pBytes, pBytes + nCount);
    }
};

class CScriptedPipe : public IPipe
{
public:
    CScriptedPipe(CBoardState* pBoard, bool bRead) : m_pBoard(pBoard), m_bRead(bRead)
    {
        ++m_pBoard->m_nOpenPipes;
    }
    ~CScriptedPipe() override { --m_pBoard->m_nOpenPipes; }
    CScriptedPipe(const CScriptedPipe&) = delete;
    CScriptedPipe& operator=(const CScriptedPipe&) = delete;

    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        Check(m_bRead && pBuffer != nullptr);
        if (nCount == 0)
        {
            return 0;
        }
        const uint8_t nCall = m_pBoard->m_pInput->Back();
        const size_t nLeft = m_pBoard->m_replies.size() - m_pBoard->m_nReplied;
        size_t nGive = std::min<size_t>(nCount, nLeft);
        if (nCall != 0)
        {
            m_pBoard->m_bWellBehaved = false;
            nGive = nCall >= CALL_FAILS ? 0 : std::min<size_t>(nGive, nCall);
        }
        if (nGive > 0)
        {
            std::memcpy(pBuffer, m_pBoard->m_replies.data() + m_pBoard->m_nReplied, nGive);
            m_pBoard->Record(false, m_pBoard->m_replies.data() + m_pBoard->m_nReplied, nGive);
        }
        m_pBoard->m_nReplied += nGive;
        m_nLastError = nGive < nCount ? ErrorOf(nCall, ECONNRESET) : 0;
        if (pProgress != nullptr && *pProgress && nGive > 0 && !(*pProgress)(nGive, nCount))
        {
            m_nLastError = ECANCELED;
        }
        return static_cast<uint32_t>(nGive);
    }

    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        Check(!m_bRead && pBuffer != nullptr);
        if (nCount == 0)
        {
            return 0;
        }
        const uint8_t nCall = m_pBoard->m_pInput->Back();
        size_t nTake = nCount;
        if (nCall != 0)
        {
            m_pBoard->m_bWellBehaved = false;
            if (nCall >= CALL_WRITE_SHORT)
            {
                nTake = std::min<size_t>(nCount, nCall - CALL_WRITE_SHORT);
            }
            else if (nCall >= CALL_FAILS)
            {
                nTake = 0;
            }
        }
        m_nLastError = nTake < nCount ? ErrorOf(nCall, EPIPE) : 0;
        if (pProgress != nullptr && *pProgress && !(*pProgress)(nTake / 2, nCount))
        {
            // Abandoned halfway: only what moved before counts.
            nTake /= 2;
            m_nLastError = ECANCELED;
        }
        m_pBoard->Record(true, static_cast<const uint8_t*>(pBuffer), nTake);
        return static_cast<uint32_t>(nTake);
    }

    int LastError() const override { return m_nLastError; }

private:
    // Why a call moved less than asked.
    static int ErrorOf(uint8_t nCall, int nFailure)
    {
        if (nCall < CALL_FAILS || nCall >= CALL_WRITE_SHORT)
        {
            return ETIMEDOUT;
        }
        return nCall < CALL_FAILS_SILENTLY ? nFailure : 0;
    }

    CBoardState* m_pBoard;
    bool m_bRead;
    int m_nLastError = 0;
};

class CScriptedBackend : public IPipeBackend
{
public:
    explicit CScriptedBackend(CBoardState* pBoard) : m_pBoard(pBoard) {}

    std::vector<CInterfaceEntry> ListInterfaces() override
    {
        return {{true, BOARD_PATH, true, "Scripted board"}};
    }
    bool OwnsPipeName(const std::string& strPipeName) const override
    {
        return strPipeName.rfind(BOARD_PATH, 0) == 0;
    }
    std::unique_ptr<IPipe> OpenPipe(const std::string& strPipeName, int* pError) override
    {
        const bool bRead = strPipeName == std::string(BOARD_PATH) + READ_PIPE_SUFFIX;
        Check(bRead || strPipeName == std::string(BOARD_PATH) + WRITE_PIPE_SUFFIX);
        if (!(bRead ? m_pBoard->m_bReadOpens : m_pBoard->m_bWriteOpens))
        {
            if (pError != nullptr)
            {
                *pError = ENOENT;
            }
            return nullptr;
        }
        return std::make_unique<CScriptedPipe>(m_pBoard, bRead);
    }

private:
    CBoardState* m_pBoard;
};

enum ECommand : uint8_t
{
    SEND = 0,
    RECEIVE = 1,
    VERSION = 2,
    EXECUTE = 3,
};

Bytes Length(uint32_t nValue)
{
    return {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8),
            static_cast<uint8_t>(nValue >> 16), static_cast<uint8_t>(nValue >> 24)};
}

// The exchange of a command that went right, merged into runs as CBoardState records them.
std::vector<CEvent> Exchange(std::initializer_list<std::pair<bool, Bytes>> parts)
{
    CBoardState merged;
    for (const auto& [bFromHost, bytes] : parts)
    {
        merged.Record(bFromHost, bytes.data(), bytes.size());
    }
    return merged.m_events;
}

bool SameExchange(const std::vector<CEvent>& expected, const std::vector<CEvent>& actual)
{
    return std::equal(expected.begin(), expected.end(), actual.begin(), actual.end(),
                      [](const CEvent& a, const CEvent& b)
                      { return a.m_bFromHost == b.m_bFromHost && a.m_bytes == b.m_bytes; });
}

void RunCommand(CUsbDevice& device, CBoardState& board, CInput& input)
{
    const uint8_t nKind = input.Front();
    const auto eCommand = static_cast<ECommand>(nKind & 0x03);
    const bool bNullBuffer = (nKind & 0x04) != 0;
    board.m_bReadOpens = (nKind & 0x08) == 0;
    board.m_bWriteOpens = (nKind & 0x10) == 0;
    const bool bAbandon = (nKind & 0x20) != 0;
    uint32_t nCount = 0;
    Bytes data;
    if (eCommand == SEND || eCommand == RECEIVE)
    {
        nCount = input.Front();
    }
    if (eCommand == SEND)
    {
        data = input.FrontBytes(nCount);
        data.resize(nCount, 0);
    }
    board.m_replies = input.FrontBytes(input.Front());
    board.m_nReplied = 0;
    board.m_events.clear();
    board.m_bWellBehaved = board.m_bReadOpens && board.m_bWriteOpens;
    device.SetProgress([bAbandon](uint64_t, uint64_t) { return !bAbandon; });

    const Bytes& replies = board.m_replies;
    bool bOk = false;
    std::vector<CEvent> expected;
    bool bProtocolReplies = false; // the board answered exactly as the protocol says
    switch (eCommand)
    {
    case SEND:
    {
        bOk = device.SendData(bNullBuffer ? nullptr : data.data(), nCount);
        expected = Exchange({{true, {CMD_SEND}},
                             {false, {REPLY_READY}},
                             {true, Length(nCount)},
                             {false, {REPLY_READY}},
                             {true, data},
                             {false, {REPLY_DONE}}});
        bProtocolReplies = replies == Bytes{REPLY_READY, REPLY_READY, REPLY_DONE};
        if (bNullBuffer && nCount != 0)
        {
            // Nothing may be read from a null buffer, nor a command begun.
            Check(!bOk && device.LastError() == EINVAL && board.m_events.empty());
        }
        break;
    }
    case RECEIVE:
    {
        // Exactly the size asked, so that a byte too many is caught.
        std::unique_ptr<uint8_t[]> pBuffer(bNullBuffer ? nullptr : new uint8_t[nCount]);
        if (pBuffer)
        {
            std::memset(pBuffer.get(), 0xEE, nCount);
        }
        bOk = device.ReceiveData(nCount, pBuffer.get());
        Bytes boardData;
        if (bOk)
        {
            // The data the board sent lies between the second '>' and the final '#'.
            Check(replies.size() >= nCount + 3);
            boardData.assign(replies.begin() + 2, replies.begin() + 2 + nCount);
            Check(nCount == 0 || std::equal(boardData.begin(), boardData.end(), pBuffer.get()));
        }
        expected = Exchange({{true, {CMD_RECEIVE}},
                             {false, {REPLY_READY}},
                             {true, Length(nCount)},
                             {false, {REPLY_READY}},
                             {false, boardData},
                             {false, {REPLY_DONE}}});
        bProtocolReplies = replies.size() == nCount + 3 && replies[0] == REPLY_READY &&
                           replies[1] == REPLY_READY && replies.back() == REPLY_DONE;
        if (bNullBuffer && nCount != 0)
        {
            Check(!bOk && device.LastError() == EINVAL && board.m_events.empty());
        }
        break;
    }
    case VERSION:
    {
        const std::string strVersion = device.GetVersion();
        const bool bReplied = replies.size() >= VERSION_REPLY_SIZE;
        const Bytes banner(replies.begin(),
                           replies.begin() + std::min<size_t>(replies.size(), VERSION_REPLY_SIZE));
        expected = Exchange({{true, {CMD_VERSION}}, {false, banner}});
        // A text, or an empty one without a failure, only from a whole 14-byte reply: what
        // comes before its first NUL.
        bOk = !strVersion.empty() || device.LastError() == 0;
        if (bOk)
        {
            Check(bReplied);
            Check(strVersion ==
                  std::string(banner.begin(), std::find(banner.begin(), banner.end(), uint8_t{0})));
        }
        bProtocolReplies = replies.size() == VERSION_REPLY_SIZE;
        break;
    }
    case EXECUTE:
        bOk = device.Execute();
        expected = Exchange({{true, {CMD_EXECUTE}}, {false, {REPLY_DONE}}});
        bProtocolReplies = replies == Bytes{REPLY_DONE};
        break;
    }

    if (bOk)
    {
        Check(SameExchange(expected, board.m_events));
        Check(device.LastError() == 0);
        Check(board.m_nOpenPipes == 0); // a command that went right closes its pipes
    }
    else
    {
        Check(device.LastError() != 0);
    }
    if (board.m_bWellBehaved && !bAbandon && !(bNullBuffer && nCount != 0) && bProtocolReplies)
    {
        Check(bOk);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    CInput input(pData, nSize);
    CBoardState board;
    board.m_pInput = &input;
    CScriptedBackend backend(&board);
    const CPipeBackendOverride override({&backend});
    {
        const CUsbDeviceList devices = EnumerateDevices();
        Check(devices.size() == 1);
        // Several commands on one connection, as the front ends run them.
        CUsbDevice device(devices.front());
        for (size_t i = 0; i < MAX_COMMANDS && !input.FrontEmpty(); ++i)
        {
            RunCommand(device, board, input);
        }
    }
    Check(board.m_nOpenPipes == 0);
    return 0;
}
