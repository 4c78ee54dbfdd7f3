// quillon-board as a separate process against the real transport: what crosses the wire for
// each command and each fault, sessions, several boards, unplugging, and the registry.

#include "tools/board/BoardProcess.h"
#include "usb/UsbDevice.h"
#include "usb/virtual/VirtualRegistry.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::string Hex(const Bytes& bytes)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string strHex;
    for (uint8_t nByte : bytes)
    {
        strHex += DIGITS[nByte >> 4];
        strHex += DIGITS[nByte & 0x0F];
    }
    return strHex;
}

Bytes Text(const std::string& strText)
{
    return Bytes(strText.begin(), strText.end());
}

// Bytes no two positions of which are likely to be confused: a shifted block shows at once.
Bytes Pattern(size_t nSize, uint32_t nSeed)
{
    Bytes bytes(nSize);
    uint32_t nState = nSeed;
    for (uint8_t& nByte : bytes)
    {
        nState = nState * 1103515245u + 12345u;
        nByte = static_cast<uint8_t>(nState >> 16);
    }
    return bytes;
}

Bytes ReadFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& strPath, const Bytes& bytes)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

class BoardTest : public testing::Test
{
protected:
    CTempDir m_temp;
    std::string m_strRegistry = m_temp.Path() + "/reg";
    std::string m_strLog = m_temp.Path() + "/board.log";
    CBoardLog m_log{m_strLog};
    CBoardProcess m_board;

    void SetUp() override
    {
        ASSERT_FALSE(m_temp.Path().empty());
        ::setenv("QUILLON_BOARD_DIR", m_strRegistry.c_str(), 1);
    }

    bool StartBoard(std::vector<std::string> arguments, size_t nBoards = 1)
    {
        arguments.insert(arguments.begin(), {"--registry", m_strRegistry, "--log", m_strLog});
        return m_board.Start(arguments, nBoards);
    }

    // The first listed board, as the front ends take it.
    static CUsbDevice FirstBoard()
    {
        const CUsbDeviceList devices = EnumerateDevices();
        return CUsbDevice(devices.empty() ? CUsbDeviceInfo() : devices.front());
    }

    // The last session of a board once the board has seen its end.
    std::optional<CConversation> LastSession(const std::string& strBoard, size_t nSessions)
    {
        if (!m_log.WaitFor(strBoard, "end", nSessions))
        {
            return std::nullopt;
        }
        const std::vector<CConversation> sessions = m_log.Sessions(strBoard);
        return sessions.empty() ? std::nullopt : std::optional(sessions.back());
    }
};

// --- Commands and faults, one board per case --------------------------------------------

const Bytes SENT = {0x01, 0x02, 0x03};
const Bytes MEMORY = Pattern(1000, 7);
constexpr uint32_t RECEIVE_SIZE = 102400;
constexpr uint32_t SMALL_RECEIVE = 16;

struct CCommandCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    // Runs the command; *pstrResult gets what it returned, as text.
    std::function<bool(CUsbDevice&, std::string*)> m_fnRun;
    bool m_bExpectOk;
    std::string m_strExpectResult;
    int m_nExpectError;
    std::optional<std::vector<std::string>> m_wire; // nullopt: no session at all
    std::chrono::milliseconds m_minElapsed{0};
};

bool Send(CUsbDevice& device, std::string* pstrResult, const Bytes& data)
{
    *pstrResult = "";
    return device.SendData(data.empty() ? nullptr : data.data(),
                           static_cast<uint32_t>(data.size()));
}

std::function<bool(CUsbDevice&, std::string*)> SendOf(Bytes data)
{
    return [data](CUsbDevice& device, std::string* pstrResult)
    { return Send(device, pstrResult, data); };
}

std::function<bool(CUsbDevice&, std::string*)> ReceiveOf(uint32_t nCount)
{
    return [nCount](CUsbDevice& device, std::string* pstrResult)
    {
        // Marked, so bytes the board never sent cannot pass for zeros.
        Bytes buffer(nCount, 0xEE);
        const bool bOk = device.ReceiveData(nCount, buffer.data());
        *pstrResult = Hex(buffer);
        return bOk;
    };
}

bool RunVersion(CUsbDevice& device, std::string* pstrResult)
{
    *pstrResult = device.GetVersion();
    return !pstrResult->empty();
}

bool RunExecute(CUsbDevice& device, std::string* pstrResult)
{
    *pstrResult = "";
    return device.Execute();
}

std::string MemoryHex(uint32_t nCount, uint32_t nSent)
{
    Bytes bytes(nCount, 0xEE);
    for (uint32_t i = 0; i < nSent; ++i)
    {
        bytes[i] = i < MEMORY.size() ? MEMORY[i] : 0;
    }
    return Hex(bytes);
}

std::string Banner(const std::string& strText)
{
    Bytes bytes = Text(strText);
    bytes.resize(14, 0);
    return "b:" + Hex(bytes);
}

const std::string DEFAULT_BANNER = "Plinth BL 2.1";

