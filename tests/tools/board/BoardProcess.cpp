#include "tools/board/BoardProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

std::vector<uint8_t> FromHex(const std::string& strHex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < strHex.size(); i += 2)
    {
        bytes.push_back(static_cast<uint8_t>(std::stoul(strHex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

CConversation Conversation(const std::vector<std::string>& parts)
{
    CConversation conversation;
    for (const std::string& strPart : parts)
    {
        const bool bFromHost = strPart.rfind("h:", 0) == 0;
        const std::vector<uint8_t> bytes = FromHex(strPart.substr(2));
        if (!conversation.empty() && conversation.back().m_bFromHost == bFromHost)
        {
            auto& previous = conversation.back().m_bytes;
            previous.insert(previous.end(), bytes.begin(), bytes.end());
        }
        else
        {
            conversation.push_back({bFromHost, bytes});
        }
    }
    return conversation;
}

std::string ConversationDifference(const CConversation& expected, const CConversation& actual)
{
    std::ostringstream out;
    for (size_t i = 0; i < std::max(expected.size(), actual.size()); ++i)
    {
        if (i >= expected.size() || i >= actual.size())
        {
            out << "exchange " << i << ": " << (i >= expected.size() ? "unexpected " : "missing ")
                << ((i >= expected.size() ? actual[i] : expected[i]).m_bFromHost ? "host" : "board")
                << " bytes (" << (i >= expected.size() ? actual[i] : expected[i]).m_bytes.size()
                << ")";
            return out.str();
        }
        const CExchange& want = expected[i];
        const CExchange& got = actual[i];
        if (want.m_bFromHost != got.m_bFromHost)
        {
            out << "exchange " << i << ": expected " << (want.m_bFromHost ? "host" : "board")
                << " to speak";
            return out.str();
        }
        if (want.m_bytes != got.m_bytes)
        {
            size_t nAt = 0;
            while (nAt < want.m_bytes.size() && nAt < got.m_bytes.size() &&
                   want.m_bytes[nAt] == got.m_bytes[nAt])
            {
                ++nAt;
            }
            out << "exchange " << i << " (" << (want.m_bFromHost ? "host" : "board")
                << "): lengths " << want.m_bytes.size() << " and " << got.m_bytes.size()
                << ", first difference at byte " << nAt;
            return out.str();
        }
    }
    return std::string();
}

std::vector<CLogLine> CBoardLog::Lines() const
{
    std::vector<CLogLine> lines;
    std::ifstream file(m_strPath);
    std::string strLine;
    while (std::getline(file, strLine))
    {
        CLogLine line;
        const size_t nFirst = strLine.find(' ');
        const size_t nSecond = strLine.find(' ', nFirst + 1);
        line.m_strBoard = strLine.substr(0, nFirst);
        line.m_strKind = strLine.substr(nFirst + 1, nSecond - nFirst - 1);
        if (nSecond != std::string::npos)
        {
            line.m_strRest = strLine.substr(nSecond + 1);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<CConversation> CBoardLog::Sessions(const std::string& strBoard) const
{
    std::vector<CConversation> sessions;
    for (const CLogLine& line : Lines())
    {
        if (line.m_strBoard != strBoard)
        {
            continue;
        }
        if (line.m_strKind == "session")
        {
            sessions.emplace_back();
        }
        else if ((line.m_strKind == "rx" || line.m_strKind == "tx") && !sessions.empty())
        {
            const bool bFromHost = line.m_strKind == "rx";
            const std::vector<uint8_t> bytes = FromHex(line.m_strRest);
            CConversation& conversation = sessions.back();
            if (!conversation.empty() && conversation.back().m_bFromHost == bFromHost)
            {
                auto& previous = conversation.back().m_bytes;
                previous.insert(previous.end(), bytes.begin(), bytes.end());
            }
            else
            {
                conversation.push_back({bFromHost, bytes});
            }
        }
    }
    return sessions;
}

size_t CBoardLog::Count(const std::string& strBoard, const std::string& strKind) const
{
    size_t nCount = 0;
    for (const CLogLine& line : Lines())
    {
        nCount += line.m_strBoard == strBoard && line.m_strKind == strKind ? 1 : 0;
    }
    return nCount;
}

bool CBoardLog::WaitFor(const std::string& strBoard, const std::string& strKind, size_t nCount,
                        std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Count(strBoard, strKind) < nCount)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

CBoardProcess::~CBoardProcess()
{
    Stop();
}

bool CBoardProcess::Start(const std::vector<std::string>& arguments, size_t nBoards)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
    {
        return false;
    }
    const std::string strProgram = QUILLON_BUILD_DIR "/quillon-board";
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(strProgram.c_str()));
    for (const std::string& strArgument : arguments)
    {
        argv.push_back(const_cast<char*>(strArgument.c_str()));
    }
    argv.push_back(nullptr);
    m_nPid = ::fork();
    if (m_nPid == 0)
    {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execv(strProgram.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    m_nStdout = pipeFds[0];
    if (m_nPid < 0)
    {
        return false;
    }
    // Read its announcements; a board is listed from the moment it says so.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    size_t nAttached = 0;
    while (nAttached < nBoards && std::chrono::steady_clock::now() < deadline)
    {
        pollfd entry{m_nStdout, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0)
        {
            continue;
        }
        char buffer[512];
        const ssize_t nRead = ::read(m_nStdout, buffer, sizeof(buffer));
        if (nRead <= 0)
        {
            break;
        }
        m_strOutput.append(buffer, static_cast<size_t>(nRead));
        nAttached = 0;
        for (size_t nPos = 0; (nPos = m_strOutput.find("attached ", nPos)) != std::string::npos;
             ++nPos)
        {
            nAttached += (nPos == 0 || m_strOutput[nPos - 1] == '\n') ? 1 : 0;
        }
    }
    return nAttached >= nBoards;
}

int CBoardProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (m_nPid <= 0)
    {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        int nStatus = 0;
        if (::waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid)
        {
            m_nPid = -1;
            if (m_nStdout >= 0)
            {
                ::close(m_nStdout);
                m_nStdout = -1;
            }
            return nStatus;
        }
        if (std::chrono::steady_clock::now() > deadline)
        {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int CBoardProcess::Stop()
{
    if (m_nPid <= 0)
    {
        return -1;
    }
    ::kill(m_nPid, SIGTERM);
    int nStatus = WaitExit(std::chrono::seconds(5));
    if (nStatus == -1 && m_nPid > 0)
    {
        ::kill(m_nPid, SIGKILL);
        nStatus = WaitExit(std::chrono::seconds(5));
    }
    return nStatus;
}

CTempDir::CTempDir()
{
    char szTemplate[] = "/tmp/qbt-XXXXXX";
    if (::mkdtemp(szTemplate) != nullptr)
    {
        m_strPath = szTemplate;
    }
}

CTempDir::~CTempDir()
{
    if (!m_strPath.empty())
    {
        std::error_code error;
        std::filesystem::permissions(m_strPath, std::filesystem::perms::owner_all, error);
        std::filesystem::remove_all(m_strPath, error);
    }
}
