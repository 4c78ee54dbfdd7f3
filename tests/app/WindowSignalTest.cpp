// SIGINT and SIGTERM against the program's windows as processes (offscreen): the main window
// closes like its close box, with the quiet execute the board's log shows, also while a box
// is open; the waiting window ends with 2 also while one of its error boxes is open.

#include "app/ProcessHarness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace
{
const std::string BOARD = "plinth0";

// Waits until the board's log shows nSessions sessions.
bool WaitForSessions(const CScratch& scratch, int nSessions, std::chrono::seconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (ReadWireLog(scratch.BoardLog())[BOARD].m_nSessions >= nSessions)
        {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

struct CSignalCase
{
    const char* m_pszName;
    bool m_bWizard;
    std::vector<std::string> m_boardOptions;
    int m_nSignal;
    // The host-to-board bytes once the program ended.
    std::string m_strWire;
};

void PrintTo(const CSignalCase& row, std::ostream* pOut)
{
    *pOut << row.m_pszName;
}

const CSignalCase SIGNAL_CASES[] = {
    // The window's board check on the board's arrival (v, v), then the quiet execute.
    {"WindowIdleTerm", false, {}, SIGTERM, "vvx"},
    {"WindowIdleInt", false, {}, SIGINT, "vvx"},
    // The old-bootloader box is open when the signal comes; closing still executes quietly.
    {"WindowUnderBox", false, {"--banner", "quillon V1.0c"}, SIGTERM, "vvx"},
    // The waiting window's "Send Failed" box is open when the signal comes.
    {"WizardUnderBox", true, {"--wrong-reply", "s3"}, SIGINT, ""},
};

class WindowSignalTest : public ::testing::TestWithParam<CSignalCase>
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;
};

TEST_P(WindowSignalTest, FirstSignalEndsWithTwo)
{
    const CSignalCase& row = GetParam();
    m_scratch.WriteFile("image.bin", std::string(3000, 'i'));
    std::vector<std::string> arguments = {ProgramPath()};
    if (row.m_bWizard)
    {
        arguments.push_back("image.bin");
    }
    CChildProcess program;
    ASSERT_TRUE(program.Start(arguments, m_scratch.Environment({"QT_QPA_PLATFORM=offscreen"}),
                              m_scratch.m_strRoot));
    // The window checks for a board when one arrives, not at start: on a slow machine the
    // first arrival can come before the window watches, so the board arrives again.
    const int nSessions = row.m_bWizard ? 3 : 2; // v, v (the wizard: and s), then the box
    bool bSeen = false;
    for (int nTry = 0; nTry < (row.m_bWizard ? 1 : 4) && !bSeen; ++nTry)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(row.m_bWizard ? 0 : 1000));
        m_board.Stop();
        ASSERT_TRUE(m_board.Start(m_scratch, {BOARD + "=Bench board"}, row.m_boardOptions));
        bSeen = WaitForSessions(m_scratch, nSessions, std::chrono::seconds(row.m_bWizard ? 15 : 5));
    }
    ASSERT_TRUE(bSeen);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const auto signalled = std::chrono::steady_clock::now();
    program.Signal(row.m_nSignal);

    const CProcessResult result = program.Wait(std::chrono::seconds(10));

    EXPECT_EQ(result.m_nExitCode, 2) << "signal " << result.m_nSignal << "\n" << result.m_strErr;
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(5));
    m_board.Stop();
    const CBoardWire wire = ReadWireLog(m_scratch.BoardLog())[BOARD];
    if (!row.m_bWizard)
    {
        EXPECT_EQ(std::string(wire.m_hostToBoard.begin(), wire.m_hostToBoard.end()), row.m_strWire);
    }
    else
    {
        EXPECT_EQ(wire.m_nSessions, 3); // v, v, s: no execute
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WindowSignalTest, ::testing::ValuesIn(SIGNAL_CASES),
                         [](const testing::TestParamInfo<CSignalCase>& info)
                         { return std::string(info.param.m_pszName); });
} // namespace