const CCommandCase COMMAND_CASES[] = {
    {"SendThreeBytes",
     {},
     SendOf(SENT),
     true,
     "",
     0,
     std::vector<std::string>{"h:73", "b:3e", "h:03000000", "b:3e", "h:010203", "b:23"}},
    {"SendEmptyBlock",
     {},
     SendOf({}),
     true,
     "",
     0,
     std::vector<std::string>{"h:73", "b:3e", "h:00000000", "b:3e", "b:23"}},
    {"Receive102400",
     {},
     ReceiveOf(RECEIVE_SIZE),
     true,
     MemoryHex(RECEIVE_SIZE, RECEIVE_SIZE),
     0,
     std::vector<std::string>{"h:52", "b:3e", "h:00900100", "b:3e",
                              "b:" + MemoryHex(RECEIVE_SIZE, RECEIVE_SIZE), "b:23"}},
    {"Version",
     {},
     RunVersion,
     true,
     DEFAULT_BANNER,
     0,
     std::vector<std::string>{"h:76", Banner(DEFAULT_BANNER)}},
    {"VersionOldBannerAnyCase",
     {"--banner", "QUILLON v1.0C"},
     RunVersion,
     true,
     "QUILLON v1.0C",
     0,
     std::vector<std::string>{"h:76", Banner("QUILLON v1.0C")}},
    {"VersionOf14BytesHasNoNul",
     {"--banner", "Plinth BL 2.10"},
     RunVersion,
     true,
     "Plinth BL 2.10",
     0,
     std::vector<std::string>{"h:76", "b:" + Hex(Text("Plinth BL 2.10"))}},
    {"Execute", {}, RunExecute, true, "", 0, std::vector<std::string>{"h:78", "b:23"}},
    {"WrongReplyToSendCommand",
     {"--wrong-reply", "s1"},
     SendOf(SENT),
     false,
     "",
     EPROTO,
     std::vector<std::string>{"h:73", "b:23"}},
    {"WrongReplyToLength",
     {"--wrong-reply", "s2:21"},
     SendOf(SENT),
     false,
     "",
     EPROTO,
     std::vector<std::string>{"h:73", "b:3e", "h:03000000", "b:21"}},
    {"WrongReplyAfterData",
     {"--wrong-reply", "s3"},
     SendOf(SENT),
     false,
     "",
     EPROTO,
     std::vector<std::string>{"h:73", "b:3e", "h:03000000", "b:3e", "h:010203", "b:3e"}},
    {"WrongReplyToReceiveCommand",
     {"--wrong-reply", "R1"},
     ReceiveOf(SMALL_RECEIVE),
     false,
     MemoryHex(SMALL_RECEIVE, 0),
     EPROTO,
     std::vector<std::string>{"h:52", "b:23"}},
    {"WrongReplyAfterReceivedData",
     {"--wrong-reply", "R3"},
     ReceiveOf(SMALL_RECEIVE),
     false,
     MemoryHex(SMALL_RECEIVE, SMALL_RECEIVE),
     EPROTO,
     std::vector<std::string>{"h:52", "b:3e", "h:10000000", "b:3e",
                              "b:" + MemoryHex(SMALL_RECEIVE, SMALL_RECEIVE), "b:3e"}},
    {"ExecuteAnsweredWithReady",
     {"--wrong-reply", "x1"},
     RunExecute,
     false,
     "",
     EPROTO,
     std::vector<std::string>{"h:78", "b:3e"}},
    {"NoReplyToSendCommand",
     {"--no-reply", "s1"},
     SendOf(SENT),
     false,
     "",
     ETIMEDOUT,
     std::vector<std::string>{"h:73"}},
    {"NoReplyAfterData",
     {"--no-reply", "s3"},
     SendOf(SENT),
     false,
     "",
     ETIMEDOUT,
     std::vector<std::string>{"h:73", "b:3e", "h:03000000", "b:3e", "h:010203"}},
    {"NoReplyToReceiveLength",
     {"--no-reply", "R2"},
     ReceiveOf(SMALL_RECEIVE),
     false,
     MemoryHex(SMALL_RECEIVE, 0),
     ETIMEDOUT,
     std::vector<std::string>{"h:52", "b:3e", "h:10000000"}},
    {"NoReplyToExecute",
     {"--no-reply", "x1"},
     RunExecute,
     false,
     "",
     ETIMEDOUT,
     std::vector<std::string>{"h:78"}},
    {"NoVersionReply",
     {"--no-reply", "v1"},
     RunVersion,
     false,
     "",
     ETIMEDOUT,
     std::vector<std::string>{"h:76"}},
    {"ShortReceive",
     {"--short-receive", "1"},
     ReceiveOf(SMALL_RECEIVE),
     false,
     MemoryHex(SMALL_RECEIVE, SMALL_RECEIVE - 1),
     ETIMEDOUT,
     std::vector<std::string>{"h:52", "b:3e", "h:10000000", "b:3e",
                              "b:" + MemoryHex(SMALL_RECEIVE - 1, SMALL_RECEIVE - 1)}},
    {"SplitVersionReply",
     {"--split-version"},
     RunVersion,
     true,
     DEFAULT_BANNER,
     0,
     std::vector<std::string>{"h:76", Banner(DEFAULT_BANNER)},
     std::chrono::milliseconds(40)},
    {"ReplyDelay",
     {"--reply-delay", "150"},
     RunExecute,
     true,
     "",
     0,
     std::vector<std::string>{"h:78", "b:23"},
     std::chrono::milliseconds(150)},
    {"ThroughputCap",
     {"--rate", "100000"},
     SendOf(Pattern(30000, 3)),
     true,
     "",
     0,
     std::vector<std::string>{"h:73", "b:3e", "h:30750000", "b:3e", "h:" + Hex(Pattern(30000, 3)),
                              "b:23"},
     std::chrono::milliseconds(250)},
    {"ThroughputCapOnReceive",
     {"--rate", "20000"},
     ReceiveOf(2000),
     true,
     MemoryHex(2000, 2000),
     0,
     std::vector<std::string>{"h:52", "b:3e", "h:d0070000", "b:3e", "b:" + MemoryHex(2000, 2000),
                              "b:23"},
     std::chrono::milliseconds(80)},
    {"MissingPipe00", {"--no-pipe00"}, SendOf(SENT), false, "", ENOENT, std::nullopt},
};

void PrintTo(const CCommandCase& testCase, std::ostream* pStream)
{
    *pStream << testCase.m_pszName;
}

class BoardCommandTest : public BoardTest, public testing::WithParamInterface<CCommandCase>
{
};

