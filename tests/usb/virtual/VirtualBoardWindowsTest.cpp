// The Windows backends at their seam: the listing of a registry directory, and pipe I/O
// against a named-pipe stand-in for a board, served by a thread of this process: short reads
// and writes end by the time-out, by the board's close or refusal, or at once on the
// process-wide stop. The driver's backend lists what the Setup API has and opens the same
// stand-in through the \?\ form of its name, as it opens a device interface path.

#include "usb/PipeLayer.h"
#include "usb/WinHandle.h"
#include "usb/virtual/PipeInterface.h"
#include "usb/virtual/VirtualBoardBackend.h"
#include "usb/virtual/VirtualRegistry.h"
#include "usb/windriver/DriverBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <thread>

namespace
{
using namespace std::chrono_literals;

constexpr uint32_t TIMEOUT_MS = 400;

// What the stand-in board does once the host's pipe is connected.
enum class EBoard
{
    Hold,       // keeps the pipe open and does nothing more
    Close,      // closes its end
    Disconnect, // refuses the host: disconnects it unread
    ReadAll,    // reads everything the host writes
};

// One pipe of a stand-in board: made before the host opens it, served by a thread.
class CStandInPipe
{
public:
    CStandInPipe(const std::string& strName, std::vector<uint8_t> send, EBoard eThen)
        : m_strName(strName),
          m_pipe(::CreateNamedPipeA(strName.c_str(), PIPE_ACCESS_DUPLEX,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                    0, nullptr))
    {
        m_thread = std::thread(
            [this, send = std::move(send), eThen]
            {
                if (!::ConnectNamedPipe(m_pipe.Get(), nullptr) &&
                    ::GetLastError() != ERROR_PIPE_CONNECTED)
                {
                    return;
                }
                DWORD nWritten = 0;
                if (!send.empty())
                {
                    ::WriteFile(m_pipe.Get(), send.data(), static_cast<DWORD>(send.size()),
                                &nWritten, nullptr);
                    ::FlushFileBuffers(m_pipe.Get());
                }
                if (eThen == EBoard::Close)
                {
                    m_pipe.Reset();
                }
                else if (eThen == EBoard::Disconnect)
                {
                    ::DisconnectNamedPipe(m_pipe.Get());
                }
                else if (eThen == EBoard::ReadAll)
                {
                    uint8_t buffer[65536];
                    DWORD nRead = 0;
                    while (::ReadFile(m_pipe.Get(), buffer, sizeof buffer, &nRead, nullptr))
                    {
                        m_received.insert(m_received.end(), buffer, buffer + nRead);
                    }
                }
                while (eThen != EBoard::Close && !m_bDone)
                {
                    std::this_thread::sleep_for(5ms);
                }
            });
    }
    ~CStandInPipe()
    {
        m_bDone = true;
        // Ends a connect that no host came for (a test that failed early).
        const CWinHandle host(
            ::CreateFileA(m_strName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        m_thread.join();
    }
    bool IsValid() const { return m_pipe.IsValid(); }
    // After the host closed its end (ReadAll).
    const std::vector<uint8_t>& Received()
    {
        m_bDone = true;
        m_thread.join();
        m_thread = std::thread([] {});
        return m_received;
    }

private:
    std::string m_strName;
    CWinHandle m_pipe;
    std::thread m_thread;
    std::atomic<bool> m_bDone{false};
    std::vector<uint8_t> m_received;
};

std::string TempDirectory(const std::string& strName)
{
    const auto path = std::filesystem::temp_directory_path() /
                      ("quillon-test-" + std::to_string(::GetCurrentProcessId()) + "-" + strName);
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path.string();
}

void WriteText(const std::string& strPath, const std::string& strText)
{
    std::ofstream(strPath, std::ios::binary) << strText;
}

class VirtualBoardWin : public testing::Test
{
protected:
    void SetUp() override
    {
        m_nPreviousTimeout = GetPipeTimeoutMs();
        SetPipeTimeoutMs(TIMEOUT_MS);
        ClearPipeCancel();
    }
    void TearDown() override
    {
        ClearPipeCancel();
        SetPipeTimeoutMs(m_nPreviousTimeout);
    }

    // A pipe of this test's own: parameterised tests' names hold '/', which no pipe name may.
    std::string PipeName(const std::string& strCase) const
    {
        std::string strTest = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(strTest.begin(), strTest.end(), '/', '-');
        return BoardPipeInterface(::GetCurrentProcessId(), strTest + "-" + strCase);
    }

    CVirtualBoardBackend m_backend;
    uint32_t m_nPreviousTimeout = 0;
};

TEST_F(VirtualBoardWin, ListingTakesBoardsThatNamePlainPipesInByteOrder)
{
    const std::string strRegistry = TempDirectory("registry");
    struct CEntry
    {
        const char* m_pszName;
        const char* m_pszInterface; // nullptr: no interface file
        bool m_bListed;
    };
    const CEntry entries[] = {
        {"b", "\\\\.\\pipe\\q\\b", true}, {"a", "\\\\.\\pipe\\q\\a", true},
        {"Z", "\\\\.\\pipe\\q\\Z", true}, {".hidden", "\\\\.\\pipe\\q\\h", false},
        {"no-interface", nullptr, false}, {"escapes", "\\\\.\\pipe\\..\\C:\\x", false},
        {"a-file", "C:\\x.bin", false},
    };
    for (const CEntry& entry : entries)
    {
        const std::string strBoard = strRegistry + "\\" + entry.m_pszName;
        std::filesystem::create_directory(strBoard);
        WriteText(strBoard + "\\description", std::string("Board ") + entry.m_pszName + "\nmore");
        if (entry.m_pszInterface != nullptr)
        {
            WriteText(strBoard + "\\interface", std::string(entry.m_pszInterface) + "\r\n");
        }
    }
    WriteText(strRegistry + "\\c", "a file is no board");
    ::_putenv_s("QUILLON_BOARD_DIR", strRegistry.c_str());
    const std::vector<CInterfaceEntry> listed = m_backend.ListInterfaces();
    ::_putenv_s("QUILLON_BOARD_DIR", "");
    std::vector<std::string> paths;
    for (const CInterfaceEntry& entry : listed)
    {
        EXPECT_TRUE(entry.m_bPathOk);
        EXPECT_EQ(entry.m_strDescription,
                  "Board " + entry.m_strPath.substr(entry.m_strPath.size() - 1));
        paths.push_back(entry.m_strPath);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"\\\\.\\pipe\\q\\Z", "\\\\.\\pipe\\q\\a",
                                               "\\\\.\\pipe\\q\\b"}));
    std::filesystem::remove_all(strRegistry);
}

struct CReadCase
{
    const char* m_pszName;
    std::vector<uint8_t> m_send;
    EBoard m_eThen;
    bool m_bStop; // the process-wide stop is raised while the host waits
    uint32_t m_nExpected;
    int m_nError;
};

void PrintTo(const CReadCase& test, std::ostream* pStream)
{
    *pStream << test.m_pszName;
}

class VirtualBoardWinRead : public VirtualBoardWin, public testing::WithParamInterface<CReadCase>
{
};

TEST_P(VirtualBoardWinRead, ShortReadsSayWhy)
{
    const CReadCase& test = GetParam();
    const std::string strPipe = PipeName("r") + "\\PIPE01";
    CStandInPipe board(strPipe, test.m_send, test.m_eThen);
    ASSERT_TRUE(board.IsValid());
    int nError = 0;
    std::unique_ptr<IPipe> pPipe = m_backend.OpenPipe(strPipe, &nError);
    ASSERT_NE(pPipe, nullptr) << nError;
    std::thread stopper;
    if (test.m_bStop)
    {
        stopper = std::thread(
            []
            {
                std::this_thread::sleep_for(100ms);
                RaisePipeCancel();
            });
    }
    uint8_t buffer[8] = {};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pPipe->Read(buffer, 4, nullptr), test.m_nExpected);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(pPipe->LastError(), test.m_nError);
    EXPECT_TRUE(std::equal(test.m_send.begin(), test.m_send.begin() + test.m_nExpected, buffer));
    // Nothing waits past the time-out; a stop ends the wait well before it.
    EXPECT_LT(elapsed, std::chrono::milliseconds(TIMEOUT_MS) + 2s);
    if (test.m_bStop)
    {
        stopper.join();
        EXPECT_LT(elapsed, std::chrono::milliseconds(TIMEOUT_MS));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, VirtualBoardWinRead,
    testing::Values(CReadCase{"AllArrive", {1, 2, 3, 4}, EBoard::Hold, false, 4, 0},
                    CReadCase{"FewerThenSilence", {1, 2}, EBoard::Hold, false, 2, ETIMEDOUT},
                    CReadCase{"FewerThenClose", {1, 2}, EBoard::Close, false, 2, ECONNRESET},
                    CReadCase{"Refused", {}, EBoard::Disconnect, false, 0, ECONNRESET},
                    CReadCase{"StopWhileWaiting", {}, EBoard::Hold, true, 0, ECANCELED}),
    [](const testing::TestParamInfo<CReadCase>& info) { return info.param.m_pszName; });

struct CWriteCase
{
    const char* m_pszName;
    EBoard m_eThen;
    bool m_bAll; // the whole block is written
    int m_nError;
};

void PrintTo(const CWriteCase& test, std::ostream* pStream)
{
    *pStream << test.m_pszName;
}

class VirtualBoardWinWrite : public VirtualBoardWin, public testing::WithParamInterface<CWriteCase>
{
};

TEST_P(VirtualBoardWinWrite, WritesEndWithTheBoard)
{
    const CWriteCase& test = GetParam();
    const std::string strPipe = PipeName("w") + "\\PIPE00";
    CStandInPipe board(strPipe, {}, test.m_eThen);
    ASSERT_TRUE(board.IsValid());
    int nError = 0;
    std::unique_ptr<IPipe> pPipe = m_backend.OpenPipe(strPipe, &nError);
    ASSERT_NE(pPipe, nullptr) << nError;
    std::vector<uint8_t> block(1u << 20);
    for (size_t i = 0; i < block.size(); ++i)
    {
        block[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    const uint32_t nWritten =
        pPipe->Write(block.data(), static_cast<uint32_t>(block.size()), nullptr);
    EXPECT_EQ(pPipe->LastError(), test.m_nError);
    if (test.m_bAll)
    {
        EXPECT_EQ(nWritten, block.size());
        pPipe.reset();
        EXPECT_EQ(board.Received(), block);
    }
    else
    {
        EXPECT_LT(nWritten, block.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, VirtualBoardWinWrite,
    testing::Values(CWriteCase{"BoardTakesAll", EBoard::ReadAll, true, 0},
                    CWriteCase{"BoardNeverReads", EBoard::Hold, false, ETIMEDOUT},
                    CWriteCase{"BoardCloses", EBoard::Close, false, ECONNRESET}),
    [](const testing::TestParamInfo<CWriteCase>& info) { return info.param.m_pszName; });

TEST_F(VirtualBoardWin, PipesThatCannotBeOpenedSayWhy)
{
    // A board whose only instance is held by another host.
    const std::string strBusy = PipeName("busy") + "\\PIPE01";
    CStandInPipe busyBoard(strBusy, {}, EBoard::Hold);
    const CWinHandle otherHost(
        ::CreateFileA(strBusy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(otherHost.IsValid());
    struct CCase
    {
        std::string m_strPipe;
        int m_nError;
    };
    const CCase cases[] = {
        {PipeName("absent") + "\\PIPE00", ENOENT},
        {"\\\\.\\pipe\\..\\C:\\quillon-test\\PIPE00", ENOENT}, // never handed to CreateFileA
        {PipeName("absent"), ENOENT},                          // no pipe suffix
        {strBusy, ETIMEDOUT},
    };
    for (const CCase& test : cases)
    {
        int nError = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(m_backend.OpenPipe(test.m_strPipe, &nError), nullptr) << test.m_strPipe;
        EXPECT_EQ(nError, test.m_nError) << test.m_strPipe;
        EXPECT_LT(std::chrono::steady_clock::now() - start,
                  std::chrono::milliseconds(TIMEOUT_MS) + 2s);
    }
}

TEST(WinUserCheck, OnlyProcessesOfTheCurrentUserAreTrusted)
{
    EXPECT_TRUE(RunsAsCurrentUser(::GetCurrentProcessId()));
    // A process id that names no process cannot be vouched for.
    EXPECT_FALSE(RunsAsCurrentUser(0xFFFFFFF0));
}

TEST(DriverBackendWin, ListsWhatTheSetupApiHasAndOwnsDevicePathsOnly)
{
    CDriverBackend backend;
    // Under Wine no device is present: the listing is empty, and says so cleanly.
    for (const CInterfaceEntry& entry : backend.ListInterfaces())
    {
        EXPECT_TRUE(!entry.m_bPathOk || entry.m_strPath.rfind("\\\\?\\", 0) == 0)
            << entry.m_strPath;
    }
    struct COwnCase
    {
        const char* m_pszName;
        bool m_bOwned;
    };
    const COwnCase cases[] = {
        {"\\\\?\\usb#vid_1d50&pid_6150#0001#{e6ef7dcd-1795-4a08-9fbf-aa78423c26f0}\\PIPE00", true},
        {"\\\\?\\usb#vid_1d50&pid_6150#0001#{e6ef7dcd-1795-4a08-9fbf-aa78423c26f0}\\PIPE01", true},
        {"\\\\?\\usb#vid_1d50&pid_6150#0001#{e6ef7dcd-1795-4a08-9fbf-aa78423c26f0}", false},
        {"\\PIPE01", false}, // the name formed from an interface whose path could not be read
        {"\\\\.\\pipe\\quillon\\boards\\1\\plinth0\\PIPE00", false},
    };
    for (const COwnCase& test : cases)
    {
        EXPECT_EQ(backend.OwnsPipeName(test.m_pszName), test.m_bOwned) << test.m_pszName;
    }
}

TEST_F(VirtualBoardWin, DriverPipesMoveBytesAndEndByTheTimeOut)
{
    CDriverBackend backend;
    const std::string strNamed = PipeName("driver");
    // \\?\pipe\NAME is \\.\pipe\NAME: a device path in the form the Setup API gives.
    const std::string strDevice = "\\\\?\\" + strNamed.substr(4);
    CStandInPipe toHost(strNamed + "\\PIPE01", {0x3E, 0x23}, EBoard::Hold);
    CStandInPipe fromHost(strNamed + "\\PIPE00", {}, EBoard::ReadAll);
    // A driver's pipes are there once listed; the stand-in's once its thread waits for us.
    for (const char* pszSuffix : {"\\PIPE01", "\\PIPE00"})
    {
        ASSERT_TRUE(::WaitNamedPipeA((strNamed + pszSuffix).c_str(), 10000));
    }
    int nError = 0;
    std::unique_ptr<IPipe> pRead = backend.OpenPipe(strDevice + "\\PIPE01", &nError);
    ASSERT_NE(pRead, nullptr) << nError;
    std::unique_ptr<IPipe> pWrite = backend.OpenPipe(strDevice + "\\PIPE00", &nError);
    ASSERT_NE(pWrite, nullptr) << nError;
    const uint8_t command[5] = {0x73, 0x03, 0x00, 0x00, 0x00};
    EXPECT_EQ(pWrite->Write(command, sizeof command, nullptr), sizeof command);
    uint8_t replies[4] = {};
    EXPECT_EQ(pRead->Read(replies, 4, nullptr), 2u);
    EXPECT_EQ(pRead->LastError(), ETIMEDOUT);
    EXPECT_EQ(replies[0], 0x3E);
    EXPECT_EQ(replies[1], 0x23);
    pWrite.reset();
    EXPECT_EQ(fromHost.Received(), std::vector<uint8_t>(command, command + sizeof command));
    EXPECT_EQ(backend.OpenPipe(strDevice + "-absent\\PIPE00", &nError), nullptr);
    EXPECT_EQ(nError, ENOENT);
}
} // namespace
