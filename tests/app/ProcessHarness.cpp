#include "app/ProcessHarness.h"

#include "lang/DefaultStrings.h"
#include "lang/IniFile.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{
std::vector<char*> CStrings(const std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (const std::string& str : strings)
    {
        result.push_back(const_cast<char*>(str.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

std::vector<uint8_t> FromHex(const std::string& strHex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < strHex.size(); i += 2)
    {
        bytes.push_back(static_cast<uint8_t>(std::stoul(strHex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}
} // namespace

CChildProcess::~CChildProcess()
{
    if (m_pid > 0)
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_outFd, m_errFd})
    {
        if (fd >= 0)
        {
            close(fd);
        }
    }
}

bool CChildProcess::Start(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment,
                          const std::string& strDirectory)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
    {
        return false;
    }
    std::vector<char*> argv = CStrings(arguments);
    std::vector<char*> envp = CStrings(environment);
    m_pid = fork();
    if (m_pid == 0)
    {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        if (chdir(strDirectory.c_str()) != 0)
        {
            _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    m_outFd = outPipe[0];
    m_errFd = errPipe[0];
    return m_pid > 0;
}

void CChildProcess::Signal(int nSignal) const
{
    if (m_pid > 0)
    {
        kill(m_pid, nSignal);
    }
}

bool CChildProcess::Pump(std::chrono::milliseconds timeout)
{
    struct pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
    const int nReady = poll(fds, 2, static_cast<int>(timeout.count()));
    if (nReady <= 0)
    {
        return false;
    }
    char buffer[65536];
    int* pFds[2] = {&m_outFd, &m_errFd};
    std::string* pStrings[2] = {&m_strOut, &m_strErr};
    for (int i = 0; i < 2; ++i)
    {
        if (*pFds[i] < 0 || fds[i].revents == 0)
        {
            continue;
        }
        const ssize_t nRead = read(*pFds[i], buffer, sizeof(buffer));
        if (nRead > 0)
        {
            pStrings[i]->append(buffer, static_cast<size_t>(nRead));
        }
        else if (nRead == 0 || errno != EINTR)
        {
            close(*pFds[i]);
            *pFds[i] = -1;
        }
    }
    return true;
}

bool CChildProcess::WaitForLines(size_t nLines, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto countLines = [this]()
    { return static_cast<size_t>(std::count(m_strOut.begin(), m_strOut.end(), '\n')); };
    while (countLines() < nLines && m_outFd >= 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            return false;
        }
        Pump(left);
    }
    return countLines() >= nLines;
}

CProcessResult CChildProcess::Wait(std::chrono::milliseconds timeout)
{
    CProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_outFd >= 0 || m_errFd >= 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            result.m_bTimedOut = true;
            kill(m_pid, SIGKILL);
            break;
        }
        Pump(left);
    }
    int nStatus = 0;
    waitpid(m_pid, &nStatus, 0);
    m_pid = -1;
    if (WIFEXITED(nStatus) && !result.m_bTimedOut)
    {
        result.m_nExitCode = WEXITSTATUS(nStatus);
    }
    else if (WIFSIGNALED(nStatus))
    {
        result.m_nSignal = WTERMSIG(nStatus);
    }
    result.m_strOut = m_strOut;
    result.m_strErr = m_strErr;
    return result;
}

CScratch::CScratch()
{
    char szTemplate[] = "/tmp/quillon-app-XXXXXX";
    m_strRoot = mkdtemp(szTemplate);
    mkdir(Registry().c_str(), 0700);
    mkdir(Path("home").c_str(), 0700);
    mkdir(Path("config").c_str(), 0700);
}

CScratch::~CScratch()
{
    std::error_code error;
    std::filesystem::remove_all(m_strRoot, error);
}

std::vector<std::string> CScratch::Environment(const std::vector<std::string>& extra) const
{
    std::map<std::string, std::string> values;
    for (char** ppEntry = environ; *ppEntry != nullptr; ++ppEntry)
    {
        const std::string strEntry = *ppEntry;
        const size_t nEquals = strEntry.find('=');
        values[strEntry.substr(0, nEquals)] = strEntry.substr(nEquals + 1);
    }
    for (const char* pszName :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "QUILLON_DEBUG", "QUILLON_TIMEOUT_MS"})
    {
        values.erase(pszName);
    }
    values["QUILLON_BOARD_DIR"] = Registry();
    values["HOME"] = Path("home");
    values["XDG_CONFIG_HOME"] = Path("config");
    for (const std::string& strEntry : extra)
    {
        const size_t nEquals = strEntry.find('=');
        const std::string strValue = strEntry.substr(nEquals + 1);
        if (strValue.empty())
        {
            values.erase(strEntry.substr(0, nEquals));
        }
        else
        {
            values[strEntry.substr(0, nEquals)] = strValue;
        }
    }
    std::vector<std::string> result;
    for (const auto& [strName, strValue] : values)
    {
        result.push_back(strName + "=" + strValue);
    }
    return result;
}

void CScratch::WriteFile(const std::string& strName, const std::string& strContents) const
{
    std::ofstream(Path(strName), std::ios::binary) << strContents;
}

void CScratch::SetUserLanguage(const std::string& strId) const
{
    std::filesystem::create_directories(Path("config/corvane"));
    WriteFile("config/corvane/TesselV3_ARM.conf", "[Info]\nCurrentLanguage=" + strId + "\n");
}

bool CBoardProcess::Start(const CScratch& scratch, const std::vector<std::string>& boards,
                          const std::vector<std::string>& options)
{
    std::vector<std::string> arguments = {std::string(QUILLON_BUILD_DIR) + "/quillon-board",
                                          "--registry", scratch.Registry(), "--log",
                                          scratch.BoardLog()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    for (const std::string& strBoard : boards)
    {
        arguments.push_back("--board");
        arguments.push_back(strBoard);
    }
    m_bRunning = m_process.Start(arguments, scratch.Environment(), scratch.m_strRoot);
    // Each board says "attached NAME PATH" once it is listed.
    return m_bRunning && m_process.WaitForLines(boards.size(), std::chrono::seconds(10));
}

void CBoardProcess::Stop()
{
    if (m_bRunning)
    {
        m_process.Signal(SIGTERM);
        m_process.Wait(std::chrono::seconds(10));
        m_bRunning = false;
    }
}

void CBoardProcess::Kill()
{
    if (m_bRunning)
    {
        m_process.Signal(SIGKILL);
        m_process.Wait(std::chrono::seconds(10));
        m_bRunning = false;
    }
}

std::map<std::string, CBoardWire> ReadWireLog(const std::string& strLogPath)
{
    std::map<std::string, CBoardWire> wires;
    std::ifstream log(strLogPath);
    std::string strLine;
    while (std::getline(log, strLine))
    {
        std::istringstream fields(strLine);
        std::string strBoard;
        std::string strEvent;
        std::string strRest;
        fields >> strBoard >> strEvent >> strRest;
        CBoardWire& wire = wires[strBoard];
        if (strEvent == "rx")
        {
            const std::vector<uint8_t> bytes = FromHex(strRest);
            wire.m_hostToBoard.insert(wire.m_hostToBoard.end(), bytes.begin(), bytes.end());
        }
        else if (strEvent == "tx")
        {
            const std::vector<uint8_t> bytes = FromHex(strRest);
            wire.m_boardToHost.insert(wire.m_boardToHost.end(), bytes.begin(), bytes.end());
        }
        else if (strEvent == "session")
        {
            ++wire.m_nSessions;
        }
    }
    return wires;
}

std::string WireLength(uint32_t nLength)
{
    std::string str(4, '\0');
    for (int i = 0; i < 4; ++i)
    {
        str[i] = static_cast<char>((nLength >> (8 * i)) & 0xFF);
    }
    return str;
}

std::string ProgramPath()
{
    return std::string(QUILLON_BUILD_DIR) + "/quillon";
}

CProcessResult RunProgram(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment,
                          const std::string& strDirectory, std::chrono::milliseconds timeout)
{
    std::vector<std::string> argv = {ProgramPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    CChildProcess process;
    if (!process.Start(argv, environment, strDirectory))
    {
        return {};
    }
    return process.Wait(timeout);
}

std::string LanguageText(int nId, const std::string& strSection)
{
    const CIniFile file(std::string(QUILLON_BUILD_DIR) + "/quillon.ini");
    const std::string strText =
        file.ReadString(strSection, std::to_string(nId), "STRING_NOT_FOUND");
    return strText == "STRING_NOT_FOUND" ? GetDefaultString(nId) : strText;
}