TEST_P(BoardCommandTest, WireBytesAndResult)
{
    const CCommandCase& testCase = GetParam();
    const std::string strMemory = m_temp.Path() + "/memory.bin";
    WriteFile(strMemory, MEMORY);
    std::vector<std::string> arguments = {"--memory", strMemory};
    arguments.insert(arguments.end(), testCase.m_arguments.begin(), testCase.m_arguments.end());
    ASSERT_TRUE(StartBoard(arguments)) << m_board.Output();

    CUsbDevice device = FirstBoard();
    ASSERT_FALSE(device.m_strDevicePath.empty());
    std::string strResult;
    const auto start = Clock::now();
    const bool bOk = testCase.m_fnRun(device, &strResult);
    const auto elapsed = Clock::now() - start;
    device.ClosePipes();

    EXPECT_EQ(bOk, testCase.m_bExpectOk);
    EXPECT_EQ(device.LastError(), testCase.m_nExpectError);
    EXPECT_EQ(strResult.size(), testCase.m_strExpectResult.size());
    EXPECT_TRUE(strResult == testCase.m_strExpectResult) << "result differs";
    EXPECT_GE(elapsed, testCase.m_minElapsed);
    if (!testCase.m_wire)
    {
        EXPECT_EQ(m_log.Count("plinth0", "session"), 0u);
        return;
    }
    const std::optional<CConversation> session = LastSession("plinth0", 1);
    ASSERT_TRUE(session.has_value()) << "the board saw no complete session";
    EXPECT_EQ(ConversationDifference(Conversation(*testCase.m_wire), *session), "");
}

INSTANTIATE_TEST_SUITE_P(Board, BoardCommandTest, testing::ValuesIn(COMMAND_CASES),
                         [](const testing::TestParamInfo<CCommandCase>& info)
                         { return std::string(info.param.m_pszName); });

TEST_F(BoardTest, SplitVersionReplyIsTwoWrites)
{
    ASSERT_TRUE(StartBoard({"--split-version"}));
    CUsbDevice device = FirstBoard();
    EXPECT_EQ(device.GetVersion(), DEFAULT_BANNER);
    ASSERT_TRUE(m_log.WaitFor("plinth0", "end", 1));
    std::vector<size_t> writes;
    for (const CLogLine& line : m_log.Lines())
    {
        if (line.m_strKind == "tx")
        {
            writes.push_back(line.m_strRest.size() / 2);
        }
    }
    EXPECT_EQ(writes, (std::vector<size_t>{10, 4}));
}

// --- Memory and images --------------------------------------------------------------------

TEST_F(BoardTest, ReceiveReturnsWhatWasLastSentThenZeros)
{
    // A save directory that is not there yet is made.
    const std::string strSaveDir = m_temp.Path() + "/saved/images";
    ASSERT_TRUE(StartBoard({"--save-dir", strSaveDir})) << m_board.Output();
    CUsbDevice device = FirstBoard();

    struct CStep
    {
        Bytes m_sent;
        uint32_t m_nReceive;
    };
    const CStep steps[] = {
        {Pattern(5000, 1), 8000}, // longer than sent: zeros follow
        {Pattern(3, 2), 5},       // a shorter image: nothing of the earlier one remains
        {Pattern(70000, 3), 100}, // shorter than sent
        {{}, 4},
    };
    for (const CStep& step : steps)
    {
        ASSERT_TRUE(device.SendData(step.m_sent.data(), static_cast<uint32_t>(step.m_sent.size())));
        EXPECT_EQ(ReadFile(strSaveDir + "/plinth0.bin"), step.m_sent);
        Bytes expected(step.m_nReceive, 0);
        std::copy_n(step.m_sent.begin(), std::min<size_t>(step.m_sent.size(), step.m_nReceive),
                    expected.begin());
        Bytes received(step.m_nReceive, 0xEE);
        ASSERT_TRUE(device.ReceiveData(step.m_nReceive, received.data()));
        EXPECT_TRUE(received == expected) << "after sending " << step.m_sent.size() << " bytes";
    }
    // Nothing but the image itself is left in the save directory.
    size_t nFiles = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(strSaveDir))
    {
        ++nFiles;
    }
    EXPECT_EQ(nFiles, 1u);
}

// --- Several boards, sessions ------------------------------------------------------------

TEST_F(BoardTest, FirstBoardInByteOrderIsUsed)
{
    // Started in the opposite order, and "B" sorts before "a" by bytes.
    ASSERT_TRUE(StartBoard(
        {"--board", "b=Second", "--board", "a=First", "--banner", "A-BOARD", "--board", "B=Upper"},
        3));
    const CUsbDeviceList devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].m_strDevicePath, m_strRegistry + "/B");
    EXPECT_EQ(devices[1].m_strDevicePath, m_strRegistry + "/a");
    EXPECT_EQ(devices[2].m_strDevicePath, m_strRegistry + "/b");
    EXPECT_EQ(devices[0].m_strDescription, "Upper");
    EXPECT_EQ(devices[1].m_strDescription, "First");

    CUsbDevice device = FirstBoard();
    ASSERT_TRUE(device.SendData(SENT.data(), 3));
    EXPECT_EQ(device.GetVersion(), DEFAULT_BANNER); // the banner option was for "a" only
    ASSERT_TRUE(m_log.WaitFor("B", "end", 2));
    EXPECT_EQ(m_log.Count("a", "session"), 0u);
    EXPECT_EQ(m_log.Count("b", "session"), 0u);

    CUsbDevice second(devices[1]);
    EXPECT_EQ(second.GetVersion(), "A-BOARD");
}

