// The program as a process against boards held by other processes and boards that send
// hostile text: concurrent runs never take turns on one board, and a board's bytes never
// reach the terminal raw.

#include "app/ProcessHarness.h"

#include "usb/BoardLock.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
using namespace std::chrono_literals;

size_t CountOf(const std::string& strText, const std::string& strPart)
{
    size_t nCount = 0;
    for (size_t nPos = strText.find(strPart); nPos != std::string::npos;
         nPos = strText.find(strPart, nPos + 1))
    {
        ++nCount;
    }
    return nCount;
}

std::string Image(unsigned nSeed, size_t nSize)
{
    std::mt19937 random(nSeed);
    std::string strBytes(nSize, '\0');
    for (char& c : strBytes)
    {
        c = static_cast<char>(random());
    }
    return strBytes;
}

// For every host process that executed on the board: the image the board held at each of
// its execute commands, read from the board's log.
std::map<pid_t, std::vector<std::string>> ExecutedImages(const std::string& strLogPath)
{
    std::map<pid_t, std::vector<std::string>> executed;
    std::ifstream log(strLogPath);
    std::string strLine;
    pid_t nSession = 0;
    std::string strHostBytes;
    std::string strLoaded;
    auto endSession = [&]()
    {
        // A send whose data arrived whole is what the board holds from then on.
        if (strHostBytes.size() >= 5 && strHostBytes[0] == 's')
        {
            uint32_t nLength = 0;
            for (int i = 3; i >= 0; --i)
            {
                nLength = (nLength << 8) | static_cast<uint8_t>(strHostBytes[1 + i]);
            }
            if (strHostBytes.size() >= 5 + static_cast<size_t>(nLength))
            {
                strLoaded = strHostBytes.substr(5, nLength);
            }
        }
        strHostBytes.clear();
    };
    while (std::getline(log, strLine))
    {
        std::istringstream fields(strLine);
        std::string strBoard;
        std::string strEvent;
        std::string strRest;
        fields >> strBoard >> strEvent;
        std::getline(fields >> std::ws, strRest);
        if (strEvent == "session")
        {
            endSession();
            nSession = static_cast<pid_t>(std::stol(strRest));
        }
        else if (strEvent == "end")
        {
            endSession();
        }
        else if (strEvent == "rx")
        {
            const std::vector<uint8_t> bytes = [&]()
            {
                std::vector<uint8_t> out;
                for (size_t i = 0; i + 1 < strRest.size(); i += 2)
                {
                    out.push_back(
                        static_cast<uint8_t>(std::stoi(strRest.substr(i, 2), nullptr, 16)));
                }
                return out;
            }();
            strHostBytes.append(bytes.begin(), bytes.end());
        }
        else if (strEvent == "note" && strRest == "execute")
        {
            executed[nSession].push_back(strLoaded);
        }
    }
    return executed;
}

class BoardGuardProcessTest : public ::testing::Test
{
protected:
    CScratch m_scratch;
    CBoardProcess m_board;

    std::string BoardPath(const std::string& strName = "plinth0") const
    {
        return m_scratch.Registry() + "/" + strName;
    }
    CProcessResult Run(const std::vector<std::string>& arguments)
    {
        return RunProgram(arguments, m_scratch.Environment(), m_scratch.m_strRoot, 60s);
    }
};

// Pairs of runs of different images started together against one board: each second run
// waits for the board, so every run ends with 0 and the board executed, at that run's own
// execute command, that run's own image. The board's split version reply and the varied
// start of the second run make the runs meet at every point of the first one's sequence.
TEST_F(BoardGuardProcessTest, ConcurrentRunsEachExecuteTheirOwnImage)
{
    constexpr int PAIRS = 5;
    ASSERT_EQ(::mkdir(m_scratch.Path("saved").c_str(), 0700), 0);
    ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=Bench"},
                              {"--split-version", "--save-dir", m_scratch.Path("saved")}));
    std::map<pid_t, std::string> images;
    std::vector<std::pair<pid_t, CProcessResult>> results;
    for (int nPair = 0; nPair < PAIRS; ++nPair)
    {
        CChildProcess runs[2];
        for (int nRun = 0; nRun < 2; ++nRun)
        {
            const std::string strName = "image" + std::to_string(nPair * 2 + nRun) + ".bin";
            const std::string strImage = Image(static_cast<unsigned>(nPair * 2 + nRun), 3000);
            m_scratch.WriteFile(strName, strImage);
            if (nRun == 1)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(25 * nPair));
            }
            ASSERT_TRUE(runs[nRun].Start({ProgramPath(), "--wait", "30", strName},
                                         m_scratch.Environment(), m_scratch.m_strRoot));
            images[runs[nRun].Pid()] = strImage;
        }
        for (CChildProcess& run : runs)
        {
            const pid_t nPid = run.Pid();
            results.emplace_back(nPid, run.Wait(60s));
        }
    }
    m_board.Stop();

    const auto executed = ExecutedImages(m_scratch.BoardLog());
    for (const auto& [nPid, result] : results)
    {
        EXPECT_EQ(result.m_nExitCode, 0) << "run " << nPid << ":\n"
                                         << result.m_strOut << result.m_strErr;
        if (result.m_nExitCode != 0)
        {
            continue;
        }
        const auto it = executed.find(nPid);
        ASSERT_NE(it, executed.end()) << "run " << nPid << " ended with 0 but never executed";
        EXPECT_EQ(it->second.size(), 1u);
        EXPECT_TRUE(it->second.back() == images[nPid])
            << "run " << nPid << " ended with 0 but the board executed another image";
    }
}

