// The per-board lock between processes: a board held by one process is busy for every other,
// names its holder, and is free again once the holder releases it or dies.

#include "usb/BoardLock.h"
#include "lang/ScopedEnv.h"
#include "lang/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// A child process that takes a board's lock, says so, and holds it until it is told to let
// go (then it exits 0) or is killed.
class CHolderProcess
{
public:
    bool Start(const std::string& strDevicePath)
    {
        int toParent[2];
        int toChild[2];
        if (::pipe(toParent) != 0 || ::pipe(toChild) != 0)
        {
            return false;
        }
        m_nPid = ::fork();
        if (m_nPid == 0)
        {
            ::close(toParent[0]);
            ::close(toChild[1]);
            CBoardLock lock = CBoardLock::TryLock(strDevicePath);
            const char chState = lock.IsHeld() ? 'H' : 'N';
            if (::write(toParent[1], &chState, 1) != 1)
            {
                ::_exit(3);
            }
            char ch;
            const ssize_t nRead = ::read(toChild[0], &ch, 1);
            lock.Release();
            ::_exit(nRead == 1 ? 0 : 4);
        }
        ::close(toParent[1]);
        ::close(toChild[0]);
        m_nToChild = toChild[1];
        char chState = 0;
        const bool bHeld = ::read(toParent[0], &chState, 1) == 1 && chState == 'H';
        ::close(toParent[0]);
        return m_nPid > 0 && bHeld;
    }
    // Lets go of the lock and waits for the exit status.
    int Release()
    {
        const char ch = 'x';
        EXPECT_EQ(::write(m_nToChild, &ch, 1), 1);
        return Reap();
    }
    int Kill()
    {
        ::kill(m_nPid, SIGKILL);
        return Reap();
    }
    pid_t Pid() const { return m_nPid; }
    ~CHolderProcess()
    {
        if (m_nPid > 0)
        {
            Kill();
        }
    }

private:
    int Reap()
    {
        int nStatus = 0;
        ::waitpid(m_nPid, &nStatus, 0);
        m_nPid = -1;
        ::close(m_nToChild);
        return nStatus;
    }

    pid_t m_nPid = -1;
    int m_nToChild = -1;
};

struct CLockCase
{
    const char* m_pszName;
    bool m_bUsb; // a board without a directory: a lock file in the runtime directory
    bool m_bKillHolder;
};

const CLockCase LOCK_CASES[] = {
    {"VirtualBoardReleased", false, false},
    {"VirtualBoardHolderKilled", false, true},
    {"UsbBoardReleased", true, false},
    {"UsbBoardHolderKilled", true, true},
};

class BoardLockTable : public ::testing::TestWithParam<CLockCase>
{
};

TEST_P(BoardLockTable, OtherProcessSeesBusyWithHolderUntilReleased)
{
    const CLockCase& testCase = GetParam();
    CTempDir temp;
    CScopedEnv runtime("XDG_RUNTIME_DIR", temp.Path("run").c_str());
    ASSERT_EQ(::mkdir(temp.Path("run").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(temp.Path("plinth0").c_str(), 0700), 0);
    const std::string strBoard = testCase.m_bUsb ? "usb:1-2.4" : temp.Path("plinth0");

    CHolderProcess holder;
    ASSERT_TRUE(holder.Start(strBoard));
    CBoardLock busy = CBoardLock::TryLock(strBoard);
    EXPECT_EQ(busy.State(), EBoardLock::Busy);
    EXPECT_EQ(busy.Holder(), holder.Pid());
    EXPECT_EQ(BoardInUseText(busy.Holder()),
              "board in use by process " + std::to_string(holder.Pid()));
    // Another board is not affected.
    EXPECT_TRUE(CBoardLock::TryLock(testCase.m_bUsb ? "usb:1-3" : temp.Path("")).IsHeld());

    const int nStatus = testCase.m_bKillHolder ? holder.Kill() : holder.Release();
    if (!testCase.m_bKillHolder)
    {
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    }
    CBoardLock held = CBoardLock::TryLock(strBoard);
    EXPECT_TRUE(held.IsHeld());

    // And now it is this process that holds it, until it lets go.
    CHolderProcess second;
    EXPECT_FALSE(second.Start(strBoard));
    second.Release();
    held.Release();
    CHolderProcess third;
    EXPECT_TRUE(third.Start(strBoard));
    third.Release();

    if (testCase.m_bUsb)
    {
        struct stat info
        {
        };
        ASSERT_EQ(::stat(GetBoardLockDirectory().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        EXPECT_EQ(GetBoardLockDirectory(), temp.Path("run") + "/quillon/locks");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, BoardLockTable, ::testing::ValuesIn(LOCK_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// A process that took the lock, left it to a child and exited is not named as the holder: the
// kernel's table still shows its number, which may by now be another process's.
TEST(BoardLock, LockLeftToAChildDoesNotNameTheTakerThatExited)
{
    CTempDir temp;
    int toChild[2];
    int ready[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t nTaker = ::fork();
    if (nTaker == 0)
    {
        ::close(toChild[1]);
        ::close(ready[0]);
        CBoardLock lock = CBoardLock::TryLock(temp.Path(""));
        if (!lock.IsHeld() || ::fork() != 0)
        {
            ::_exit(0); // the taker exits; its child keeps the open lock until told
        }
        char ch = 'H';
        [[maybe_unused]] ssize_t nIgnored = ::write(ready[1], &ch, 1);
        nIgnored = ::read(toChild[0], &ch, 1);
        ::_exit(0);
    }
    char ch = 0;
    ASSERT_EQ(::read(ready[0], &ch, 1), 1);
    ::waitpid(nTaker, nullptr, 0);

    const CBoardLock busy = CBoardLock::TryLock(temp.Path(""));
    EXPECT_EQ(busy.State(), EBoardLock::Busy);
    EXPECT_NE(busy.Holder(), nTaker);

    ::close(toChild[1]); // the child reads the end and exits
    for (int nTry = 0; nTry < 100 && !CBoardLock::TryLock(temp.Path("")).IsHeld(); ++nTry)
    {
        ::usleep(10000);
    }
    EXPECT_TRUE(CBoardLock::TryLock(temp.Path("")).IsHeld());
    ::close(toChild[0]);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(BoardLock, VanishedBoardIsGoneAndAnUntrustedLockDirectoryIsRefused)
{
    CTempDir temp;
    CScopedEnv runtime("XDG_RUNTIME_DIR", temp.Path("run").c_str());
    EXPECT_EQ(CBoardLock::TryLock(temp.Path("detached")).State(), EBoardLock::Gone);

    ASSERT_TRUE(CBoardLock::TryLock("usb:2-1").IsHeld());
    ASSERT_EQ(::chmod(GetBoardLockDirectory().c_str(), 0777), 0);
    const CBoardLock refused = CBoardLock::TryLock("usb:2-1");
    EXPECT_EQ(refused.State(), EBoardLock::Unavailable);
    EXPECT_NE(refused.Error().find("chmod 700"), std::string::npos) << refused.Error();
}

TEST(BoardLock, MovedLockKeepsTheBoardHeld)
{
    CTempDir temp;
    CBoardLock outer;
    {
        CBoardLock inner = CBoardLock::TryLock(temp.Path(""));
        ASSERT_TRUE(inner.IsHeld());
        outer = std::move(inner);
    }
    EXPECT_TRUE(outer.IsHeld());
    CHolderProcess other;
    EXPECT_FALSE(other.Start(temp.Path("")));
    other.Release();
}
} // namespace
