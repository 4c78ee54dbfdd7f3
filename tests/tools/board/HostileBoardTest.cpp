// Boards that do not play along: one whose listener never accepts (its backlog full), one
// that takes every byte and never answers, one that went away and left its directory behind. Every
// wait must end by the time-out or at once on a stop, and a board that takes bytes slowly is not
// failed.

#include "support/HostileBoard.h"
#include "tools/board/BoardProcess.h"
#include "usb/UsbDevice.h"
#include "usb/virtual/VirtualBoardBackend.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

// A write's pieces follow the board's pace: small while nothing is known or the board is slow
// (each must be taken well within the time-out to be seen taken), large once it keeps up.
TEST(SocketWritePieceTest, PiecesGrowWithWhatTheBoardTakes)
{
    constexpr uint32_t MOST = 4u << 20;
    const struct
    {
        const char* m_pszName;
        double m_dTaken;
        double m_dSeconds;
        uint32_t m_nTimeoutMs;
        uint32_t m_nExpected;
    } cases[] = {
        {"nothing taken yet", 0, 0, 3000, 8192},
        {"50 kB/s, 500 ms time-out", 10000, 0.2, 500, 8192},
        {"1 MB/s, 3 s time-out", 1e6, 1, 3000, 375000},
        {"a board that keeps up", 64e6, 0.02, 3000, MOST},
        {"no time-out", 0, 0, 0, MOST},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        EXPECT_EQ(SocketWritePiece(c.m_dTaken, c.m_dSeconds, c.m_nTimeoutMs, MOST), c.m_nExpected);
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
