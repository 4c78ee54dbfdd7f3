#include "support/FakePipeBackend.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{
constexpr uint8_t READY = '>';
constexpr uint8_t DONE = '#';

class CFakePipe : public IPipe
{
public:
    CFakePipe(CFakeBoard& board, std::string strPipe)
        : m_board(board), m_strPipe(std::move(strPipe))
    {
        ++m_board.m_nOpenPipes;
    }
    ~CFakePipe() override
    {
        --m_board.m_nOpenPipes;
        m_board.m_calls.push_back({"close", m_strPipe, 0, 0});
    }

    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress*) override
    {
        if (m_board.m_fnOnRead)
        {
            m_board.m_fnOnRead();
        }
        uint32_t nDone = 0;
        if (m_board.m_nStalledReads > 0)
        {
            --m_board.m_nStalledReads;
            m_board.m_calls.push_back({"read", m_strPipe, nCount, 0});
            m_nError = EPIPE;
            return 0;
        }
        if (m_board.m_bScripted)
        {
            if (!m_board.m_scriptedReads.empty())
            {
                const std::string strChunk = m_board.m_scriptedReads.front();
                m_board.m_scriptedReads.pop_front();
                nDone = std::min<uint32_t>(nCount, static_cast<uint32_t>(strChunk.size()));
                std::memcpy(pBuffer, strChunk.data(), nDone);
            }
        }
        else
        {
            while (nDone < nCount && !m_board.m_pending.empty())
            {
                static_cast<uint8_t*>(pBuffer)[nDone++] = m_board.m_pending.front();
                m_board.m_pending.pop_front();
            }
        }
        const auto* pBytes = static_cast<const uint8_t*>(pBuffer);
        m_board.m_boardToHost.insert(m_board.m_boardToHost.end(), pBytes, pBytes + nDone);
        m_board.m_calls.push_back({"read", m_strPipe, nCount, nDone});
        m_nError = nDone < nCount ? ETIMEDOUT : 0;
        return nDone;
    }

    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress*) override
    {
        const uint32_t nDone = std::min(nCount, m_board.m_nAcceptWriteLimit);
        const auto* pBytes = static_cast<const uint8_t*>(pBuffer);
        m_board.m_hostToBoard.insert(m_board.m_hostToBoard.end(), pBytes, pBytes + nDone);
        m_board.m_calls.push_back({"write", m_strPipe, nCount, nDone});
        if (!m_board.m_bScripted)
        {
            m_board.Feed(pBytes, nDone);
        }
        m_nError = nDone < nCount ? EPIPE : 0;
        return nDone;
    }

    int LastError() const override { return m_nError; }

private:
    CFakeBoard& m_board;
    std::string m_strPipe;
    int m_nError = 0;
};
} // namespace

int CFakeBoard::CountCalls(const std::string& strOp) const
{
    return static_cast<int>(std::count_if(m_calls.begin(), m_calls.end(),
                                          [&](const CFakeCall& call)
                                          { return call.m_strOp == strOp; }));
}

void CFakeBoard::Reply(uint8_t nByte)
{
    const int nStep = m_nReplyIndex++;
    if (m_nSilentFromStep >= 0 && nStep >= m_nSilentFromStep)
    {
        return;
    }
    m_pending.push_back(nStep == m_nFaultStep && m_nWrongReplyAtStep ? *m_nWrongReplyAtStep
                                                                     : nByte);
}

void CFakeBoard::Feed(const uint8_t* pData, uint32_t nCount)
{
    for (uint32_t i = 0; i < nCount; ++i)
    {
        const uint8_t nByte = pData[i];
        switch (m_eState)
        {
        case EState::Command:
            if (nByte == 's' || nByte == 'R')
            {
                m_eState = nByte == 's' ? EState::SendLength : EState::ReceiveLength;
                m_nLengthBytes = 0;
                Reply(READY);
            }
            else if (nByte == 'v')
            {
                m_pending.insert(m_pending.end(), m_strVersionReply.begin(),
                                 m_strVersionReply.end());
            }
            else if (nByte == 'x')
            {
                Reply(DONE);
            }
            break;
        case EState::SendLength:
        case EState::ReceiveLength:
            m_lengthBuffer[m_nLengthBytes++] = nByte;
            if (m_nLengthBytes == 4)
            {
                const uint32_t nLength = m_lengthBuffer[0] | (m_lengthBuffer[1] << 8) |
                                         (m_lengthBuffer[2] << 16) |
                                         (static_cast<uint32_t>(m_lengthBuffer[3]) << 24);
                Reply(READY);
                if (m_eState == EState::SendLength)
                {
                    m_incoming.clear();
                    m_nDataLeft = nLength;
                    m_eState = EState::SendData;
                    if (nLength == 0)
                    {
                        m_memory.clear();
                        m_eState = EState::Command;
                        Reply(DONE);
                    }
                }
                else
                {
                    const uint32_t nGiven = nLength > m_nShortDataBy ? nLength - m_nShortDataBy : 0;
                    for (uint32_t n = 0; n < nGiven; ++n)
                    {
                        m_pending.push_back(n < m_memory.size() ? m_memory[n] : 0);
                    }
                    if (nGiven == nLength)
                    {
                        Reply(DONE);
                    }
                    m_eState = EState::Command;
                }
            }
            break;
        case EState::SendData:
            m_incoming.push_back(nByte);
            if (--m_nDataLeft == 0)
            {
                m_memory = m_incoming;
                m_eState = EState::Command;
                Reply(DONE);
            }
            break;
        }
    }
}

std::vector<CInterfaceEntry> CFakePipeBackend::ListInterfaces()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    ++m_nListCalls;
    std::vector<CInterfaceEntry> entries;
    for (const CFakeBoard* pBoard : m_boards)
    {
        entries.push_back({pBoard->m_bPathOk, pBoard->m_bPathOk ? pBoard->m_strPath : "",
                           pBoard->m_bDescriptionOk,
                           pBoard->m_bDescriptionOk ? pBoard->m_strDescription : "",
                           pBoard->m_strAttachment});
    }
    return entries;
}

bool CFakePipeBackend::OwnsPipeName(const std::string&) const
{
    return true;
}

std::unique_ptr<IPipe> CFakePipeBackend::OpenPipe(const std::string& strPipeName, int* pError)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (CFakeBoard* pBoard : m_boards)
    {
        const bool bRead = strPipeName == pBoard->m_strPath + "\\PIPE01";
        const bool bWrite = strPipeName == pBoard->m_strPath + "\\PIPE00";
        if (!bRead && !bWrite)
        {
            continue;
        }
        const bool bOpens = bRead ? pBoard->m_bReadPipeOpens : pBoard->m_bWritePipeOpens;
        pBoard->m_calls.push_back({"open", bRead ? "PIPE01" : "PIPE00", 0, bOpens ? 1u : 0u});
        if (!bOpens)
        {
            break;
        }
        if (bRead)
        {
            // A fresh opening starts a fresh session: the bootloader waits for a command.
            pBoard->m_eState = CFakeBoard::EState::Command;
            pBoard->m_pending.clear();
        }
        return std::make_unique<CFakePipe>(*pBoard, bRead ? "PIPE01" : "PIPE00");
    }
    if (pError)
    {
        *pError = ENOENT;
    }
    return nullptr;
}