TEST_F(BoardGuardProcessTest, HeldBoardIsWaitedForWithinWaitElseTheRunGivesUp)
{
    ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=Bench"}));
    m_scratch.WriteFile("image.bin", Image(1, 100));
    const std::string strInUse = "board in use by process " + std::to_string(::getpid());

    // Held for longer than --wait: the run gives up with 2, names the holder once, and sends
    // nothing.
    CBoardLock lock = CBoardLock::TryLock(BoardPath());
    ASSERT_TRUE(lock.IsHeld());
    const CProcessResult givenUp = Run({"--wait", "1", "image.bin"});
    EXPECT_EQ(givenUp.m_nExitCode, 2) << givenUp.m_strOut << givenUp.m_strErr;
    EXPECT_EQ(CountOf(givenUp.m_strErr, strInUse), 2u) << givenUp.m_strErr; // waiting, giving up
    EXPECT_NE(givenUp.m_strErr.find("Waiting for the board: " + strInUse), std::string::npos);
    EXPECT_EQ(givenUp.m_strOut.find("Reading chip type"), std::string::npos);

    // Released while the run waits: the run goes on and sends, after the release only.
    CChildProcess waiting;
    ASSERT_TRUE(waiting.Start({ProgramPath(), "--wait", "30", "image.bin"}, m_scratch.Environment(),
                              m_scratch.m_strRoot));
    // The version line comes before the first poll; then about ten polls find it held.
    ASSERT_TRUE(waiting.WaitForLines(1, 20s));
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(ReadWireLog(m_scratch.BoardLog())["plinth0"].m_nSessions, 0);
    lock.Release();
    const CProcessResult sent = waiting.Wait(30s);
    EXPECT_EQ(sent.m_nExitCode, 0) << sent.m_strOut << sent.m_strErr;
    EXPECT_EQ(CountOf(sent.m_strErr, strInUse), 1u) << sent.m_strErr;
    m_board.Stop();
    EXPECT_EQ(ReadWireLog(m_scratch.BoardLog())["plinth0"].m_nSessions, 4);
}

// Without --device, a first board held by another process is passed over for the next free one,
// which is named; with --device the held board is waited for (above).
TEST_F(BoardGuardProcessTest, HeldFirstBoardIsPassedOverForTheNextFreeOne)
{
    ASSERT_TRUE(m_board.Start(m_scratch, {"a=Held", "b=Free"}));
    m_scratch.WriteFile("image.bin", Image(1, 100));
    CBoardLock lock = CBoardLock::TryLock(BoardPath("a"));
    ASSERT_TRUE(lock.IsHeld());
    const std::string strNotice = "2 boards attached; " + BoardPath("a") +
                                  ": board in use by process " + std::to_string(::getpid()) +
                                  "; using the next free one: Free (" + BoardPath("b") + ").";
    const std::vector<std::string> commands[] = {{"--headless", "--wait", "1", "image.bin"},
                                                 {"--board-version", "--wait", "1"}};
    for (const std::vector<std::string>& command : commands)
    {
        SCOPED_TRACE(command.front());
        const CProcessResult result = Run(command);
        EXPECT_EQ(result.m_nExitCode, 0) << result.m_strOut << result.m_strErr;
        EXPECT_EQ(CountOf(result.m_strErr, strNotice), 1u) << result.m_strErr;
        EXPECT_EQ(result.m_strErr.find("Waiting for the board"), std::string::npos);
    }
    m_board.Stop();
    EXPECT_EQ(ReadWireLog(m_scratch.BoardLog())["a"].m_nSessions, 0);
    EXPECT_EQ(ReadWireLog(m_scratch.BoardLog())["b"].m_nSessions, 5);
}