TEST_F(BoardTest, BackToBackCommandsEachGetAFreshSession)
{
    // The host closes and reopens both pipes for every command, often before the board has
    // seen the close: each command must still find the bootloader waiting for a command.
    ASSERT_TRUE(StartBoard({}));
    CUsbDevice device = FirstBoard();
    const Bytes image = Pattern(4096, 9);
    constexpr int ROUNDS = 25;
    for (int i = 0; i < ROUNDS; ++i)
    {
        ASSERT_EQ(device.GetVersion(), DEFAULT_BANNER) << "round " << i;
        ASSERT_TRUE(device.SendData(image.data(), static_cast<uint32_t>(image.size())));
        Bytes back(image.size());
        ASSERT_TRUE(device.ReceiveData(static_cast<uint32_t>(back.size()), back.data()));
        ASSERT_TRUE(back == image) << "round " << i;
        ASSERT_TRUE(device.Execute());
    }
    EXPECT_EQ(m_log.Count("plinth0", "refused"), 0u);
}

TEST_F(BoardTest, CommandAbandonedHalfwayLeavesNextSessionClean)
{
    // The host gives up after the wrong reply to the length; the board was then waiting for
    // data. The next command must find it waiting for a command byte again.
    ASSERT_TRUE(StartBoard({"--wrong-reply", "s2"}));
    CUsbDevice device = FirstBoard();
    const Bytes image = Pattern(64, 4);
    EXPECT_FALSE(device.SendData(image.data(), static_cast<uint32_t>(image.size())));
    device.ClosePipes();
    EXPECT_EQ(device.GetVersion(), DEFAULT_BANNER);
    EXPECT_TRUE(device.Execute());
    const std::optional<CConversation> session = LastSession("plinth0", 3);
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(ConversationDifference(Conversation({"h:78", "b:23"}), *session), "");
}

TEST_F(BoardTest, SecondHostProcessIsClosedAtOnce)
{
    ASSERT_TRUE(StartBoard({}));
    CUsbDevice device = FirstBoard();
    ASSERT_TRUE(device.OpenPipes());
    ASSERT_TRUE(m_log.WaitFor("plinth0", "session", 1));

    const pid_t nChild = ::fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0)
    {
        // With a session open, the board must close this process's pipes unread: the
        // command fails at once instead of waiting out the time-out.
        SetPipeTimeoutMs(10000);
        CUsbDevice intruder = FirstBoard();
        const auto start = Clock::now();
        const std::string strVersion = intruder.GetVersion();
        const bool bQuick = Clock::now() - start < std::chrono::seconds(2);
        ::_exit(strVersion.empty() && bQuick ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(::waitpid(nChild, &nStatus, 0), nChild);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
    ASSERT_TRUE(m_log.WaitFor("plinth0", "refused", 1));
    bool bChildNamed = false;
    for (const CLogLine& line : m_log.Lines())
    {
        bChildNamed |= line.m_strKind == "refused" && line.m_strRest == std::to_string(nChild);
    }
    EXPECT_TRUE(bChildNamed);

    // The open session is untouched by the intruder.
    const uint8_t nCommand = 0x76;
    ASSERT_EQ(device.WritePipe(&nCommand, 1), 1u);
    char reply[14] = {};
    ASSERT_EQ(device.ReadPipe(14, reply), 14u);
    EXPECT_EQ(std::string(reply), DEFAULT_BANNER);
    device.ClosePipes();

    // Once the session is over, the other process is served.
    const pid_t nLater = ::fork();
    ASSERT_GE(nLater, 0);
    if (nLater == 0)
    {
        CUsbDevice later = FirstBoard();
        ::_exit(later.GetVersion() == DEFAULT_BANNER ? 0 : 1);
    }
    ASSERT_EQ(::waitpid(nLater, &nStatus, 0), nLater);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);
}

// --- Unplug and detach ---------------------------------------------------------------------

TEST_F(BoardTest, UnplugMidTransferFailsWithoutHanging)
{
    struct CCase
    {
        const char* m_pszName;
        bool m_bSend;
    };
    for (const CCase& testCase : {CCase{"send", true}, CCase{"receive", false}})
    {
        SCOPED_TRACE(testCase.m_pszName);
        CBoardProcess board;
        ASSERT_TRUE(board.Start({"--registry", m_strRegistry, "--unplug-after", "65536"}));
        CUsbDevice device = FirstBoard();
        Bytes block = Pattern(1 << 20, 5);
        const auto start = Clock::now();
        const bool bOk =
            testCase.m_bSend
                ? device.SendData(block.data(), static_cast<uint32_t>(block.size()))
                : device.ReceiveData(static_cast<uint32_t>(block.size()), block.data());
        const auto elapsed = Clock::now() - start;
        EXPECT_FALSE(bOk);
        EXPECT_NE(device.LastError(), 0);
        // Well inside one time-out: an unplugged board is noticed, not waited out.
        EXPECT_LT(elapsed, std::chrono::milliseconds(GetPipeTimeoutMs()));
        EXPECT_TRUE(EnumerateDevices().empty());
        EXPECT_FALSE(std::filesystem::exists(m_strRegistry + "/plinth0"));
        // Its only board gone, the program ends by itself.
        const int nStatus = board.WaitExit(std::chrono::seconds(5));
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    }
}

TEST_F(BoardTest, StopSignalsDetachCleanly)
{
    for (int nSignal : {SIGTERM, SIGINT})
    {
        CBoardProcess board;
        ASSERT_TRUE(board.Start({"--registry", m_strRegistry, "--board", "x", "--board", "y"}, 2));
        ASSERT_EQ(ListBoardNames(m_strRegistry), (std::vector<std::string>{"x", "y"}));
        ::kill(board.Pid(), nSignal);
        const int nStatus = board.WaitExit(std::chrono::seconds(5));
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "signal " << nSignal;
        // Nothing left behind, hidden or not.
        EXPECT_TRUE(std::filesystem::is_empty(m_strRegistry)) << "signal " << nSignal;
    }
}

