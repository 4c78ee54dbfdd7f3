// Boards that do not play along, written here as small listeners on a board's two sockets:
// one whose listener never accepts (its backlog full), one that takes every byte and never
// answers, one that went away and left its directory behind. Every wait must end by the
// time-out or at once on a stop, and a board that takes bytes slowly is not failed.

#include "board/BoardProcess.h"
#include "usb/UsbDevice.h"
#include "usb/VirtualRegistry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One hostile board directory: both sockets listen, then each mode misbehaves its own way.
class CHostileBoard
{
public:
    enum class EMode
    {
        FullBacklog, // never accepts, and no connection fits any more
        Mute,        // accepts, reads everything, answers nothing
        Dead,        // the sockets are there, nobody listens
    };

    CHostileBoard(const std::string& strDirectory, EMode eMode) : m_strDirectory(strDirectory)
    {
        ::mkdir(m_strDirectory.c_str(), 0700);
        for (const char* pszName : {BOARD_READ_SOCKET, BOARD_WRITE_SOCKET})
        {
            const std::string strSocket = m_strDirectory + "/" + pszName;
            const int nListen = ListenBoardSocket(strSocket);
            if (nListen < 0)
            {
                continue;
            }
            if (eMode == EMode::Dead)
            {
                ::close(nListen);
                continue;
            }
            m_listeners.push_back(nListen);
            if (eMode == EMode::FullBacklog)
            {
                FillBacklog(nListen, strSocket);
            }
        }
        if (eMode == EMode::Mute)
        {
            m_thread = std::thread([this] { Serve(); });
        }
    }
    ~CHostileBoard()
    {
        m_bStop = true;
        if (m_thread.joinable())
        {
            m_thread.join();
        }
        for (int nFd : m_listeners)
        {
            ::close(nFd);
        }
        for (int nFd : m_clients)
        {
            ::close(nFd);
        }
    }
    CHostileBoard(const CHostileBoard&) = delete;
    CHostileBoard& operator=(const CHostileBoard&) = delete;

private:
    void FillBacklog(int nListen, const std::string& strSocket)
    {
        ::listen(nListen, 0);
        for (int n = 0; n < 64; ++n)
        {
            const int nClient = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, strSocket.c_str(), sizeof(address.sun_path) - 1);
            if (::connect(nClient, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            {
                ::close(nClient);
                return; // EAGAIN: the backlog is full
            }
            m_clients.push_back(nClient);
        }
    }

    void Serve()
    {
        std::vector<pollfd> waits;
        for (int nFd : m_listeners)
        {
            waits.push_back({nFd, POLLIN, 0});
        }
        char buffer[4096];
        while (!m_bStop)
        {
            if (::poll(waits.data(), waits.size(), 20) <= 0)
            {
                continue;
            }
            for (size_t i = 0; i < waits.size(); ++i)
            {
                if ((waits[i].revents & POLLIN) == 0)
                {
                    continue;
                }
                if (i < m_listeners.size())
                {
                    const int nClient = ::accept4(waits[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (nClient >= 0)
                    {
                        m_clients.push_back(nClient);
                        waits.push_back({nClient, POLLIN, 0});
                    }
                }
                else if (::read(waits[i].fd, buffer, sizeof buffer) <= 0)
                {
                    waits[i].fd = -1;
                }
            }
        }
    }

    std::string m_strDirectory;
    std::vector<int> m_listeners;
    std::vector<int> m_clients;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// What one command did in a child process: a wait that never ends cannot hang the test.
struct COutcome
{
    bool m_bEnded = false;
    int m_nError = 0;
    milliseconds m_elapsed{0};
};

COutcome RunInChild(const std::function<int()>& fnCommand, milliseconds limit)
{
    int fds[2];
    if (::pipe(fds) != 0)
    {
        return {};
    }
    const pid_t nChild = ::fork();
    if (nChild == 0)
    {
        ::close(fds[0]);
        const auto start = Clock::now();
        const int nError = fnCommand();
        const int64_t result[2] = {
            nError, std::chrono::duration_cast<milliseconds>(Clock::now() - start).count()};
        [[maybe_unused]] const ssize_t nWritten = ::write(fds[1], result, sizeof result);
        ::_exit(0);
    }
    ::close(fds[1]);
    COutcome outcome;
    pollfd wait = {fds[0], POLLIN, 0};
    int64_t result[2] = {};
    if (::poll(&wait, 1, static_cast<int>(limit.count())) == 1 &&
        ::read(fds[0], result, sizeof result) == sizeof result)
    {
        outcome = {true, static_cast<int>(result[0]), milliseconds(result[1])};
    }
    ::close(fds[0]);
    ::kill(nChild, SIGKILL);
    ::waitpid(nChild, nullptr, 0);
    return outcome;
}

class HostileBoardTest : public testing::Test
{
protected:
    CTempDir m_temp;
    std::string m_strRegistry = m_temp.Path() + "/reg";

    void SetUp() override
    {
        ASSERT_FALSE(m_temp.Path().empty());
        ::setenv("QUILLON_BOARD_DIR", m_strRegistry.c_str(), 1);
        ::mkdir(m_strRegistry.c_str(), 0700);
    }
    void TearDown() override
    {
        SetPipeTimeoutMs(DEFAULT_PIPE_TIMEOUT_MS);
        ClearPipeCancel();
    }
};

struct CWaitCase
{
    const char* m_pszName;
    CHostileBoard::EMode m_eMode;
    uint32_t m_nTimeoutMs;
    int m_nStopAfterMs; // -1: no stop
    int m_nError;
    milliseconds m_atLeast;
    milliseconds m_atMost; // generous: the machine may be busy
};

// Execute is the shortest command with a reply: connect both pipes, write 'x', wait for '#'.
TEST_F(HostileBoardTest, EveryWaitEndsByTheTimeOutOrAtOnceOnAStop)
{
    using EMode = CHostileBoard::EMode;
    const CWaitCase cases[] = {
        {"ConnectToFullBacklog", EMode::FullBacklog, 400, -1, ETIMEDOUT, milliseconds(350),
         milliseconds(1500)},
        // Five read attempts, one time-out between them all.
        {"ReplyNeverComes", EMode::Mute, 400, -1, ETIMEDOUT, milliseconds(350), milliseconds(1500)},
        {"StopWhileConnectingWithoutTimeOut", EMode::FullBacklog, 0, 150, ECANCELED,
         milliseconds(100), milliseconds(900)},
        {"StopWhileWaitingForReplyWithoutTimeOut", EMode::Mute, 0, 150, ECANCELED,
         milliseconds(100), milliseconds(900)},
        {"StopWhileWaitingForReplyWithLongTimeOut", EMode::Mute, 20000, 150, ECANCELED,
         milliseconds(100), milliseconds(900)},
    };
    for (const CWaitCase& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        const std::string strBoard = m_strRegistry + "/" + c.m_pszName;
        CHostileBoard board(strBoard, c.m_eMode);
        const COutcome outcome = RunInChild(
            [&]
            {
                SetPipeTimeoutMs(c.m_nTimeoutMs);
                PipeCancelFd();
                std::thread stopper;
                if (c.m_nStopAfterMs >= 0)
                {
                    stopper = std::thread(
                        [&]
                        {
                            std::this_thread::sleep_for(milliseconds(c.m_nStopAfterMs));
                            RaisePipeCancel();
                        });
                }
                CUsbDevice device(CUsbDeviceInfo(strBoard, ""));
                const bool bOk = device.Execute();
                if (stopper.joinable())
                {
                    stopper.join();
                }
                return bOk ? 0 : device.LastError();
            },
            milliseconds(10000));
        ASSERT_TRUE(outcome.m_bEnded) << "still waiting after 10 s";
        EXPECT_EQ(outcome.m_nError, c.m_nError) << std::strerror(outcome.m_nError);
        EXPECT_GE(outcome.m_elapsed, c.m_atLeast);
        EXPECT_LE(outcome.m_elapsed, c.m_atMost);
    }
}

TEST_F(HostileBoardTest, BoardWithoutListenerOrDirectoryIsAbsentOthersAreNot)
{
    using EMode = CHostileBoard::EMode;
    SetPipeTimeoutMs(300);
    CHostileBoard dead(m_strRegistry + "/dead", EMode::Dead);
    CHostileBoard mute(m_strRegistry + "/mute", EMode::Mute);
    const struct
    {
        const char* m_pszName;
        bool m_bAbsent;
    } cases[] = {{"dead", true}, {"gone", true}, {"mute", false}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        CUsbDevice device(CUsbDeviceInfo(m_strRegistry + "/" + c.m_pszName, ""));
        EXPECT_EQ(device.GetVersion(), "");
        EXPECT_EQ(device.BoardAbsent(), c.m_bAbsent) << std::strerror(device.LastError());
    }
}

// The board takes the image at 50 kB/s, far longer than the time-out; it keeps taking
// bytes, so the send goes through, also while the last of the image sits in the socket.
TEST_F(HostileBoardTest, SlowBoardThatKeepsTakingBytesIsNotFailed)
{
    SetPipeTimeoutMs(500);
    CBoardProcess board;
    ASSERT_TRUE(board.Start({"--registry", m_strRegistry, "--rate", "50000"}));
    const std::vector<CUsbDeviceInfo> devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 1u);
    CUsbDevice device(devices.front());
    const std::vector<uint8_t> image(200 * 1024, 0x5A);
    EXPECT_TRUE(device.SendData(image.data(), static_cast<uint32_t>(image.size())))
        << device.FailureReason();
}
} // namespace
