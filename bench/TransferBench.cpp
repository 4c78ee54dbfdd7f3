// Throughput of SendData and ReceiveData through a virtual board, next to a raw copy of the
// same bytes over the same kind of socket between two processes, in the same run.
//
//   quillon-transfer-bench [--board PATH-TO-quillon-board] [--sizes 102400,16777216,...]
//
// Prints MB/s (10^6 bytes per second) for each size and direction, the ratio to the raw
// copy, and the host's peak resident memory next to the block size.

#include "usb/UsbDevice.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// The raw copy moves the bytes in pieces of this size, which is what a careful program
// would do; one call for a whole large block is markedly slower on Linux.
constexpr size_t RAW_PIECE = 4u << 20;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

long PeakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool WriteAll(int hSocket, const uint8_t* pData, size_t nCount)
{
    while (nCount > 0)
    {
        const ssize_t n = ::send(hSocket, pData, std::min(nCount, RAW_PIECE), MSG_NOSIGNAL);
        if (n <= 0)
        {
            return false;
        }
        pData += n;
        nCount -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int hSocket, uint8_t* pData, size_t nCount)
{
    while (nCount > 0)
    {
        const ssize_t n = ::recv(hSocket, pData, std::min(nCount, RAW_PIECE), MSG_WAITALL);
        if (n <= 0)
        {
            return false;
        }
        pData += n;
        nCount -= static_cast<size_t>(n);
    }
    return true;
}

// The raw copy: a peer process stands where the board stands and keeps a buffer of the
// block's size, and the bytes cross one Unix stream socket. The peer is started before any
// block exists, so no copy-on-write page of the host's block slows the host's side.
class CRawPeer
{
public:
    bool Start()
    {
        int sockets[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        {
            return false;
        }
        m_pid = ::fork();
        if (m_pid == 0)
        {
            ::close(sockets[0]);
            Serve(sockets[1]);
            _exit(0);
        }
        ::close(sockets[1]);
        m_hSocket = sockets[0];
        return m_pid > 0;
    }

    ~CRawPeer()
    {
        if (m_hSocket >= 0)
        {
            ::close(m_hSocket);
        }
        if (m_pid > 0)
        {
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // The seconds one copy of the block took, or a negative value on failure.
    double Copy(std::vector<uint8_t>& block, bool bHostSends)
    {
        uint8_t request[9] = {static_cast<uint8_t>(bHostSends ? 's' : 'R')};
        const uint64_t nSize = block.size();
        std::memcpy(request + 1, &nSize, sizeof nSize);
        uint8_t ack = 0;
        if (!WriteAll(m_hSocket, request, sizeof request) || !ReadAll(m_hSocket, &ack, 1))
        {
            return -1;
        }
        const auto start = Clock::now();
        const bool bOk =
            bHostSends ? WriteAll(m_hSocket, block.data(), nSize) && ReadAll(m_hSocket, &ack, 1)
                       : ReadAll(m_hSocket, block.data(), nSize);
        return bOk ? Seconds(start) : -1;
    }

private:
    static void Serve(int hSocket)
    {
        std::vector<uint8_t> buffer;
        uint8_t request[9];
        while (ReadAll(hSocket, request, sizeof request))
        {
            uint64_t nSize = 0;
            std::memcpy(&nSize, request + 1, sizeof nSize);
            buffer.resize(nSize, 0x5A); // ready before the clock starts, like a board's image
            uint8_t ack = 1;
            const bool bOk = WriteAll(hSocket, &ack, 1) &&
                             (request[0] == 's' ? ReadAll(hSocket, buffer.data(), nSize) &&
                                                      WriteAll(hSocket, &ack, 1)
                                                : WriteAll(hSocket, buffer.data(), nSize));
            if (!bOk)
            {
                return;
            }
        }
    }

    pid_t m_pid = -1;
    int m_hSocket = -1;
};

struct CBoardProcess
{
    pid_t m_pid = -1;
    std::string m_strRegistry;

    bool Start(const std::string& strProgram)
    {
        char templ[] = "/tmp/quillon-bench-XXXXXX";
        if (::mkdtemp(templ) == nullptr)
        {
            return false;
        }
        m_strRegistry = std::string(templ) + "/boards";
        ::setenv("QUILLON_BOARD_DIR", m_strRegistry.c_str(), 1);
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
        {
            return false;
        }
        m_pid = ::fork();
        if (m_pid == 0)
        {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::close(pipeFds[0]);
            ::execl(strProgram.c_str(), strProgram.c_str(), "--board", "bench=Benchmark board",
                    static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(pipeFds[1]);
        // The board prints a line once it is listed.
        char line[512];
        FILE* pOut = ::fdopen(pipeFds[0], "r");
        const bool bAttached = pOut != nullptr && std::fgets(line, sizeof line, pOut) != nullptr;
        if (pOut != nullptr)
        {
            std::fclose(pOut);
        }
        return bAttached;
    }

    ~CBoardProcess()
    {
        if (m_pid > 0)
        {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (!m_strRegistry.empty())
        {
            const std::string strTop = m_strRegistry.substr(0, m_strRegistry.rfind('/'));
            std::error_code error;
            std::filesystem::remove_all(strTop, error);
        }
    }
};

std::vector<size_t> ParseSizes(const char* pszList)
{
    std::vector<size_t> sizes;
    for (const char* p = pszList; *p != '\0';)
    {
        char* pEnd = nullptr;
        sizes.push_back(std::strtoull(p, &pEnd, 10));
        p = *pEnd == ',' ? pEnd + 1 : pEnd;
        if (pEnd == p && *p != '\0')
        {
            break;
        }
    }
    return sizes;
}
} // namespace

int main(int argc, char** argv)
{
    std::string strBoard = QUILLON_BOARD_PROGRAM;
    std::vector<size_t> sizes = {100 * 1024, 16u << 20, 256u << 20};
    for (int i = 1; i < argc; ++i)
    {
        const std::string strArg = argv[i];
        if (strArg == "--board" && i + 1 < argc)
        {
            strBoard = argv[++i];
        }
        else if (strArg == "--sizes" && i + 1 < argc)
        {
            sizes = ParseSizes(argv[++i]);
        }
        else
        {
            std::fprintf(stderr, "usage: %s [--board PATH] [--sizes N,N,...]\n", argv[0]);
            return strArg == "--help" ? 0 : 2;
        }
    }

    CRawPeer rawPeer;
    if (!rawPeer.Start())
    {
        std::fprintf(stderr, "cannot start the raw-copy peer\n");
        return 1;
    }
    CBoardProcess board;
    if (!board.Start(strBoard))
    {
        std::fprintf(stderr, "cannot start the virtual board %s\n", strBoard.c_str());
        return 1;
    }
    const CUsbDeviceList devices = EnumerateDevices();
    if (devices.empty())
    {
        std::fprintf(stderr, "the virtual board is not listed\n");
        return 1;
    }

    std::printf("%-12s %-8s %12s %12s %7s %14s\n", "block", "dir", "quillon MB/s", "raw MB/s",
                "ratio", "peak RSS KiB");
    bool bAllOk = true;
    for (const size_t nSize : sizes)
    {
        std::vector<uint8_t> block(nSize);
        for (size_t i = 0; i < nSize; ++i)
        {
            block[i] = static_cast<uint8_t>(i * 131 + 7);
        }
        const int nRounds = nSize < (1u << 20) ? 50 : nSize < (64u << 20) ? 9 : 4;
        for (const bool bSend : {true, false})
        {
            double dBest = 1e9;
            double dRawBest = 1e9;
            for (int nRound = 0; nRound < nRounds; ++nRound)
            {
                CUsbDevice device(devices.front());
                const auto start = Clock::now();
                const bool bOk =
                    bSend ? device.SendData(block.data(), static_cast<uint32_t>(nSize))
                          : device.ReceiveData(static_cast<uint32_t>(nSize), block.data());
                const double dSeconds = Seconds(start);
                if (!bOk)
                {
                    std::fprintf(stderr, "%s of %zu bytes failed (error %d)\n",
                                 bSend ? "SendData" : "ReceiveData", nSize, device.LastError());
                    bAllOk = false;
                    break;
                }
                dBest = std::min(dBest, dSeconds);
            }
            const long nPeak = PeakResidentKiB();
            for (int nRound = 0; nRound < nRounds; ++nRound)
            {
                const double dRaw = rawPeer.Copy(block, bSend);
                if (dRaw > 0)
                {
                    dRawBest = std::min(dRawBest, dRaw);
                }
            }
            const double dMBps = nSize / dBest / 1e6;
            const double dRawMBps = nSize / dRawBest / 1e6;
            std::printf("%-12zu %-8s %12.1f %12.1f %7.2f %14ld\n", nSize,
                        bSend ? "send" : "receive", dMBps, dRawMBps, dMBps / dRawMBps, nPeak);
            std::fflush(stdout);
        }
    }
    return bAllOk ? 0 : 1;
}