TEST_F(BoardTest, BoardLeftByAKilledProgramIsReplaced)
{
    {
        CBoardProcess killed;
        ASSERT_TRUE(killed.Start({"--registry", m_strRegistry}));
        ::kill(killed.Pid(), SIGKILL);
        killed.WaitExit(std::chrono::seconds(5));
    }
    ASSERT_EQ(ListBoardNames(m_strRegistry).size(), 1u);
    ASSERT_TRUE(StartBoard({}));
    EXPECT_EQ(FirstBoard().GetVersion(), DEFAULT_BANNER);

    // A live board of the same name is not taken over.
    CBoardProcess duplicate;
    EXPECT_FALSE(duplicate.Start({"--registry", m_strRegistry}));
    const int nStatus = duplicate.WaitExit(std::chrono::seconds(5));
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1);
    EXPECT_EQ(FirstBoard().GetVersion(), DEFAULT_BANNER);
}

// --- Hostile hosts ---------------------------------------------------------------------------

// The raw pipes of the first board, as a host that does not play by the rules opens them.
int ConnectPipe(const std::string& strRegistry, const char* pszSocket)
{
    const std::vector<std::string> names = ListBoardNames(strRegistry);
    return names.empty() ? -1
                         : ConnectBoardSocket(strRegistry + "/" + names.front() + "/" + pszSocket);
}

bool WriteAllTo(int nFd, const Bytes& bytes)
{
    size_t nDone = 0;
    while (nDone < bytes.size())
    {
        const ssize_t nWritten = ::write(nFd, bytes.data() + nDone, bytes.size() - nDone);
        if (nWritten <= 0)
        {
            return false;
        }
        nDone += static_cast<size_t>(nWritten);
    }
    return true;
}

Bytes ReadExactly(int nFd, size_t nCount)
{
    Bytes bytes(nCount);
    size_t nDone = 0;
    while (nDone < nCount)
    {
        const ssize_t nRead = ::read(nFd, bytes.data() + nDone, nCount - nDone);
        if (nRead <= 0)
        {
            break;
        }
        nDone += static_cast<size_t>(nRead);
    }
    bytes.resize(nDone);
    return bytes;
}

// Bytes that are no command at all, a fair share of each.
Bytes Junk(size_t nSize)
{
    Bytes bytes = Pattern(nSize, 13);
    for (uint8_t& nByte : bytes)
    {
        if (nByte == CMD_SEND || nByte == CMD_RECEIVE || nByte == CMD_VERSION ||
            nByte == CMD_EXECUTE)
        {
            nByte = 0x00;
        }
    }
    return bytes;
}

Bytes LengthBytes(uint32_t nValue)
{
    return {static_cast<uint8_t>(nValue), static_cast<uint8_t>(nValue >> 8),
            static_cast<uint8_t>(nValue >> 16), static_cast<uint8_t>(nValue >> 24)};
}

// Seconds of CPU and the peak resident kilobytes of a process, from /proc.
double CpuSeconds(pid_t nPid)
{
    std::ifstream stat("/proc/" + std::to_string(nPid) + "/stat");
    std::string strText((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(strText.substr(strText.rfind(')') + 2));
    std::string strField;
    unsigned long long nUser = 0;
    unsigned long long nSystem = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int nField = 3; nField <= 15 && fields >> strField; ++nField)
    {
        if (nField == 14)
        {
            nUser = std::stoull(strField);
        }
        if (nField == 15)
        {
            nSystem = std::stoull(strField);
        }
    }
    return static_cast<double>(nUser + nSystem) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

size_t OpenFdCount(pid_t nPid)
{
    size_t nCount = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(nPid) + "/fd", error),
         end;
         !error && it != end; it.increment(error))
    {
        ++nCount;
    }
    return nCount;
}

long PeakResidentKb(pid_t nPid)
{
    std::ifstream status("/proc/" + std::to_string(nPid) + "/status");
    std::string strLine;
    while (std::getline(status, strLine))
    {
        if (strLine.rfind("VmHWM:", 0) == 0)
        {
            return std::stol(strLine.substr(6));
        }
    }
    return -1;
}

struct CHostileCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    // Runs in a process of its own with the registry; returns once its mischief is in place
    // (the process then stays, holding what it opened). The exit status if it ends early.
    std::function<int(const std::string& strRegistry)> m_fnMischief;
    // How many of the board's pipes it holds, and how long the board is expected to be held
    // from the proper host (0: not at all).
    size_t m_nHeldPipes;
    std::chrono::milliseconds m_hold;
    size_t m_nMaxLogBytes;
    bool m_bLogTruncated;
    // A few milliseconds do for most; a board that spins or takes bytes one at a time spends
    // seconds (the sanitizer build spends more on a large block).
    double m_dMaxCpuSeconds;
};

// quillon-board's documented default, and a shorter one that keeps most cases quick.
constexpr uint32_t BOARD_IDLE_TIMEOUT_MS = 5000;
constexpr auto SHORT_IDLE = std::chrono::milliseconds(1000);

