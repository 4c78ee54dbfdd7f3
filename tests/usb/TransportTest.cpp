// The connection and the bootloader commands against a scripted board: exact wire bytes,
// call sequences, and how each kind of misbehaving board ends a command.

#include "support/FakePipeBackend.h"
#include "usb/UsbDevice.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> values)
{
    Bytes bytes;
    for (int n : values)
    {
        bytes.push_back(static_cast<uint8_t>(n));
    }
    return bytes;
}

// The four commands, each as a call that says whether it went through.
struct CCommandCase
{
    const char* m_pszName;
    std::function<bool()> m_fnRun;
};

std::vector<CCommandCase> EveryCommand(CUsbDevice& device)
{
    static const uint8_t DATA[] = {1};
    return {
        {"send", [&device] { return device.SendData(DATA, 1); }},
        {"receive",
         [&device]
         {
             std::vector<uint8_t> buffer(4);
             return device.ReceiveData(4, buffer.data());
         }},
        {"execute", [&device] { return device.Execute(); }},
        {"version", [&device] { return !device.GetVersion().empty(); }},
    };
}

class TransportTest : public testing::Test
{
protected:
    CFakeBoard m_board;
    CFakePipeBackend m_backend;
    CPipeBackendOverride m_guard{{&m_backend}};

    TransportTest() { m_backend.m_boards = {&m_board}; }

    CUsbDevice Connect()
    {
        return CUsbDevice(CUsbDeviceInfo(m_board.m_strPath, m_board.m_strDescription));
    }

    std::vector<std::string> Ops() const
    {
        std::vector<std::string> ops;
        for (const CFakeCall& call : m_board.m_calls)
        {
            ops.push_back(call.m_strOp + " " + call.m_strPipe);
        }
        return ops;
    }
};

