// The station's slots against scripted boards: each attachment flashed once, a new board in the
// slot of one that left flashed again, a board that goes at once or fails in its send, and a
// journal row for every flash.

#include "app/Station.h"

#include "journal/Journal.h"
#include "lang/ScopedEnv.h"
#include "lang/TempDir.h"
#include "support/FakePipeBackend.h"
#include "ui/wizard/StopSignals.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <thread>
#include <utility>

namespace
{
using namespace std::chrono_literals;

// What the station said, one line per event: "arrived a", "finished a flashed", "left a".
class CEventLog : public IStationObserver
{
public:
    void OnStationEvent(const CStationEvent& event) override
    {
        const std::string strSlot = event.m_strSlot.substr(event.m_strSlot.rfind('/') + 1);
        std::string strLine;
        switch (event.m_eKind)
        {
        case EStationEvent::Arrived:
            strLine = "arrived " + strSlot;
            break;
        case EStationEvent::Started:
            strLine = "started " + strSlot;
            break;
        case EStationEvent::Finished:
            strLine = "finished " + strSlot + " " +
                      (event.m_outcome.m_eEnd == EFlashEnd::Flashed  ? "flashed"
                       : event.m_outcome.m_eEnd == EFlashEnd::Failed ? "failed"
                                                                     : "stopped");
            m_nRecorded += event.m_bRecorded ? 1 : 0;
            break;
        case EStationEvent::Left:
            strLine = "left " + strSlot + (event.m_strNote.empty() ? "" : " (absent)");
            break;
        default:
            return;
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(strLine);
        m_changed.notify_all();
    }
    void OnStationMessage(const std::string& strText) override { m_messages.push_back(strText); }

    // Waits until nCount lines start with strPrefix.
    bool WaitFor(const std::string& strPrefix, size_t nCount)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 10s,
                                  [&]()
                                  {
                                      size_t nSeen = 0;
                                      for (const std::string& strLine : m_lines)
                                      {
                                          nSeen += strLine.starts_with(strPrefix) ? 1 : 0;
                                      }
                                      return nSeen >= nCount;
                                  });
    }
    std::vector<std::string> Lines()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