const CHostileCase HOSTILE_CASES[] = {
    {"IdleOnBothPipes",
     {"--idle-timeout", "1000"},
     [](const std::string& strRegistry)
     {
         return ConnectPipe(strRegistry, BOARD_READ_SOCKET) >= 0 &&
                        ConnectPipe(strRegistry, BOARD_WRITE_SOCKET) >= 0
                    ? -1
                    : 1;
     },
     2,
     SHORT_IDLE,
     4096,
     false,
     2.0},
    {"OnlyPipe01AtTheDefaultTimeout",
     {},
     [](const std::string& strRegistry)
     { return ConnectPipe(strRegistry, BOARD_READ_SOCKET) >= 0 ? -1 : 1; },
     1,
     std::chrono::milliseconds(BOARD_IDLE_TIMEOUT_MS),
     16384,
     false,
     2.0},
    {"OnlyPipe00",
     {"--idle-timeout", "1000"},
     [](const std::string& strRegistry)
     { return ConnectPipe(strRegistry, BOARD_WRITE_SOCKET) >= 0 ? -1 : 1; },
     1,
     SHORT_IDLE,
     4096,
     false,
     2.0},
    {"HalfACommandThenSilence",
     {"--idle-timeout", "1000"},
     [](const std::string& strRegistry)
     {
         const int nRead = ConnectPipe(strRegistry, BOARD_READ_SOCKET);
         const int nWrite = ConnectPipe(strRegistry, BOARD_WRITE_SOCKET);
         // The board waits for the rest of the length.
         const bool bOk =
             WriteAllTo(nWrite, {CMD_SEND, 0x10}) && ReadExactly(nRead, 1) == Bytes{'>'};
         return bOk ? -1 : 1;
     },
     2,
     SHORT_IDLE,
     4096,
     false,
     2.0},
    {"HugeReceiveNeverRead",
     {"--idle-timeout", "3000"},
     [](const std::string& strRegistry)
     {
         const int nRead = ConnectPipe(strRegistry, BOARD_READ_SOCKET);
         const int nWrite = ConnectPipe(strRegistry, BOARD_WRITE_SOCKET);
         // 4 GiB asked for; the board fills the socket and must then wait, not spin.
         Bytes request = {CMD_RECEIVE};
         const Bytes length = LengthBytes(UINT32_MAX);
         request.insert(request.end(), length.begin(), length.end());
         const bool bOk = nRead >= 0 && WriteAllTo(nWrite, request);
         return bOk ? -1 : 1;
     },
     2,
     std::chrono::milliseconds(3000),
     1 << 20,
     false,
     0.5},
    {"HugeSendLengths",
     {"--idle-timeout", "1000"},
     [](const std::string& strRegistry)
     {
         const int nRead = ConnectPipe(strRegistry, BOARD_READ_SOCKET);
         const int nWrite = ConnectPipe(strRegistry, BOARD_WRITE_SOCKET);
         // Past the largest image: refused at once, nothing kept.
         Bytes tooLong = {CMD_SEND};
         const Bytes maxLength = LengthBytes(UINT32_MAX);
         tooLong.insert(tooLong.end(), maxLength.begin(), maxLength.end());
         if (!WriteAllTo(nWrite, tooLong) || ReadExactly(nRead, 2) != Bytes{'>', '!'})
         {
             return 1;
         }
         // The largest taken, then a trickle of it: memory grows with what arrives only.
         Bytes large = {CMD_SEND};
         const Bytes length = LengthBytes(1 << 30);
         large.insert(large.end(), length.begin(), length.end());
         const bool bOk = WriteAllTo(nWrite, large) && ReadExactly(nRead, 2) == Bytes{'>', '>'} &&
                          WriteAllTo(nWrite, Pattern(1 << 20, 3));
         return bOk ? -1 : 1;
     },
     2,
     SHORT_IDLE,
     4 << 20,
     false,
     2.0},
    {"TenMegabytesOfJunk",
     {},
     [](const std::string& strRegistry)
     {
         const int nRead = ConnectPipe(strRegistry, BOARD_READ_SOCKET);
         const int nWrite = ConnectPipe(strRegistry, BOARD_WRITE_SOCKET);
         // Commands among the junk are still answered, in order.
         Bytes stream = Junk(10 << 20);
         stream[5 << 20] = CMD_VERSION;
         stream.push_back(CMD_EXECUTE);
         if (!WriteAllTo(nWrite, stream))
         {
             return 1;
         }
         Bytes expected = Text(DEFAULT_BANNER);
         expected.resize(14, 0);
         expected.push_back('#');
         return ReadExactly(nRead, expected.size()) == expected ? 0 : 2;
     },
     0,
     std::chrono::milliseconds(0),
     4096,
     false,
     2.0},
    {"LogLimit",
     {"--log-limit", "4096"},
     [](const std::string&)
     {
         const CUsbDeviceList devices = EnumerateDevices();
         if (devices.empty())
         {
             return 1;
         }
         CUsbDevice device(devices.front());
         const Bytes image = Pattern(10000, 8);
         return device.SendData(image.data(), static_cast<uint32_t>(image.size())) ? 0 : 1;
     },
     0,
     std::chrono::milliseconds(0),
     4096 + 100,
     true,
     2.0},
};

void PrintTo(const CHostileCase& testCase, std::ostream* pStream)
{
    *pStream << testCase.m_pszName;
}

class BoardHostileTest : public BoardTest, public testing::WithParamInterface<CHostileCase>
{
};