TEST_F(TransportTest, CommandsPutExactlyTheirPhasesOnTheWire)
{
    m_board.m_memory = B({9, 8, 7});
    CUsbDevice device = Connect();

    const uint8_t data[] = {1, 2, 3};
    ASSERT_TRUE(device.SendData(data, 3));
    EXPECT_EQ(m_board.m_hostToBoard, B({0x73, 3, 0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(m_board.m_boardToHost, B({0x3E, 0x3E, 0x23}));

    m_board.m_hostToBoard.clear();
    m_board.m_boardToHost.clear();
    std::vector<uint8_t> received(102400, 0xAA);
    ASSERT_TRUE(device.ReceiveData(102400, received.data()));
    EXPECT_EQ(m_board.m_hostToBoard, B({0x52, 0x00, 0x90, 0x01, 0x00}));
    ASSERT_EQ(m_board.m_boardToHost.size(), 2u + 102400u + 1u);
    EXPECT_EQ(m_board.m_boardToHost.back(), 0x23);
    EXPECT_EQ(Bytes(received.begin(), received.begin() + 4), B({1, 2, 3, 0}));

    m_board.m_hostToBoard.clear();
    EXPECT_EQ(device.GetVersion(), "Plinth BL 2.0");
    EXPECT_EQ(m_board.m_hostToBoard, B({0x76}));

    m_board.m_hostToBoard.clear();
    m_board.m_boardToHost.clear();
    EXPECT_TRUE(device.Execute());
    EXPECT_EQ(m_board.m_hostToBoard, B({0x78}));
    EXPECT_EQ(m_board.m_boardToHost, B({0x23}));
    EXPECT_EQ(m_board.m_nOpenPipes, 0);
}

TEST_F(TransportTest, EachCommandOpensReadThenWriteAndClosesReadThenWrite)
{
    CUsbDevice device = Connect();
    ASSERT_TRUE(device.Execute());
    const std::vector<std::string> expected = {"open PIPE01", "open PIPE00",  "write PIPE00",
                                               "read PIPE01", "close PIPE01", "close PIPE00"};
    EXPECT_EQ(Ops(), expected);
}

TEST_F(TransportTest, EmptyBlockSendsZeroLengthAndStillChecksTheFinalReply)
{
    CUsbDevice device = Connect();
    ASSERT_TRUE(device.SendData(nullptr, 0));
    EXPECT_EQ(m_board.m_hostToBoard, B({0x73, 0, 0, 0, 0}));
    EXPECT_EQ(m_board.CountCalls("write"), 2); // command and length; no data write
    EXPECT_EQ(m_board.m_boardToHost, B({0x3E, 0x3E, 0x23}));
}

TEST_F(TransportTest, WrongReplyStopsTheCommandAtThatStepAndLeavesThePipesOpen)
{
    struct Case
    {
        const char* m_pszName;
        int m_nStep;
        uint8_t m_nByte;
        Bytes m_hostBytes; // what the host wrote before it stopped
    };
    const std::vector<Case> sendCases = {
        {"command", 0, '!', B({0x73})},
        {"length", 1, '#', B({0x73, 3, 0, 0, 0})},
        {"data", 2, '>', B({0x73, 3, 0, 0, 0, 1, 2, 3})},
    };
    for (const Case& c : sendCases)
    {
        SCOPED_TRACE(c.m_pszName);
        CFakeBoard board;
        board.m_nFaultStep = c.m_nStep;
        board.m_nWrongReplyAtStep = c.m_nByte;
        m_backend.m_boards = {&board};
        {
            CUsbDevice device(CUsbDeviceInfo(board.m_strPath, board.m_strDescription));
            const uint8_t data[] = {1, 2, 3};
            EXPECT_FALSE(device.SendData(data, 3));
            EXPECT_EQ(board.m_hostToBoard, c.m_hostBytes);
            EXPECT_EQ(device.LastError(), EPROTO);
            EXPECT_EQ(device.LastReply(), c.m_nByte);
            EXPECT_TRUE(device.m_hReadPipe.IsValid());
            EXPECT_TRUE(device.m_hWritePipe.IsValid());
            EXPECT_EQ(board.m_nOpenPipes, 2);
        }
        EXPECT_EQ(board.m_nOpenPipes, 0)
            << "destroying the connection closes what the failure left open";
    }
}

TEST_F(TransportTest, ExecuteAnsweredWithReadyFailsAndNextCommandClosesTheLeftovers)
{
    m_board.m_nFaultStep = 0;
    m_board.m_nWrongReplyAtStep = '>';
    CUsbDevice device = Connect();
    EXPECT_FALSE(device.Execute());
    EXPECT_EQ(m_board.m_nOpenPipes, 2);
    EXPECT_TRUE(device.Execute()); // the next step answers '#'
    EXPECT_EQ(m_board.m_nOpenPipes, 0);
    EXPECT_EQ(m_board.CountCalls("close"), 4);
}

TEST_F(TransportTest, ReceiveStopsOnWrongReplyBeforeReadingData)
{
    m_board.m_nFaultStep = 1;
    m_board.m_nWrongReplyAtStep = '?';
    CUsbDevice device = Connect();
    std::vector<uint8_t> buffer(16);
    EXPECT_FALSE(device.ReceiveData(16, buffer.data()));
    EXPECT_EQ(m_board.m_hostToBoard, B({0x52, 16, 0, 0, 0}));
}

TEST_F(TransportTest, SilentBoardFailsEveryCommandAfterFiveReadAttempts)
{
    m_board.m_nSilentFromStep = 0;
    m_board.m_strVersionReply.clear();
    CUsbDevice device = Connect();
    for (const CCommandCase& c : EveryCommand(device))
    {
        SCOPED_TRACE(c.m_pszName);
        m_board.m_calls.clear();
        EXPECT_FALSE(c.m_fnRun());
        EXPECT_EQ(m_board.CountCalls("read"), 5);
        EXPECT_EQ(m_board.CountCalls("write"), 1) << "no step follows a missing reply";
        EXPECT_NE(device.LastError(), 0);
    }
}

TEST_F(TransportTest, AStalledReplyFailsTheCommandAtTheFirstRead)
{
    CUsbDevice device = Connect();
    for (const CCommandCase& c : EveryCommand(device))
    {
        SCOPED_TRACE(c.m_pszName);
        m_board = CFakeBoard();
        m_board.m_nStalledReads = 1;
        EXPECT_FALSE(c.m_fnRun());
        EXPECT_EQ(m_board.CountCalls("read"), 1) << "a stall is no silence to wait out";
        EXPECT_EQ(device.LastError(), EPIPE);
    }
}

TEST_F(TransportTest, ShortWriteFailsTheCommandWithoutWaitingForAReply)
{
    m_board.m_nAcceptWriteLimit = 2;
    CUsbDevice device = Connect();
    const uint8_t data[] = {1, 2, 3};
    EXPECT_FALSE(device.SendData(data, 3));
    // The command byte went through and was answered; the 4-byte length did not.
    EXPECT_EQ(m_board.m_hostToBoard, B({0x73, 3, 0}));
    EXPECT_EQ(m_board.CountCalls("read"), 1);
    EXPECT_EQ(device.LastError(), EPIPE);
}

TEST_F(TransportTest, ReceiveOfFewerBytesThanAskedFailsAndSkipsTheReply)
{
    m_board.m_memory = B({5, 6, 7, 8});
    m_board.m_nShortDataBy = 1;
    CUsbDevice device = Connect();
    std::vector<uint8_t> buffer(4, 0xEE);
    EXPECT_FALSE(device.ReceiveData(4, buffer.data()));
    EXPECT_EQ(buffer, B({5, 6, 7, 0xEE})) << "the rest of the buffer is left as it was";
    EXPECT_EQ(m_board.CountCalls("read"), 2 + 5);
}

TEST_F(TransportTest, VersionReplyIsTheTextBeforeTheFirstNul)
{
    struct Case
    {
        std::vector<std::string> m_reads;
        std::string m_strExpected;
    };
    const std::vector<Case> cases = {
        {{std::string("quillon V1.0c\0", 14)}, "quillon V1.0c"},
        {{"ABCDEFGHIJKLMN"}, "ABCDEFGHIJKLMN"},
        {{"quillon V1.0c"}, ""},                                    // 13 bytes, then nothing
        {{"Plinth BL ", std::string("2.1\0", 4)}, "Plinth BL 2.1"}, // 10 then 4
        {{std::string("v2\0\0\0\0\0\0\0\0\0\0\0\0", 14)}, "v2"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.m_strExpected);
        m_board.m_bScripted = true;
        m_board.m_scriptedReads.assign(c.m_reads.begin(), c.m_reads.end());
        CUsbDevice device = Connect();
        EXPECT_EQ(device.GetVersion(), c.m_strExpected);
        EXPECT_EQ(m_board.m_nOpenPipes, 0);
    }
}

TEST_F(TransportTest, ReadPipeMakesAtMostFiveCallsAndNoneForNothing)
{
    m_board.m_bScripted = true;
    CUsbDevice device = Connect();
    ASSERT_TRUE(device.OpenPipes());
    uint8_t buffer[14] = {};

    EXPECT_EQ(device.ReadPipe(0, buffer), 0u);
    EXPECT_EQ(device.ReadPipe(14, nullptr), 0u);
    EXPECT_EQ(m_board.CountCalls("read"), 0);

    m_board.m_scriptedReads = {"0123456789", "ABCD"};
    EXPECT_EQ(device.ReadPipe(14, buffer), 14u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 14), "0123456789ABCD");
    EXPECT_EQ(m_board.CountCalls("read"), 2);

    m_board.m_calls.clear();
    m_board.m_scriptedReads = {"", "a", "", "b", "", "never read"};
    EXPECT_EQ(device.ReadPipe(14, buffer), 2u);
    EXPECT_EQ(m_board.CountCalls("read"), 5);
}

TEST_F(TransportTest, WriteLengthIsLittleEndian)
{
    m_board.m_bScripted = true;
    CUsbDevice device = Connect();
    ASSERT_TRUE(device.OpenPipes());
    for (const auto& [nValue, expected] :
         std::vector<std::pair<uint32_t, Bytes>>{{0, B({0, 0, 0, 0})},
                                                 {102400, B({0x00, 0x90, 0x01, 0x00})},
                                                 {0xFFFFFFFF, B({0xFF, 0xFF, 0xFF, 0xFF})},
                                                 {0x01020304, B({4, 3, 2, 1})}})
    {
        m_board.m_hostToBoard.clear();
        EXPECT_TRUE(device.WriteLength(nValue));
        EXPECT_EQ(m_board.m_hostToBoard, expected);
    }
    device.ClosePipes();
    EXPECT_FALSE(device.WriteLength(1));
}

TEST_F(TransportTest, OnlyOnePipeOpeningLeavesBothClosed)
{
    for (const bool bReadOpens : {true, false})
    {
        SCOPED_TRACE(bReadOpens ? "read pipe only" : "write pipe only");
        CFakeBoard board;
        board.m_bReadPipeOpens = bReadOpens;
        board.m_bWritePipeOpens = !bReadOpens;
        m_backend.m_boards = {&board};
        CUsbDevice device(CUsbDeviceInfo(board.m_strPath, ""));
        EXPECT_FALSE(device.OpenPipes());
        EXPECT_FALSE(device.m_hReadPipe.IsValid());
        EXPECT_FALSE(device.m_hWritePipe.IsValid());
        EXPECT_EQ(board.m_nOpenPipes, 0);
        EXPECT_EQ(board.CountCalls("open"), 2) << "both pipes are tried";
        EXPECT_FALSE(device.Execute());
        EXPECT_TRUE(device.GetVersion().empty());
        EXPECT_TRUE(board.m_hostToBoard.empty());
    }
}

TEST(TransportRecordTest, RecordsTakeStringsOnlyWithAPathAndCopiesHoldNoPipe)
{
    const CUsbDeviceInfo empty("", "described");
    EXPECT_TRUE(empty.m_strDescription.empty());
    const CUsbDeviceInfo record("/r/b", "Board");
    CUsbDeviceInfo copy(record);
    EXPECT_EQ(copy.m_strDevicePath, "/r/b");
    EXPECT_EQ(copy.m_strDescription, "Board");
    EXPECT_FALSE(copy.m_hReadPipe.IsValid());
    EXPECT_FALSE(copy.m_hWritePipe.IsValid());
}
} // namespace

namespace
{
// A stop raised while a reply is awaited ends the read attempts at once; the command names it.
TEST_F(TransportTest, StopRaisedDuringAReadEndsTheAttempts)
{
    PreparePipeCancel();
    m_board.m_bScripted = true;
    m_board.m_fnOnRead = [] { RaisePipeCancel(); };
    CUsbDevice device = Connect();

    const bool bOk = device.Execute();
    const bool bStillRaised = PipeCancelRaised();
    ClearPipeCancel();

    EXPECT_FALSE(bOk);
    EXPECT_TRUE(bStillRaised);
    EXPECT_EQ(m_board.CountCalls("read"), 1);
    EXPECT_EQ(device.LastError(), ECANCELED);
    EXPECT_EQ(device.FailureReason(), "stopped by request");
}

TEST_F(TransportTest, FailureReasonNamesTheReplyTheTimeOutOrTheError)
{
    struct Case
    {
        const char* m_pszName;
        std::function<void(CFakeBoard&)> m_fnFault;
        std::string m_strReason;
        bool m_bAbsent;
    };
    const std::vector<Case> cases = {
        {"wrong byte", [](CFakeBoard& b) { b.m_nFaultStep = 1, b.m_nWrongReplyAtStep = 'A'; },
         "the board answered 'A' (0x41) where '>' (0x3E) was expected", false},
        {"control byte", [](CFakeBoard& b) { b.m_nFaultStep = 2, b.m_nWrongReplyAtStep = 0x07; },
         "the board answered 0x07 where '#' (0x23) was expected", false},
        {"silent", [](CFakeBoard& b) { b.m_nSilentFromStep = 0; },
         "the board did not answer within", false},
        {"short write", [](CFakeBoard& b) { b.m_nAcceptWriteLimit = 0; }, std::strerror(EPIPE),
         false},
        {"stalled", [](CFakeBoard& b) { b.m_nStalledReads = 1; },
         std::string(std::strerror(EPIPE)) + ": the board stalled the pipe", false},
        {"gone", [](CFakeBoard& b) { b.m_bReadPipeOpens = b.m_bWritePipeOpens = false; },
         std::strerror(ENOENT), true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.m_pszName);
        CFakeBoard board;
        c.m_fnFault(board);
        m_backend.m_boards = {&board};
        CUsbDevice device(CUsbDeviceInfo(board.m_strPath, ""));
        const uint8_t data[] = {1, 2};
        EXPECT_FALSE(device.SendData(data, 2));
        EXPECT_EQ(device.FailureReason().rfind(c.m_strReason, 0), 0u) << device.FailureReason();
        EXPECT_EQ(device.BoardAbsent(), c.m_bAbsent);
    }
}
} // namespace