    int m_nRecorded = 0;
    std::vector<std::string> m_messages;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

// One step of a row: what happens to the boards, and what is waited for afterwards.
struct CStep
{
    enum EKind
    {
        Attach,      // board m_strName with attachment m_strKey (a board whose pipes open)
        AttachDead,  // a board listed that nobody answers behind
        AttachShort, // a board that takes 100 bytes of a send, then nothing
        // a board replaced in its slot (by one with m_strKey) while it answers its first version
        AttachReplacedWhileAsked,
        Detach,
        Replug, // detach and attach with m_strKey between two listings
        Rescan, // the station looks again, with nothing changed
    } m_eKind;
    std::string m_strName;
    std::string m_strKey;
    std::string m_strWaitFor; // a line prefix, waited for until m_nWaitCount lines have it
    size_t m_nWaitCount = 0;
};

struct CStationCase
{
    const char* m_pszName;
    std::vector<CStep> m_steps;
    std::vector<std::string> m_lines; // every line, in order
    int m_nRows;                      // journal rows, all finished
};

const CStationCase STATION_CASES[] = {
    {"OncePerAttachment",
     {{CStep::Attach, "a", "1", "finished a", 1},
      {CStep::Rescan, "", "", "", 0},
      {CStep::Rescan, "", "", "", 0}},
     {"arrived a", "started a", "finished a flashed"},
     1},
    {"NewBoardInTheSameSlot",
     {{CStep::Attach, "a", "1", "finished a", 1}, {CStep::Replug, "a", "2", "finished a", 2}},
     {"arrived a", "started a", "finished a flashed", "left a", "arrived a", "started a",
      "finished a flashed"},
     2},
    {"LeftAndBack",
     {{CStep::Attach, "a", "1", "finished a", 1},
      {CStep::Detach, "a", "", "left a", 1},
      {CStep::Attach, "a", "1", "finished a", 2}},
     {"arrived a", "started a", "finished a flashed", "left a", "arrived a", "started a",
      "finished a flashed"},
     2},
    {"NobodyAnswersIsNoAttemptAndNotRetried",
     {{CStep::AttachDead, "d", "1", "left d", 1},
      {CStep::Rescan, "", "", "", 0},
      {CStep::Attach, "a", "1", "finished a", 1}},
     {"arrived d", "left d (absent)", "arrived a", "started a", "finished a flashed"},
     1},
    {"BoardGoneBeforeItsFlashBeganLeavesTheNextToItsOwnSlot",
     {{CStep::AttachReplacedWhileAsked, "a", "2", "finished a", 1}, {CStep::Rescan, "", "", "", 0}},
     {"arrived a", "left a", "arrived a", "started a", "finished a flashed"},
     1},
    {"FailedSendThenTheNextBoardInTheSlot",
     {{CStep::AttachShort, "a", "1", "finished a", 1}, {CStep::Replug, "a", "2", "finished a", 2}},
     {"arrived a", "started a", "finished a failed", "left a", "arrived a", "started a",
      "finished a flashed"},
     2},
};

void PrintTo(const CStationCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class StationTable : public ::testing::TestWithParam<CStationCase>
{
protected:
    void SetUp() override { SetPipeTimeoutMs(300); }
    void TearDown() override
    {
        SetPipeTimeoutMs(DEFAULT_PIPE_TIMEOUT_MS);
        ClearStopRequest();
    }

    CFakeBoard& Board(const std::string& strName, const std::string& strKey)
    {
        CFakeBoard& board = m_boards.emplace_back();
        board.m_strPath = "/fake/" + strName;
        board.m_strAttachment = strKey;
        return board;
    }
    void Remove(const std::string& strName)
    {
        std::erase_if(m_backend.m_boards, [&](const CFakeBoard* pBoard)
                      { return pBoard->m_strPath == "/fake/" + strName; });
    }

    CTempDir m_dir;
    CScopedEnv m_registry{"QUILLON_BOARD_DIR", m_dir.Path("boards").c_str()};
    std::deque<CFakeBoard> m_boards;
    CFakePipeBackend m_backend;
    CPipeBackendOverride m_override{{&m_backend}};
};

TEST_P(StationTable, EachAttachmentFlashedOnceWithItsRow)
{
    const CStationCase& row = GetParam();
    CJournal journal;
    std::string strError;
    ASSERT_TRUE(journal.Open(m_dir.Path("journal.db"), true, strError)) << strError;
    CStationImage image;
    image.m_strName = image.m_strPath = image.m_strFullPath = "image.bin";
    image.m_data.assign(4096, 0x5A);
    image.m_strSha256 = "5a";
    CStationOptions options;
    options.m_pJournal = &journal;
    CEventLog log;
    CStation station(image, options, log);
    std::thread runner([&station]() { station.Run(); });

    for (const CStep& step : row.m_steps)
    {
        {
            const std::lock_guard<std::mutex> lock(m_backend.m_mutex);
            if (step.m_eKind == CStep::Detach || step.m_eKind == CStep::Replug)
            {
                Remove(step.m_strName);
            }
            if (step.m_eKind != CStep::Detach && step.m_eKind != CStep::Rescan)
            {
                CFakeBoard& board = Board(step.m_strName, step.m_strKey);
                board.m_bReadPipeOpens = board.m_bWritePipeOpens =
                    step.m_eKind != CStep::AttachDead;
                if (step.m_eKind == CStep::AttachShort)
                {
                    board.m_nAcceptWriteLimit = 100;
                }
                if (step.m_eKind == CStep::AttachReplacedWhileAsked)
                {
                    board.m_strAttachment = "1";
                    board.m_fnOnRead = [this, step, bDone = false]() mutable
                    {
                        if (std::exchange(bDone, true))
                        {
                            return;
                        }
                        {
                            const std::lock_guard<std::mutex> replace(m_backend.m_mutex);
                            Remove(step.m_strName);
                            m_backend.m_boards.push_back(&Board(step.m_strName, step.m_strKey));
                        }
                        NotifyDeviceChange();
                        // The station sees the slot change before this board answers.
                        std::this_thread::sleep_for(300ms);
                    };
                }
                m_backend.m_boards.push_back(&board);
            }
        }
        NotifyDeviceChange();
        if (step.m_nWaitCount != 0)
        {
            EXPECT_TRUE(log.WaitFor(step.m_strWaitFor, step.m_nWaitCount)) << step.m_strWaitFor;
        }
        else
        {
            std::this_thread::sleep_for(100ms);
        }
    }
    station.RequestStop();
    runner.join();

    EXPECT_EQ(log.Lines(), row.m_lines);
    EXPECT_EQ(log.m_nRecorded, row.m_nRows);
    CJournalSummary summary;
    ASSERT_TRUE(journal.Summarize(summary, strError)) << strError;
    EXPECT_EQ(summary.m_total.Attempts(), row.m_nRows);
    EXPECT_EQ(summary.m_total.m_nUnfinished, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, StationTable, ::testing::ValuesIn(STATION_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });
} // namespace