// A host that holds the board without using it is dropped after the idle time-out, not
// before; the board spends little CPU, memory and log on any of them; and a proper host
// is served afterwards.
TEST_P(BoardHostileTest, BoardHoldsUpAndServesTheNextHost)
{
    const CHostileCase& testCase = GetParam();
    ASSERT_TRUE(StartBoard(testCase.m_arguments)) << m_board.Output();
    const size_t nBoardFds = OpenFdCount(m_board.Pid());

    int ready[2] = {-1, -1};
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t nHostile = ::fork();
    ASSERT_GE(nHostile, 0);
    if (nHostile == 0)
    {
        ::close(ready[0]);
        const int nResult = testCase.m_fnMischief(m_strRegistry);
        const char nReady = 1;
        [[maybe_unused]] const ssize_t nIgnored = ::write(ready[1], &nReady, 1);
        if (nResult >= 0)
        {
            ::_exit(nResult);
        }
        ::pause(); // holds whatever it opened until it is killed
        ::_exit(0);
    }
    ::close(ready[1]);
    pollfd waitReady = {ready[0], POLLIN, 0};
    const bool bReady = ::poll(&waitReady, 1, 60000) == 1;
    ::close(ready[0]);
    ASSERT_TRUE(bReady) << "the hostile host did not get going";
    // Its pipes taken by the board first, so that the proper host comes second.
    const auto taken = Clock::now();
    while (OpenFdCount(m_board.Pid()) < nBoardFds + testCase.m_nHeldPipes &&
           Clock::now() - taken < std::chrono::seconds(10))
    {
        ::usleep(10000);
    }
    const auto start = Clock::now();

    // The proper host tries until it is served.
    const auto limit = testCase.m_hold + std::chrono::seconds(10);
    std::string strVersion;
    while (strVersion.empty() && Clock::now() - start < limit)
    {
        strVersion = FirstBoard().GetVersion();
        if (strVersion.empty())
        {
            ::usleep(50000);
        }
    }
    const auto served = Clock::now() - start;
    const double dCpu = CpuSeconds(m_board.Pid());
    const long nPeakKb = PeakResidentKb(m_board.Pid());

    // A host that holds the board stays until killed; the others end by themselves.
    if (testCase.m_hold.count() > 0)
    {
        ::kill(nHostile, SIGKILL);
    }
    int nStatus = 0;
    ASSERT_EQ(::waitpid(nHostile, &nStatus, 0), nHostile);
    if (testCase.m_hold.count() == 0)
    {
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;
    }
    EXPECT_EQ(strVersion, DEFAULT_BANNER);
    EXPECT_LT(served, limit);
    // Held for the time-out, not dropped early (half of it is left for a loaded machine).
    EXPECT_GE(served, testCase.m_hold / 2);
    EXPECT_LT(dCpu, testCase.m_dMaxCpuSeconds);
    EXPECT_GT(nPeakKb, 0);
    // Far below the 1 GiB a board that cleared or filled its largest image would touch, with
    // room for the sanitizers' shadow of that block.
    EXPECT_LT(nPeakKb, 256 * 1024);

    const auto nLogBytes = std::filesystem::file_size(m_strLog);
    EXPECT_LE(nLogBytes, testCase.m_nMaxLogBytes);
    size_t nDropped = 0;
    bool bTruncated = false;
    for (const CLogLine& line : m_log.Lines())
    {
        nDropped += line.m_strKind == "note" &&
                    line.m_strRest == "dropped host " + std::to_string(nHostile) + ": idle for " +
                                          (testCase.m_arguments.empty()
                                               ? std::to_string(BOARD_IDLE_TIMEOUT_MS)
                                               : testCase.m_arguments[1]) +
                                          " ms";
        bTruncated |= line.m_strBoard == "log" && line.m_strKind == "truncated:";
    }
    EXPECT_EQ(nDropped, testCase.m_hold.count() > 0 ? 1u : 0u);
    EXPECT_EQ(bTruncated, testCase.m_bLogTruncated);
}

INSTANTIATE_TEST_SUITE_P(Board, BoardHostileTest, testing::ValuesIn(HOSTILE_CASES),
                         [](const testing::TestParamInfo<CHostileCase>& info)
                         { return std::string(info.param.m_pszName); });

// The board's own waits (a reply delay) and the replies its faults withhold are not the
// host's idleness: a host waiting for them is not dropped, however short the idle time-out.
TEST_F(BoardTest, BoardsOwnWaitsAreNotIdleness)
{
    struct CCase
    {
        const char* m_pszName;
        std::vector<std::string> m_arguments;
        std::function<bool(CUsbDevice&, std::string*)> m_fnRun;
        bool m_bExpectOk;
    };
    const CCase cases[] = {
        {"reply delay", {"--reply-delay", "900"}, RunExecute, true},
        {"withheld reply", {"--no-reply", "x1"}, RunExecute, false},
        {"short receive", {"--short-receive", "1"}, ReceiveOf(SMALL_RECEIVE), false},
    };
    const uint32_t nHostTimeout = GetPipeTimeoutMs();
    SetPipeTimeoutMs(1000);
    for (const CCase& testCase : cases)
    {
        SCOPED_TRACE(testCase.m_pszName);
        CTempDir temp;
        const std::string strLog = temp.Path() + "/board.log";
        std::vector<std::string> arguments = {"--registry", m_strRegistry,    "--log",
                                              strLog,       "--idle-timeout", "300"};
        arguments.insert(arguments.end(), testCase.m_arguments.begin(), testCase.m_arguments.end());
        CBoardProcess board;
        ASSERT_TRUE(board.Start(arguments));
        CUsbDevice device = FirstBoard();
        std::string strResult;
        const auto start = Clock::now();
        EXPECT_EQ(testCase.m_fnRun(device, &strResult), testCase.m_bExpectOk);
        const auto elapsed = Clock::now() - start;
        EXPECT_EQ(device.LastError(), testCase.m_bExpectOk ? 0 : ETIMEDOUT);
        EXPECT_GE(elapsed, std::chrono::milliseconds(800));
        device.ClosePipes();
        const CBoardLog log(strLog);
        ASSERT_TRUE(log.WaitFor("plinth0", "end", 1));
        for (const CLogLine& line : log.Lines())
        {
            EXPECT_NE(line.m_strRest.rfind("dropped host", 0), 0u) << line.m_strRest;
        }
    }
    SetPipeTimeoutMs(nHostTimeout);
}

TEST_F(BoardTest, UnknownCommandBytesAreOneNote)
{
    ASSERT_TRUE(StartBoard({}));
    const int nRead = ConnectPipe(m_strRegistry, BOARD_READ_SOCKET);
    const int nWrite = ConnectPipe(m_strRegistry, BOARD_WRITE_SOCKET);
    ASSERT_TRUE(WriteAllTo(nWrite, {0x41, 0x00, 0xff, CMD_EXECUTE, 0x42}));
    EXPECT_EQ(ReadExactly(nRead, 1), Bytes{'#'});
    ::close(nWrite);
    ::close(nRead);
    ASSERT_TRUE(m_log.WaitFor("plinth0", "end", 1));
    std::vector<std::string> lines;
    for (const CLogLine& line : m_log.Lines())
    {
        if (line.m_strKind != "attached" && line.m_strKind != "session")
        {
            lines.push_back(line.m_strRest.empty() ? line.m_strKind
                                                   : line.m_strKind + " " + line.m_strRest);
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"note ignored 3 unknown command bytes 4100ff",
                                               "rx 78", "note execute", "tx 23",
                                               "note ignored 1 unknown command byte 42", "end"}));
}

