// The single board operations from the command line as scripts see them: exit codes, what
// reaches standard output and the output file, and what crossed the board's wire.

#include "app/ProcessHarness.h"

#include "usb/BoardLock.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace
{
using namespace std::chrono_literals;

const std::string DESCRIPTION = "Bench board 7";
const std::string BANNER = "Plinth BL 9.4";
const std::string OLD_BANNER = "QUILLON v1.0C";

std::string MemoryBytes()
{
    std::mt19937 random(7);
    std::string strBytes(200000, '\0');
    for (char& c : strBytes)
    {
        c = static_cast<char>(random());
    }
    return strBytes;
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The names in the scratch folder other than the board registry, its log and the memory.
std::vector<std::string> OtherFiles(const std::string& strRoot)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(strRoot))
    {
        const std::string strName = entry.path().filename().string();
        if (strName != "boards" && strName != "wire.log" && strName != "memory.bin" &&
            strName != "home" && strName != "config" && strName != "image.bin")
        {
            names.push_back(strName);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class BoardCommandTest : public ::testing::Test
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;

    void AttachBoard(const std::vector<std::string>& options)
    {
        m_scratch.WriteFile("memory.bin", MemoryBytes());
        std::vector<std::string> all = {"--banner", BANNER, "--memory",
                                        m_scratch.Path("memory.bin")};
        all.insert(all.end(), options.begin(), options.end());
        ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=" + DESCRIPTION}, all));
    }

    std::string Wire()
    {
        m_board.Stop();
        const std::vector<uint8_t> bytes =
            ReadWireLog(m_scratch.BoardLog())["plinth0"].m_hostToBoard;
        return std::string(bytes.begin(), bytes.end());
    }
};

struct COperationCase
{
    const char* m_pszName;
    bool m_bBoard;
    std::vector<std::string> m_boardOptions;
    std::vector<std::string> m_arguments;
    int m_nExit;
    // "<memory:N>": the first N bytes of the board's memory; "*": the run's report, not
    // compared here
    std::string m_strOut;
    std::string m_strErrContains;
    std::string m_strWire;
    // The output file's contents afterwards ("" : no such file); every other file is gone.
    std::string m_strOutputFile;
};

const std::string RECEIVED_LINES =
    "Receving data from device: " + DESCRIPTION + "\nFile size: 16 bytes. \nFile Received. \n";

const COperationCase OPERATION_CASES[] = {
    {"VersionPrinted", true, {}, {"--board-version"}, 0, BANNER + "\n", "", "v", ""},
    {"VersionOfTheOldBootloaderIsShown",
     true,
     {"--banner", OLD_BANNER},
     {"--board-version"},
     0,
     OLD_BANNER + "\n",
     "",
     "v",
     ""},
    {"VersionUnanswered",
     true,
     {"--no-reply", "v1"},
     {"--board-version", "--timeout", "300"},
     39,
     "",
     "cannot read version",
     "v",
     ""},
    {"VersionNoBoard", false, {}, {"--board-version"}, 2, "", "No ARM device found!", "", ""},
    {"VersionNoBoardWithinWait",
     false,
     {},
     {"--board-version", "--wait", "0.3"},
     2,
     "",
     "No ARM device found!",
     "",
     ""},
    // An operation that waits says what for, and for how long.
    {"VersionWaitIsSaid",
     false,
     {},
     {"--board-version", "--wait", "0.3"},
     2,
     "",
     "Waiting for a board in bootloader mode",
     "",
     ""},
    {"VersionWaitForTheChosenBoardIsSaid",
     true,
     {},
     {"--board-version", "--wait", "0.3", "--device", "/none/b9"},
     2,
     "",
     "Waiting for the board /none/b9",
     "",
     ""},
    {"ExecuteDone", true, {}, {"--execute"}, 0, "Sending execute command... Done!\n", "", "vx", ""},
    {"ExecuteRefused",
     true,
     {"--wrong-reply", "x1:41"},
     {"--execute"},
     39,
     "",
     "Bad response from device!",
     "vx",
     ""},
    {"ExecuteOldBootloader",
     true,
     {"--banner", OLD_BANNER},
     {"--execute"},
     47,
     "",
     "old firmware",
     "v",
     ""},
    {"ReceiveToAFile",
     true,
     {},
     {"--receive", "16", "-o", "out.bin"},
     0,
     RECEIVED_LINES,
     "",
     "vR" + WireLength(16),
     "<memory:16>"},
    {"ReceiveLargestInHexToStandardOutput",
     true,
     {},
     {"--receive", "0x19000", "--output", "-"},
     0,
     "<memory:102400>",
     "File Received.",
     "vR" + WireLength(102400),
     ""},
    {"ReceiveRefusedAtCommand",
     true,
     {"--wrong-reply", "R1"},
     {"--receive", "16", "-o", "out.bin"},
     39,
     "",
     "cannot receive file",
     "vR",
     ""},
    {"ReceiveShortIsAFailure",
     true,
     {"--short-receive", "4"},
     {"--receive", "16", "-o", "out.bin", "--timeout", "300"},
     39,
     "",
     "cannot receive file",
     "vR" + WireLength(16),
     ""},
    {"ReceiveOldBootloader",
     true,
     {"--banner", OLD_BANNER},
     {"--receive", "16", "-o", "out.bin"},
     47,
     "",
     "old firmware",
     "v",
     ""},
    {"ReceiveToStandardOutputByItsName",
     true,
     {},
     {"--receive", "16", "-o", "/dev/stdout"},
     0,
     "<memory:16>",
     "File Received.",
     "vR" + WireLength(16),
     ""},
    {"ReceiveIntoAMissingFolderAsksNothing",
     true,
     {},
     {"--receive", "16", "-o", "nowhere/out.bin"},
     25,
     "",
     "File cannot be created!!",
     "",
     ""},
    {"NoExecuteSendsOnly",
     true,
     {},
     {"--no-execute", "image.bin"},
     0,
     "*",
     "image.bin: binary, 5 bytes\n",
     "vvs" + WireLength(5) + "12345",
     ""},
};

void PrintTo(const COperationCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class BoardCommandTable : public BoardCommandTest,
                          public ::testing::WithParamInterface<COperationCase>
{
};

TEST_P(BoardCommandTable, ExitCodeOutputAndWire)
{
    const COperationCase& row = GetParam();
    if (row.m_bBoard)
    {
        AttachBoard(row.m_boardOptions);
    }
    m_scratch.WriteFile("image.bin", "12345");
    std::vector<std::string> arguments = {"--headless"};
    arguments.insert(arguments.end(), row.m_arguments.begin(), row.m_arguments.end());

    const CProcessResult result =
        RunProgram(arguments, m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    const std::string strMemory = MemoryBytes();
    auto expand = [&](const std::string& strText)
    {
        if (strText.starts_with("<memory:"))
        {
            return strMemory.substr(0, std::stoul(strText.substr(8)));
        }
        return strText;
    };
    if (row.m_strOut != "*")
    {
        EXPECT_EQ(result.m_strOut, expand(row.m_strOut));
    }
    if (row.m_strErrContains.empty())
    {
        EXPECT_EQ(result.m_strErr, "");
    }
    else
    {
        EXPECT_NE(result.m_strErr.find(row.m_strErrContains), std::string::npos) << result.m_strErr;
    }
    if (row.m_strOutputFile.empty())
    {
        EXPECT_EQ(OtherFiles(m_scratch.m_strRoot), std::vector<std::string>());
    }
    else
    {
        EXPECT_EQ(OtherFiles(m_scratch.m_strRoot), std::vector<std::string>({"out.bin"}));
        EXPECT_EQ(ReadFile(m_scratch.Path("out.bin")), expand(row.m_strOutputFile));
    }
    if (row.m_bBoard)
    {
        EXPECT_EQ(Wire(), row.m_strWire);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, BoardCommandTable, ::testing::ValuesIn(OPERATION_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

TEST_F(BoardCommandTest, FailedReceiveKeepsTheEarlierFileAndLeavesNothingElse)
{
    AttachBoard({"--wrong-reply", "R3"});
    m_scratch.WriteFile("out.bin", "earlier");

    const CProcessResult result = RunProgram({"--headless", "--receive", "100", "-o", "out.bin"},
                                             m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, 39) << result.m_strErr;
    EXPECT_EQ(OtherFiles(m_scratch.m_strRoot), std::vector<std::string>({"out.bin"}));
    EXPECT_EQ(ReadFile(m_scratch.Path("out.bin")), "earlier");
}

TEST_F(BoardCommandTest, OutputThatNobodyReadsEndsByTheTimeOutAndNoOpenBlocks)
{
    AttachBoard({});
    ASSERT_EQ(::mkfifo(m_scratch.Path("fifo").c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();

    const CProcessResult result = RunProgram(
        {"--headless", "--receive", "16", "--wait", "1", "--timeout", "300", "-o", "fifo"},
        m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, 25) << result.m_strErr;
    EXPECT_NE(result.m_strErr.find("nobody opened the FIFO for reading within 300 ms"),
              std::string::npos)
        << result.m_strErr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(Wire(), "vR" + WireLength(16));
}

TEST_F(BoardCommandTest, BoardHeldByAnotherProcessIsWaitedForWithinTheWait)
{
    AttachBoard({});
    CBoardLock lock = CBoardLock::TryLock(m_scratch.Registry() + "/plinth0");
    ASSERT_TRUE(lock.IsHeld());

    const CProcessResult result = RunProgram({"--headless", "--execute", "--wait", "0.5"},
                                             m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, 2) << result.m_strErr;
    EXPECT_NE(result.m_strErr.find("in use by process " + std::to_string(getpid())),
              std::string::npos)
        << result.m_strErr;
    EXPECT_EQ(Wire(), "");
}

TEST_F(BoardCommandTest, SeveralBoardsTheFirstIsNamedUnlessOneIsChosen)
{
    ASSERT_TRUE(
        m_board.Start(m_scratch, {"a=First board", "b=Second", "c=Third"}, {"--banner", BANNER}));
    const std::string strB = m_scratch.Registry() + "/b";

    const CProcessResult first =
        RunProgram({"--board-version"}, m_scratch.Environment(), m_scratch.m_strRoot);
    const CProcessResult chosen = RunProgram({"--board-version", "--device", strB},
                                             m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(first.m_nExitCode, 0);
    EXPECT_EQ(first.m_strErr, "3 boards attached; using the first: First board (" +
                                  m_scratch.Registry() +
                                  "/a). Choose one with --device PATH, or all with --all.\n");
    EXPECT_EQ(chosen.m_nExitCode, 0);
    EXPECT_EQ(chosen.m_strErr, "");
    m_board.Stop();
    auto wires = ReadWireLog(m_scratch.BoardLog());
    EXPECT_EQ(wires["a"].m_nSessions, 1);
    EXPECT_EQ(wires["b"].m_nSessions, 1);
    EXPECT_EQ(wires["c"].m_nSessions, 0);
}

// The first stop signal ends an operation at once, whatever it waits for.
struct CStopCase
{
    const char* m_pszName;
    bool m_bBoard;
    std::vector<std::string> m_boardOptions;
    std::vector<std::string> m_arguments;
    bool m_bFifo = false; // "fifo" in the scratch folder: a FIFO that nobody reads
};

const CStopCase STOP_CASES[] = {
    {"WaitingForABoard", false, {}, {"--board-version", "--wait", "60"}},
    {"WaitingForTheVersion", true, {"--no-reply", "v1"}, {"--board-version"}},
    {"WaitingForTheExecuteReply", true, {"--no-reply", "x1"}, {"--execute"}},
    {"WaitingForTheReceivedBlock", true, {"--no-reply", "R3"}, {"--receive", "9", "-o", "out.bin"}},
    {"WaitingForAReaderOfTheOutput", true, {}, {"--receive", "9", "-o", "fifo"}, true},
};

void PrintTo(const CStopCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class BoardCommandStopTable : public BoardCommandTest,
                              public ::testing::WithParamInterface<CStopCase>
{
};

TEST_P(BoardCommandStopTable, FirstSignalEndsWithTwoAndWritesNothing)
{
    const CStopCase& row = GetParam();
    if (row.m_bBoard)
    {
        AttachBoard(row.m_boardOptions);
    }
    if (row.m_bFifo)
    {
        ASSERT_EQ(::mkfifo(m_scratch.Path("fifo").c_str(), 0600), 0);
    }
    std::vector<std::string> argv = {ProgramPath(), "--headless", "--timeout", "0"};
    argv.insert(argv.end(), row.m_arguments.begin(), row.m_arguments.end());
    CChildProcess program;
    ASSERT_TRUE(program.Start(argv, m_scratch.Environment(), m_scratch.m_strRoot));
    std::this_thread::sleep_for(1s); // well into the wait
    const auto start = std::chrono::steady_clock::now();
    program.Signal(SIGTERM);

    const CProcessResult result = program.Wait(10s);

    EXPECT_EQ(result.m_nExitCode, 2) << result.m_strErr;
    // About 200 ms; the margin is for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(result.m_strOut, "");
    EXPECT_EQ(OtherFiles(m_scratch.m_strRoot),
              row.m_bFifo ? std::vector<std::string>{"fifo"} : std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Rows, BoardCommandStopTable, ::testing::ValuesIn(STOP_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// What a mistyped command line does to a board: nothing, with one line that says why.
struct COptionCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    int m_nExit;
    std::string m_strOutStart;
    std::string m_strErr;
    std::string m_strWire;
};

const COptionCase PROCESS_OPTION_CASES[] = {
    {"UnknownLongOption",
     {"--dvice", "plinth0", "image.bin"},
     64,
     "",
     "quillon: unknown option --dvice (see 'quillon --help')\n",
     ""},
    {"MissingValue",
     {"image.bin", "--wait"},
     64,
     "",
     "quillon: option --wait needs a value (see 'quillon --help')\n",
     ""},
    {"OperationWithAFile",
     {"--execute", "image.bin"},
     64,
     "",
     "quillon: this operation takes no file; 'image.bin' is one too many (see 'quillon --help')\n",
     ""},
    {"NoExecuteWithoutAFile",
     {"--no-execute"},
     64,
     "",
     "quillon: option --no-execute needs FILE, the file to send (see 'quillon --help')\n",
     ""},
    {"HelpShort", {"-h", "image.bin"}, 0, "Usage: quillon ", "", ""},
    {"SingleLetterSwitchIgnored",
     {"-x", "--no-execute", "image.bin"},
     0,
     "Quillon version:",
     "quillon: ignoring switch -x\nimage.bin: binary, 5 bytes\n",
     "vvs" + WireLength(5) + "12345"},
};

void PrintTo(const COptionCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class OptionProcessTable : public BoardCommandTest,
                           public ::testing::WithParamInterface<COptionCase>
{
};

TEST_P(OptionProcessTable, ExitCodeOneLineAndNothingSent)
{
    const COptionCase& row = GetParam();
    AttachBoard({});
    m_scratch.WriteFile("image.bin", "12345");
    std::vector<std::string> arguments = {"--headless"};
    arguments.insert(arguments.end(), row.m_arguments.begin(), row.m_arguments.end());

    const CProcessResult result =
        RunProgram(arguments, m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit);
    EXPECT_TRUE(result.m_strOut.starts_with(row.m_strOutStart)) << result.m_strOut;
    EXPECT_EQ(result.m_strErr, row.m_strErr);
    EXPECT_EQ(Wire(), row.m_strWire);
}

INSTANTIATE_TEST_SUITE_P(Rows, OptionProcessTable, ::testing::ValuesIn(PROCESS_OPTION_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
// --quiet leaves errors only; --verbose adds the board used and the timings.
struct CVerbosityCase
{
    const char* m_pszName;
    std::vector<std::string> m_boardOptions;
    std::vector<std::string> m_arguments;
    int m_nExit;
    std::string m_strOut;         // "*": not compared
    std::string m_strErrContains; // empty: nothing on standard error
};

const CVerbosityCase VERBOSITY_CASES[] = {
    {"RunQuiet", {}, {"--quiet", "image.bin"}, 0, "", ""},
    {"RunQuietFailureKeepsItsErrorLines",
     {"--wrong-reply", "s1"},
     {"--quiet", "image.bin"},
     39,
     "Send Failed\n",
     "Error: Send Failed\nReason: "},
    {"RunVerboseSaysHowLongTheSendTook",
     {},
     {"--verbose", "image.bin"},
     0,
     "*",
     "Sent 5 bytes to "},
    {"ExecuteQuiet", {}, {"--quiet", "--execute"}, 0, "", ""},
    {"VersionQuietStillPrintsTheVersion", {}, {"--quiet", "--board-version"}, 0, BANNER + "\n", ""},
    {"ReceiveQuiet", {}, {"--quiet", "--receive", "16", "-o", "out.bin"}, 0, "", ""},
    {"ReceiveVerbose",
     {},
     {"--verbose", "--receive", "16", "-o", "out.bin"},
     0,
     RECEIVED_LINES,
     "Received 16 bytes in "},
};

void PrintTo(const CVerbosityCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class VerbosityTable : public BoardCommandTest, public ::testing::WithParamInterface<CVerbosityCase>
{
};

TEST_P(VerbosityTable, WhatIsSaidAndWhere)
{
    const CVerbosityCase& row = GetParam();
    AttachBoard(row.m_boardOptions);
    m_scratch.WriteFile("image.bin", "12345");
    std::vector<std::string> arguments = {"--headless"};
    arguments.insert(arguments.end(), row.m_arguments.begin(), row.m_arguments.end());

    const CProcessResult result =
        RunProgram(arguments, m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    if (row.m_strOut != "*")
    {
        EXPECT_EQ(result.m_strOut, row.m_strOut);
    }
    if (row.m_strErrContains.empty())
    {
        EXPECT_EQ(result.m_strErr, "");
    }
    else
    {
        EXPECT_NE(result.m_strErr.find(row.m_strErrContains), std::string::npos) << result.m_strErr;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, VerbosityTable, ::testing::ValuesIn(VERBOSITY_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
