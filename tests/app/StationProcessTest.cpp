// quillon-cli --station as a production line sees it: boards pulled, dead, stopped, held and
// plugged again, the station stopped or killed, and what its journal holds afterwards.

#include "app/ProcessHarness.h"

#include "journal/Journal.h"
#include "usb/BoardLock.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <deque>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace
{
using namespace std::chrono_literals;

const std::string DATA(4096, 'Q');

std::string CliPath()
{
    return std::string(QUILLON_BUILD_DIR) + "/quillon-cli";
}

// "NAME flashed/failed/stopped/unfinished" per slot, NAME the last part of its path.
std::vector<std::string> SlotTallies(const std::string& strJournal)
{
    CJournal journal;
    CJournalSummary summary;
    std::string strError;
    if (!journal.Open(strJournal, false, strError) || !journal.Summarize(summary, strError))
    {
        return {"error: " + strError};
    }
    std::vector<std::string> tallies;
    for (const CJournalGroup& slot : summary.m_slots)
    {
        const CJournalTally& tally = slot.m_tally;
        tallies.push_back(slot.m_strKey.substr(slot.m_strKey.rfind('/') + 1) + " " +
                          std::to_string(tally.m_nFlashed) + "/" + std::to_string(tally.m_nFailed) +
                          "/" + std::to_string(tally.m_nStopped) + "/" +
                          std::to_string(tally.m_nUnfinished));
    }
    return tallies;
}

std::string IntegrityCheck(const std::string& strPath)
{
    sqlite3* pDb = nullptr;
    sqlite3_open_v2(strPath.c_str(), &pDb, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* pStatement = nullptr;
    std::string strResult = "cannot check";
    if (sqlite3_prepare_v2(pDb, "PRAGMA integrity_check", -1, &pStatement, nullptr) == SQLITE_OK &&
        sqlite3_step(pStatement) == SQLITE_ROW)
    {
        strResult = reinterpret_cast<const char*>(sqlite3_column_text(pStatement, 0));
    }
    sqlite3_finalize(pStatement);
    sqlite3_close(pDb);
    return strResult;
}

// What happens while the station runs, once it printed m_nLinesFirst lines.
enum class EAction
{
    None,        // it ends by itself (--count)
    Interrupt,   // SIGINT
    Kill,        // SIGKILL
    Replug,      // the first board process goes and comes again; one line more, then SIGINT
    LockedFirst, // board "a" is held by this test before the station starts, freed later
    DeadFirst,   // board "a" is a directory a killed board program left; it comes back
};

struct CBoardSet
{
    std::vector<std::string> m_boards; // "NAME=DESCRIPTION"
    std::vector<std::string> m_options;
};

struct CStationCase
{
    const char* m_pszName;
    std::vector<CBoardSet> m_sets;
    std::vector<std::string> m_arguments; // besides --station image.bin --journal journal.db
    size_t m_nLinesFirst;
    EAction m_eAction;
    int m_nExit;
    std::vector<std::string> m_outContains; // "@NAME" stands for the path of board NAME
    std::vector<std::string> m_tallies;     // per slot, as SlotTallies gives them
    // Boards whose wire must end without an execute command: stopped before their image was
    // started.
    std::vector<std::string> m_notExecuted;
};

const CStationCase STATION_CASES[] = {
    {"PulledMidFlashThenTheNextBoardInItsSlot",
     {{{"a=Pulled"}, {"--unplug-after", "1000"}}, {{"b=Bench"}, {}}},
     {},
     2,
     EAction::Replug,
     39,
     {"@a\tPulled\tfailed\t", "Send Failed: ", "@b\tBench\tflashed\t",
      "2 flashed, 1 failed, 0 stopped; yield 66.7%\n"},
     {"a 1/1/0/0", "b 1/0/0/0"},
     {}},
    {"StopInTheMiddleOfSeveralFlashes",
     {{{"a=Stuck", "b=Stuck"}, {"--no-reply", "s3"}}, {{"c=Bench"}, {}}},
     {"--timeout", "0"},
     1,
     EAction::Interrupt,
     2,
     {"@a\tStuck\tstopped\t", "@b\tStuck\tstopped\t", "@c\tBench\tflashed\t",
      "1 flashed, 0 failed, 2 stopped"},
     {"a 0/0/1/0", "b 0/0/1/0", "c 1/0/0/0"},
     {"a", "b"}},
    {"KilledStationKeepsEveryFinishedRow",
     {{{"a=Bench", "b=Bench"}, {}}, {{"c=Stuck"}, {"--no-reply", "s3"}}},
     {"--timeout", "0"},
     2,
     EAction::Kill,
     -1,
     {"@a\tBench\tflashed\t", "@b\tBench\tflashed\t"},
     {"a 1/0/0/0", "b 1/0/0/0", "c 0/0/0/1"},
     {"c"}},
    {"CountReachedEndsTheStation",
     {{{"a=Bench", "b=Bench"}, {}}},
     {"--count", "2"},
     0,
     EAction::None,
     0,
     {"2 flashed, 0 failed, 0 stopped; yield 100.0%\n"},
     {"a 1/0/0/0", "b 1/0/0/0"},
     {}},
    {"StopBeforeTheCountIsReached",
     {{{"a=Bench"}, {}}},
     {"--count", "3"},
     1,
     EAction::Interrupt,
     2,
     {"1 flashed, 0 failed, 0 stopped"},
     {"a 1/0/0/0"},
     {}},
    {"HeldBoardIsLeftAloneUntilFree",
     {{{"a=Bench"}, {}}},
     {},
     0,
     EAction::LockedFirst,
     0,
     {"@a\tBench\tflashed\t"},
     {"a 1/0/0/0"},
     {}},
    {"DeadDirectoryIsSkippedAndItsNextBoardFlashed",
     {{{"a=Bench"}, {}}},
     {},
     0,
     EAction::DeadFirst,
     0,
     {"@a\tBench\tflashed\t"},
     {"a 1/0/0/0"},
     {}},
};

// Whether every board named has received the send command, its length and the whole image
// within the time given.
bool WaitForWholeImage(const std::string& strLog, const std::vector<std::string>& names,
                       std::chrono::milliseconds timeout)
{
    const size_t nWhole = 2 + 1 + 4 + DATA.size(); // "vv", "s", the length, the image
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        std::map<std::string, CBoardWire> wires = ReadWireLog(strLog);
        if (std::all_of(names.begin(), names.end(),
                        [&](const std::string& strName)
                        { return wires[strName].m_hostToBoard.size() >= nWhole; }))
        {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

void PrintTo(const CStationCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class StationProcessTable : public ::testing::TestWithParam<CStationCase>
{
protected:
    std::string WithPaths(std::string strText) const
    {
        for (size_t nAt = strText.find('@'); nAt != std::string::npos; nAt = strText.find('@'))
        {
            strText.replace(nAt, 1, m_scratch.Registry() + "/");
        }
        return strText;
    }

    CScratch m_scratch;
    std::deque<CBoardProcess> m_boards;
};

TEST_P(StationProcessTable, EveryAttemptEndsInItsRow)
{
    const CStationCase& row = GetParam();
    m_scratch.WriteFile("image.bin", DATA);
    for (const CBoardSet& set : row.m_sets)
    {
        ASSERT_TRUE(m_boards.emplace_back().Start(m_scratch, set.m_boards, set.m_options));
    }
    CBoardLock held;
    if (row.m_eAction == EAction::LockedFirst)
    {
        held = CBoardLock::TryLock(m_scratch.Registry() + "/a");
        ASSERT_TRUE(held.IsHeld());
    }
    if (row.m_eAction == EAction::DeadFirst)
    {
        // Killed, its directory stays with nobody behind its sockets.
        m_boards.front().Kill();
    }
    std::vector<std::string> arguments = {CliPath(), "--station", "image.bin", "--journal",
                                          "journal.db"};
    arguments.insert(arguments.end(), row.m_arguments.begin(), row.m_arguments.end());
    CChildProcess station;
    ASSERT_TRUE(station.Start(arguments, m_scratch.Environment(), m_scratch.m_strRoot));
    ASSERT_TRUE(station.WaitForLines(row.m_nLinesFirst, 20s));

    switch (row.m_eAction)
    {
    case EAction::None:
        break;
    case EAction::Interrupt:
        // Once the stuck boards hold the whole image, and wait for ever to reply to it.
        ASSERT_TRUE(WaitForWholeImage(m_scratch.BoardLog(), row.m_notExecuted, 10s));
        station.Signal(SIGINT);
        break;
    case EAction::Kill:
        ASSERT_TRUE(WaitForWholeImage(m_scratch.BoardLog(), row.m_notExecuted, 10s));
        station.Signal(SIGKILL);
        break;
    case EAction::Replug:
        m_boards.front().Stop();
        m_boards.pop_front();
        ASSERT_TRUE(m_boards.emplace_back().Start(m_scratch, {"a=Pulled"}));
        ASSERT_TRUE(station.WaitForLines(row.m_nLinesFirst + 1, 20s));
        station.Signal(SIGINT);
        break;
    case EAction::LockedFirst:
        std::this_thread::sleep_for(500ms);
        EXPECT_FALSE(station.WaitForLines(1, 10ms)) << "flashed while held";
        held.Release();
        ASSERT_TRUE(station.WaitForLines(1, 10s));
        station.Signal(SIGINT);
        break;
    case EAction::DeadFirst:
        std::this_thread::sleep_for(500ms);
        m_boards.front().Stop();
        ASSERT_TRUE(m_boards.emplace_back().Start(m_scratch, {"a=Bench"}));
        ASSERT_TRUE(station.WaitForLines(1, 10s));
        station.Signal(SIGINT);
        break;
    }
    const CProcessResult result = station.Wait(20s);

    EXPECT_EQ(result.m_nExitCode, row.m_nExit) << result.m_strErr;
    for (const std::string& strPart : row.m_outContains)
    {
        EXPECT_NE(result.m_strOut.find(WithPaths(strPart)), std::string::npos)
            << WithPaths(strPart) << " in " << result.m_strOut;
    }
    const std::string strJournal = m_scratch.Path("journal.db");
    EXPECT_EQ(SlotTallies(strJournal), row.m_tallies);
    EXPECT_EQ(IntegrityCheck(strJournal), "ok");
    for (CBoardProcess& board : m_boards)
    {
        board.Stop();
    }
    std::map<std::string, CBoardWire> wires = ReadWireLog(m_scratch.BoardLog());
    for (const std::string& strName : row.m_notExecuted)
    {
        const std::vector<uint8_t>& bytes = wires[strName].m_hostToBoard;
        const std::string strWire(bytes.begin(), bytes.end());
        EXPECT_EQ(strWire.substr(0, 3), "vvs") << strName;
        EXPECT_EQ(strWire.back(), 'Q') << strName << ": something followed the image";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, StationProcessTable, ::testing::ValuesIn(STATION_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// Two stations, each with its own boards, write one journal at the same time.
TEST(StationJournalTest, TwoStationsOnOneJournalLoseNoRow)
{
    CScratch first;
    CScratch second;
    const std::string strJournal = first.Path("journal.db");
    std::deque<CBoardProcess> boards;
    std::deque<CChildProcess> stations;
    for (CScratch* pScratch : {&first, &second})
    {
        pScratch->WriteFile("image.bin", DATA);
        ASSERT_TRUE(boards.emplace_back().Start(*pScratch, {"a=A", "b=B", "c=C", "d=D"}));
        ASSERT_TRUE(stations.emplace_back().Start(
            {CliPath(), "--station", "image.bin", "--journal", strJournal, "--count", "4"},
            pScratch->Environment(), pScratch->m_strRoot));
    }
    for (CChildProcess& station : stations)
    {
        const CProcessResult result = station.Wait(20s);
        EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
    }
    CJournal journal;
    CJournalSummary summary;
    std::string strError;
    ASSERT_TRUE(journal.Open(strJournal, false, strError)) << strError;
    ASSERT_TRUE(journal.Summarize(summary, strError)) << strError;
    EXPECT_EQ(summary.m_total.m_nFlashed, 8);
    EXPECT_EQ(summary.m_slots.size(), 8u);
}

// A journal whose disk is full stops the station before it sends to another board: the board
// that arrives then is asked its version and nothing more. Needs a private mount, which
// unshare(1) gives an ordinary user where the system allows user namespaces.
TEST(StationJournalTest, FullDiskStopsTheFlashing)
{
    CScratch scratch;
    scratch.WriteFile("image.bin", DATA);
    const std::string strDisk = scratch.Path("disk");
    mkdir(strDisk.c_str(), 0700);
    const std::string strScript = "mount -t tmpfs -o size=256k tmpfs '" + strDisk +
                                  "' || exit 99\n" + "'" + CliPath() +
                                  "' --station image.bin --journal '" + strDisk +
                                  "/journal.db' > station.out 2> station.err &\n"
                                  "station=$!\n"
                                  "while ! grep -q Ctrl-C station.err; do sleep 0.05; done\n"
                                  "dd if=/dev/zero of='" +
                                  strDisk +
                                  "/filler' bs=1k 2>/dev/null\n"
                                  "echo full > disk.full\n"
                                  "wait $station; code=$?\n"
                                  "rm '" +
                                  strDisk +
                                  "/filler'\n"
                                  "cp '" +
                                  strDisk +
                                  "/journal.db' journal.db\n"
                                  "exit $code\n";
    scratch.WriteFile("full.sh", strScript);
    CChildProcess wrapper;
    ASSERT_TRUE(wrapper.Start(
        {"/usr/bin/unshare", "--user", "--map-root-user", "--mount", "/bin/sh", "full.sh"},
        scratch.Environment(), scratch.m_strRoot));
    for (int nTry = 0; nTry < 200 && access(scratch.Path("disk.full").c_str(), F_OK) != 0; ++nTry)
    {
        std::this_thread::sleep_for(50ms);
    }
    if (access(scratch.Path("disk.full").c_str(), F_OK) != 0)
    {
        const CProcessResult result = wrapper.Wait(5s);
        std::ifstream err(scratch.Path("station.err"));
        GTEST_SKIP() << "no private mount here: " << result.m_strErr
                     << std::string((std::istreambuf_iterator<char>(err)), {});
    }
    CBoardProcess board;
    ASSERT_TRUE(board.Start(scratch, {"a=Bench"}));
    const CProcessResult result = wrapper.Wait(20s);
    board.Stop();

    EXPECT_EQ(result.m_nExitCode, 73) << result.m_strErr;
    std::ifstream out(scratch.Path("station.out"));
    std::ifstream err(scratch.Path("station.err"));
    const std::string strOut((std::istreambuf_iterator<char>(out)), {});
    const std::string strErr((std::istreambuf_iterator<char>(err)), {});
    // SQLite finds the disk full in the log ("database or disk is full") or in its shared
    // memory file ("disk I/O error (No space left on device)").
    EXPECT_NE(strErr.find("cannot write the journal " + scratch.Path("disk/journal.db")),
              std::string::npos)
        << strErr;
    EXPECT_NE(strErr.find("No further board is flashed"), std::string::npos) << strErr;
    EXPECT_NE(strOut.find("\tnot flashed\t"), std::string::npos) << strOut;
    std::map<std::string, CBoardWire> wires = ReadWireLog(scratch.BoardLog());
    const std::vector<uint8_t>& bytes = wires["a"].m_hostToBoard;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "v");
    EXPECT_EQ(IntegrityCheck(scratch.Path("journal.db")), "ok");
}

// A single run and a tray run write a row per board they used.
TEST(StationJournalTest, SingleAndTrayRunsWriteTheirRows)
{
    CScratch scratch;
    scratch.WriteFile("image.bin", DATA);
    CBoardProcess board;
    ASSERT_TRUE(board.Start(scratch, {"a=Bench", "b=Bench"}));
    const std::string strJournal = scratch.Path("journal.db");
    CProcessResult result = RunProgram(
        {"--headless", "--device", scratch.Registry() + "/a", "--journal", strJournal, "image.bin"},
        scratch.Environment(), scratch.m_strRoot);
    EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
    result =
        RunProgram({"--headless", "--all", "--count", "2", "--journal", strJournal, "image.bin"},
                   scratch.Environment(), scratch.m_strRoot);
    EXPECT_EQ(result.m_nExitCode, 0) << result.m_strErr;
    EXPECT_EQ(SlotTallies(strJournal), (std::vector<std::string>{"a 2/0/0/0", "b 1/0/0/0"}));
}
} // namespace