// --- The registry ---------------------------------------------------------------------------

TEST_F(BoardTest, RegistryThatOthersCanWriteListsNothing)
{
    ASSERT_TRUE(StartBoard({}));
    struct CCase
    {
        mode_t m_nMode;
        bool m_bListed;
    };
    for (const CCase& testCase : {CCase{0700, true}, CCase{0750, true}, CCase{0755, true},
                                  CCase{0770, false}, CCase{0702, false}, CCase{0777, false}})
    {
        ASSERT_EQ(::chmod(m_strRegistry.c_str(), testCase.m_nMode), 0);
        EXPECT_EQ(EnumerateDevices().size(), testCase.m_bListed ? 1u : 0u)
            << std::oct << testCase.m_nMode;
        EXPECT_EQ(IsTrustedRegistry(m_strRegistry), testCase.m_bListed);
    }
    ASSERT_EQ(::chmod(m_strRegistry.c_str(), 0700), 0);
    if (::geteuid() == 0)
    {
        // Owned by someone else: not trusted either, whatever its mode.
        ASSERT_EQ(::chown(m_strRegistry.c_str(), 65534, 65534), 0);
        EXPECT_TRUE(EnumerateDevices().empty());
        std::string strReason;
        EXPECT_FALSE(IsTrustedRegistry(m_strRegistry, &strReason));
        EXPECT_NE(strReason.find("owned by another user"), std::string::npos) << strReason;
        ASSERT_EQ(::chown(m_strRegistry.c_str(), 0, 0), 0);
    }
    EXPECT_EQ(EnumerateDevices().size(), 1u);
}

TEST_F(BoardTest, LongRegistryPathWorks)
{
    // Socket addresses hold about 107 bytes; this registry's sockets are far longer.
    std::string strLong = m_temp.Path() + "/";
    while (strLong.size() < 180)
    {
        strLong += "a-rather-long-directory-name/";
    }
    strLong += "boards";
    ASSERT_TRUE(StartBoard({"--registry", strLong, "--board", std::string(60, 'n')}));
    ::setenv("QUILLON_BOARD_DIR", strLong.c_str(), 1);
    const CUsbDeviceList devices = EnumerateDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_GT(devices[0].m_strDevicePath.size() + sizeof("/PIPE00"), 200u);
    EXPECT_EQ(devices[0].m_strDevicePath, strLong + "/" + std::string(60, 'n'));

    CUsbDevice device(devices[0]);
    const Bytes image = Pattern(300000, 11);
    ASSERT_TRUE(device.SendData(image.data(), static_cast<uint32_t>(image.size())));
    Bytes back(image.size());
    ASSERT_TRUE(device.ReceiveData(static_cast<uint32_t>(back.size()), back.data()));
    EXPECT_TRUE(back == image);
    // Every directory Quillon made on the way is private.
    struct stat info
    {
    };
    ASSERT_EQ(::stat(strLong.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

// A memory file that is no regular file would be read for ever (a device) or block (a FIFO
// without a writer); a log that takes nothing would lose every line without a word.
TEST_F(BoardTest, MemoryOrLogThatCannotServeIsRefusedAtOnce)
{
    const std::string strFifo = m_temp.Path() + "/fifo";
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    const std::vector<std::string> cases[] = {
        {"--memory", "/dev/zero"},
        {"--memory", strFifo},
        {"--memory", m_temp.Path()},
        {"--log", "/dev/full"},
    };
    for (const std::vector<std::string>& arguments : cases)
    {
        SCOPED_TRACE(arguments.back());
        CBoardProcess board;
        std::vector<std::string> all = {"--registry", m_strRegistry};
        all.insert(all.end(), arguments.begin(), arguments.end());
        EXPECT_FALSE(board.Start(all));
        const int nStatus = board.WaitExit(std::chrono::seconds(5));
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 1) << nStatus;
    }
    EXPECT_TRUE(!std::filesystem::exists(m_strRegistry) || ListBoardNames(m_strRegistry).empty());
}

TEST_F(BoardTest, BadCommandLinesAreRefused)
{
    const std::vector<std::string> cases[] = {
        {"--banner", "fifteen-bytes!!"},
        {"--board", ".hidden"},
        {"--board", "a/b"},
        {"--board", ""},
        {"--wrong-reply", "v1"},
        {"--wrong-reply", "s4"},
        {"--wrong-reply", "s1:zz"},
        {"--no-reply", "q"},
        {"--rate", "-1"},
        {"--short-receive", "x"},
        {"--board", "a", "--board", "a"},
        {"--idle-timeout", "soon"},
        {"--log-limit", "-5"},
        {"--frobnicate"},
        {"--registry"},
        {"--stall", "s1"}, // faults and settings of a board on USB, without --usb-gadget
        {"--usb-id", "1209:0001"},
        {"--leave-on-execute", "100"},
        {"--usb-gadget", "--stall", "q1"},
        {"--usb-gadget", "--usb-id", "12345"},
        {"--usb-gadget", "--leave-on-execute", "soon"},
    };
    for (const std::vector<std::string>& arguments : cases)
    {
        CBoardProcess board;
        std::vector<std::string> all = {"--registry", m_strRegistry};
        all.insert(all.end(), arguments.begin(), arguments.end());
        EXPECT_FALSE(board.Start(all)) << arguments.front();
        const int nStatus = board.WaitExit(std::chrono::seconds(5));
        EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 2) << arguments.front();
    }
    EXPECT_TRUE(!std::filesystem::exists(m_strRegistry) || ListBoardNames(m_strRegistry).empty());
}
} // namespace