TEST_F(BoardGuardProcessTest, ListLeavesAHeldBoardAlone)
{
    ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=Bench"}));
    CBoardLock lock = CBoardLock::TryLock(BoardPath());
    ASSERT_TRUE(lock.IsHeld());
    const CProcessResult listed = Run({"--list"});
    EXPECT_EQ(listed.m_strOut, "Bench\t" + BoardPath() + "\t\n");
    EXPECT_NE(listed.m_strErr.find("board in use by process " + std::to_string(::getpid())),
              std::string::npos)
        << listed.m_strErr;
    m_board.Stop();
    EXPECT_EQ(ReadWireLog(m_scratch.BoardLog())["plinth0"].m_nSessions, 0);
}

// A board's description, directory name and banner with terminal controls in them.
struct CHostileCase
{
    const char* m_pszName;
    std::string m_strBoard; // NAME=DESCRIPTION for quillon-board
    std::string m_strBanner;
    std::string m_strShownName;
    std::string m_strShownDescription;
    std::string m_strShownBanner;
};

const CHostileCase HOSTILE_CASES[] = {
    {"ClearScreenAndTitle",
     "b0=\x1b[2J\x1b]0;pwned\x07"
     "Bench",
     "\x1b[8mhidden", "b0", "?[2J?]0;pwned?Bench", "?[8mhidden"},
    {"CarriageReturnOverwrite", "b1=Evil\rGood", "BL\r2.1", "b1", "Evil?Good", "BL?2.1"},
    {"NewlineInTheName", "b2\nBench\tforged=Bench", "Plinth BL 2.1", "b2?Bench?forged", "Bench",
     "Plinth BL 2.1"},
};

class HostileBoardTable : public BoardGuardProcessTest,
                          public ::testing::WithParamInterface<CHostileCase>
{
};

TEST_P(HostileBoardTable, ListAndRunShowNoControlBytes)
{
    const CHostileCase& testCase = GetParam();
    ASSERT_TRUE(
        m_board.Start(m_scratch, {testCase.m_strBoard}, {"--banner", testCase.m_strBanner}));
    const std::string strName = testCase.m_strBoard.substr(0, testCase.m_strBoard.find('='));

    const CProcessResult listed = Run({"--list"});
    EXPECT_EQ(listed.m_nExitCode, 0);
    EXPECT_EQ(listed.m_strOut, testCase.m_strShownDescription + "\t" + m_scratch.Registry() + "/" +
                                   testCase.m_strShownName + "\t" + testCase.m_strShownBanner +
                                   "\n");

    m_scratch.WriteFile("image.bin", Image(2, 64));
    const CProcessResult sent = Run({"--wait", "10", "image.bin"});
    EXPECT_EQ(sent.m_nExitCode, 0) << sent.m_strErr;
    EXPECT_NE(sent.m_strOut.find(testCase.m_strShownDescription + "(" + testCase.m_strShownBanner +
                                 ") \r\n"),
              std::string::npos)
        << sent.m_strOut;
    for (const std::string* pText : {&listed.m_strOut, &sent.m_strOut})
    {
        EXPECT_EQ(pText->find('\x1b'), std::string::npos);
        EXPECT_EQ(pText->find('\x07'), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileBoardTable, ::testing::ValuesIn(HOSTILE_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// A registry that others may write to is ignored, and the user is told once how to fix it.
struct CUntrustedCase
{
    const char* m_pszName;
    std::vector<std::string> m_arguments;
    int m_nExit;
};

const CUntrustedCase UNTRUSTED_CASES[] = {
    {"List", {"--list"}, 0},
    {"WaitingRun", {"--wait", "1.5", "image.bin"}, 2},
};

class UntrustedRegistryTable : public BoardGuardProcessTest,
                               public ::testing::WithParamInterface<CUntrustedCase>
{
};

TEST_P(UntrustedRegistryTable, SaysOnceWhyBoardsAreIgnoredAndHowToFixIt)
{
    ASSERT_TRUE(m_board.Start(m_scratch, {"plinth0=Bench"}));
    m_scratch.WriteFile("image.bin", Image(3, 64));
    ASSERT_EQ(::chmod(m_scratch.Registry().c_str(), 0777), 0);
    const CProcessResult result = Run(GetParam().m_arguments);
    EXPECT_EQ(result.m_nExitCode, GetParam().m_nExit);
    EXPECT_EQ(result.m_strOut.find("Bench"), std::string::npos);
    EXPECT_EQ(CountOf(result.m_strErr, "chmod 700 " + m_scratch.Registry()), 1u) << result.m_strErr;
    ::chmod(m_scratch.Registry().c_str(), 0700);
}

INSTANTIATE_TEST_SUITE_P(Rows, UntrustedRegistryTable, ::testing::ValuesIn(UNTRUSTED_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
