// --all as scripts see it: every board flashed at once, one faulty board among them, the
// per-board lines, the summary and the result.

#include "app/ProcessHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>

namespace
{
const std::string BANNER = "Plinth BL 9.4";
const std::string DATA = "0123456789abcdef";

const std::string SENT = "vvs" + WireLength(16) + DATA;

struct CTrayCase
{
    const char* m_pszName;
    // Options of quillon-board; a faulty board is declared here with its own "--board".
    std::vector<std::string> m_boardOptions;
    std::vector<std::string> m_boards;
    std::vector<std::string> m_arguments;
    int m_nExit;
    std::vector<std::string> m_outContains; // "@NAME: " stands for the path of board NAME
    std::string m_strErrContains;
    std::map<std::string, std::string> m_wires;
    // Adds to the registry what no board program makes (given the registry's path).
    std::function<void(const std::string&)> m_fnRegistry;
};

// A directory left behind by a board program that was killed: no one listens there.
void LeftBehind(const std::string& strRegistry)
{
    std::filesystem::create_directory(strRegistry + "/a");
    for (int n = 0; n < 200; ++n)
    {
        std::filesystem::create_directory(strRegistry + "/empty" + std::to_string(n));
    }
}

// Board b reached a second time as c, through links to its sockets.
void SecondPath(const std::string& strRegistry)
{
    std::filesystem::create_directory(strRegistry + "/c");
    std::filesystem::create_symlink("../b/PIPE00", strRegistry + "/c/PIPE00");
    std::filesystem::create_symlink("../b/PIPE01", strRegistry + "/c/PIPE01");
}

const CTrayCase TRAY_CASES[] = {
    {"FourBoardsOneFaulty",
     {"--board", "b=Faulty", "--wrong-reply", "s1"},
     {"a=Bench", "c=Bench", "d=Bench"},
     {"--all", "--count", "4", "--wait", "10", "image.bin"},
     39,
     {"@a: Reading chip type...Bench(" + BANNER + ")\n", "@d: Program has been loaded\n",
      "3 of 4 boards flashed\n"},
     "@b: Error: Send Failed",
     {{"a", SENT + "x"}, {"b", "vvs"}, {"c", SENT + "x"}, {"d", SENT + "x"}},
     {}},
    {"OldBootloaderOnOne",
     {"--board", "c=Old", "--banner", "quillon V1.0c"},
     {"a=Bench", "b=Bench"},
     {"--all", "--count", "3", "--wait", "10", "image.bin"},
     47,
     {"2 of 3 boards flashed\n"},
     "@c: Error: ",
     {{"a", SENT + "x"}, {"b", SENT + "x"}, {"c", "vv"}},
     {}},
    // A board that does not confirm the execute holds the image but fails, as a single run.
    {"ExecuteNotConfirmedOnOne",
     {"--board", "b=Mute", "--wrong-reply", "x1:41"},
     {"a=Bench"},
     {"--all", "--count", "2", "--wait", "10", "image.bin"},
     39,
     {"@b: Program has been loaded\n", "1 of 2 boards flashed\n"},
     "@b: Error: Failed with error 65",
     {{"a", SENT + "x"}, {"b", SENT + "x"}},
     {}},
    {"NoExecute",
     {},
     {"a=Bench", "b=Bench"},
     {"--all", "--no-execute", "--count", "2", "--wait", "10", "image.bin"},
     0,
     {"2 of 2 boards flashed; not started (--no-execute)\n"},
     "",
     {{"a", SENT}, {"b", SENT}},
     {}},
    {"TooFewBoardsInTime",
     {},
     {"a=Bench", "b=Bench"},
     {"--all", "--count", "3", "--wait", "0.5", "image.bin"},
     2,
     {},
     "2 of 3 boards found within 0.5 s; giving up.",
     {{"a", ""}, {"b", ""}},
     {}},
    {"DeadBoardDirectoriesAreNoBoards",
     {},
     {"b=Bench", "c=Bench"},
     {"--all", "--count", "2", "--wait", "10", "image.bin"},
     0,
     {"2 of 2 boards flashed\n"},
     "Skipping @a: no board answers there",
     {{"b", SENT + "x"}, {"c", SENT + "x"}},
     LeftBehind},
    {"SameBoardByTwoPathsIsFlashedOnce",
     {},
     {"b=Bench"},
     {"--all", "--wait", "10", "image.bin"},
     0,
     {"1 of 1 boards flashed\n"},
     "Skipping @c: the same board as @b.",
     {{"b", SENT + "x"}},
     SecondPath},
};

void PrintTo(const CTrayCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class TrayTable : public ::testing::TestWithParam<CTrayCase>
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;

    std::string WithPaths(std::string strText) const
    {
        for (size_t nAt = strText.find('@'); nAt != std::string::npos; nAt = strText.find('@'))
        {
            strText.replace(nAt, 1, m_scratch.Registry() + "/");
        }
        return strText;
    }
};

TEST_P(TrayTable, EveryBoardAtOnceWithItsOwnResult)
{
    const CTrayCase& row = GetParam();
    std::vector<std::string> options = {"--banner", BANNER};
    options.insert(options.end(), row.m_boardOptions.begin(), row.m_boardOptions.end());
    ASSERT_TRUE(m_board.Start(m_scratch, row.m_boards, options));
    if (row.m_fnRegistry)
    {
        row.m_fnRegistry(m_scratch.Registry());
    }
    m_scratch.WriteFile("image.bin", DATA);
    std::vector<std::string> arguments = {"--headless"};
    arguments.insert(arguments.end(), row.m_arguments.begin(), row.m_arguments.end());

    const CProcessResult result =
        RunProgram(arguments, m_scratch.Environment(), m_scratch.m_strRoot);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    for (const std::string& strPart : row.m_outContains)
    {
        EXPECT_NE(result.m_strOut.find(WithPaths(strPart)), std::string::npos)
            << WithPaths(strPart) << " in " << result.m_strOut;
    }
    if (!row.m_strErrContains.empty())
    {
        EXPECT_NE(result.m_strErr.find(WithPaths(row.m_strErrContains)), std::string::npos)
            << result.m_strErr;
    }
    m_board.Stop();
    std::map<std::string, CBoardWire> wires = ReadWireLog(m_scratch.BoardLog());
    for (const auto& [strName, strWire] : row.m_wires)
    {
        const std::vector<uint8_t>& bytes = wires[strName].m_hostToBoard;
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), strWire) << strName;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TrayTable, ::testing::ValuesIn(TRAY_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
// The first stop ends a tray run at once: a board still waiting for its reply is stopped, the
// others keep what they finished, and the run ends with 2.
TEST(TrayStopTest, FirstSignalStopsTheBoardsStillWorkingAndEndsWithTwo)
{
    CScratch scratch;
    CBoardProcess board;
    ASSERT_TRUE(board.Start(scratch, {"a=Bench"},
                            {"--banner", BANNER, "--board", "b=Stuck", "--no-reply", "s1"}));
    scratch.WriteFile("image.bin", DATA);
    CChildProcess program;
    ASSERT_TRUE(program.Start({ProgramPath(), "--headless", "--timeout", "0", "--all", "--count",
                               "2", "--wait", "10", "image.bin"},
                              scratch.Environment(), scratch.m_strRoot));
    // Board a's four lines and board b's first two: b now waits for a reply that never comes.
    ASSERT_TRUE(program.WaitForLines(6, std::chrono::seconds(10)));
    const auto start = std::chrono::steady_clock::now();
    program.Signal(SIGINT);

    const CProcessResult result = program.Wait(std::chrono::seconds(10));

    EXPECT_EQ(result.m_nExitCode, 2) << result.m_strErr;
    // About 200 ms; the margin is for a busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_NE(result.m_strErr.find(scratch.Registry() +
                                   "/b: Stopped while sending: the board did not receive "
                                   "the whole file."),
              std::string::npos)
        << result.m_strErr;
    EXPECT_NE(result.m_strOut.find("1 of 2 boards flashed\n"), std::string::npos);
    board.Stop();
    std::map<std::string, CBoardWire> wires = ReadWireLog(scratch.BoardLog());
    const std::vector<uint8_t>& bytes = wires["a"].m_hostToBoard;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), SENT + "x");
}
} // namespace
