// The journal: which files it takes and which it leaves untouched, rows that many writers share
// without losing one, and the summary's groups and yields.

#include "journal/Journal.h"

#include "lang/TempDir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <functional>
#include <iomanip>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace
{
std::string ReadBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// Statements on a database of the test's own, bypassing the journal.
void Sql(const std::string& strPath, const std::string& strSql)
{
    sqlite3* pDb = nullptr;
    ASSERT_EQ(sqlite3_open(strPath.c_str(), &pDb), SQLITE_OK);
    char* pszError = nullptr;
    const int nResult = sqlite3_exec(pDb, strSql.c_str(), nullptr, nullptr, &pszError);
    const std::string strError = pszError == nullptr ? "" : pszError;
    sqlite3_free(pszError);
    sqlite3_close(pDb);
    ASSERT_EQ(nResult, SQLITE_OK) << strError;
}

int64_t SqlNumber(const std::string& strPath, const std::string& strSql)
{
    sqlite3* pDb = nullptr;
    sqlite3_open(strPath.c_str(), &pDb);
    sqlite3_stmt* pStatement = nullptr;
    int64_t nValue = -1;
    if (sqlite3_prepare_v2(pDb, strSql.c_str(), -1, &pStatement, nullptr) == SQLITE_OK &&
        sqlite3_step(pStatement) == SQLITE_ROW)
    {
        nValue = sqlite3_column_int64(pStatement, 0);
    }
    sqlite3_finalize(pStatement);
    sqlite3_close(pDb);
    return nValue;
}

CJournalAttempt Attempt(const std::string& strSlot, const std::string& strSha,
                        const std::string& strResult, const std::string& strDay = "2026-12-08")
{
    CJournalAttempt attempt;
    std::tm day = {};
    std::istringstream(strDay + " 12:00:00") >> std::get_time(&day, "%Y-%m-%d %H:%M:%S");
    attempt.m_start = std::chrono::system_clock::from_time_t(timegm(&day));
    attempt.m_end = attempt.m_start + std::chrono::seconds(2);
    attempt.m_strSlot = strSlot;
    attempt.m_strDescription = "Plinth board";
    attempt.m_strVersion = "Plinth BL 2.1";
    attempt.m_strImagePath = "/images/" + strSha + ".bin";
    attempt.m_nImageSize = 1024;
    attempt.m_strImageSha256 = strSha;
    attempt.m_strResult = strResult;
    attempt.m_nExitCode = strResult == JOURNAL_FLASHED ? 0 : strResult == JOURNAL_STOPPED ? 2 : 39;
    attempt.m_dSeconds = 2;
    return attempt;
}

// A journal of ours with one finished row.
void MakeJournal(const std::string& strPath)
{
    CJournal journal;
    std::string strError;
    ASSERT_TRUE(journal.Open(strPath, true, strError)) << strError;
    ASSERT_TRUE(journal.Record(Attempt("/slot/a", "aa", JOURNAL_FLASHED), strError)) << strError;
}

struct COpenCase
{
    const char* m_pszName;
    std::function<void(const std::string& strPath)> m_fnPrepare;
    bool m_bWrite;
    const char* m_pszError; // empty: opens
};

const COpenCase OPEN_CASES[] = {
    {"NewFileIsMade", [](const std::string&) {}, true, ""},
    {"EmptyFileIsANewJournal", [](const std::string& strPath) { std::ofstream{strPath}; }, true,
     ""},
    {"OwnJournalOpens", MakeJournal, true, ""},
    {"OwnJournalReads", MakeJournal, false, ""},
    {"NoJournalToRead", [](const std::string&) {}, false, "there is no journal"},
    {"NewerSchemaIsRefused",
     [](const std::string& strPath)
     {
         MakeJournal(strPath);
         Sql(strPath, "PRAGMA user_version = 2");
     },
     true, "has schema version 2, newer than this Quillon"},
    {"NewerSchemaIsNotRead",
     [](const std::string& strPath)
     {
         MakeJournal(strPath);
         Sql(strPath, "PRAGMA user_version = 7");
     },
     false, "has schema version 7"},
    {"AnotherProgramsDatabase",
     [](const std::string& strPath) { Sql(strPath, "CREATE TABLE notes (text TEXT)"); }, true,
     "an SQLite database of another program"},
    {"NotADatabase",
     [](const std::string& strPath) { std::ofstream{strPath} << "name,slot\nnot,sqlite\n"; }, true,
     "not an SQLite database"},
    {"DamagedJournal",
     [](const std::string& strPath)
     {
         MakeJournal(strPath);
         Sql(strPath, "PRAGMA journal_mode = DELETE");
         // The schema's page header beyond the file header: its cell count and pointers.
         std::fstream file(strPath, std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(100);
         file << std::string(24, '\xff');
     },
     true, "is damaged"},
    {"Fifo", [](const std::string& strPath) { mkfifo(strPath.c_str(), 0600); }, true,
     "is not a regular file"},
    {"Directory", [](const std::string& strPath) { mkdir(strPath.c_str(), 0700); }, true,
     "is not a regular file"},
};

void PrintTo(const COpenCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class JournalOpenTable : public ::testing::TestWithParam<COpenCase>
{
protected:
    CTempDir m_dir;
};

// A refused file is left exactly as it was, and nothing is made beside it.
TEST_P(JournalOpenTable, OpensOursAndLeavesTheRestUntouched)
{
    const COpenCase& row = GetParam();
    const std::string strPath = m_dir.Path("journal.db");
    row.m_fnPrepare(strPath);
    struct stat info = {};
    const bool bRegular = stat(strPath.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const std::string strBefore = bRegular ? ReadBytes(strPath) : std::string();

    CJournal journal;
    std::string strError;
    const bool bOpened = journal.Open(strPath, row.m_bWrite, strError);

    if (*row.m_pszError == '\0')
    {
        ASSERT_TRUE(bOpened) << strError;
        EXPECT_EQ(SqlNumber(strPath, "PRAGMA user_version"), JOURNAL_SCHEMA_VERSION);
        EXPECT_EQ(SqlNumber(strPath, "PRAGMA application_id"), JOURNAL_APPLICATION_ID);
        return;
    }
    EXPECT_FALSE(bOpened);
    EXPECT_NE(strError.find(row.m_pszError), std::string::npos) << strError;
    EXPECT_NE(strError.find(strPath), std::string::npos) << strError;
    if (bRegular)
    {
        EXPECT_EQ(ReadBytes(strPath), strBefore);
    }
    EXPECT_FALSE(std::filesystem::exists(strPath + "-journal"));
}

INSTANTIATE_TEST_SUITE_P(Rows, JournalOpenTable, ::testing::ValuesIn(OPEN_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

// Two journals on one file (as two stations) and several threads on each: every row is there.
TEST(JournalWritersTest, ManyWritersLoseNoRow)
{
    CTempDir dir;
    const std::string strPath = dir.Path("journal.db");
    CJournal first;
    CJournal second;
    std::string strError;
    ASSERT_TRUE(first.Open(strPath, true, strError)) << strError;
    ASSERT_TRUE(second.Open(strPath, true, strError)) << strError;
    constexpr int THREADS = 4;
    constexpr int ROWS = 40;
    std::atomic<int> nFailures{0};
    {
        std::vector<std::jthread> threads;
        for (int nThread = 0; nThread < THREADS; ++nThread)
        {
            CJournal& journal = nThread % 2 == 0 ? first : second;
            threads.emplace_back(
                [&journal, &nFailures, nThread]()
                {
                    for (int nRow = 0; nRow < ROWS; ++nRow)
                    {
                        std::string strRowError;
                        CJournalAttempt attempt =
                            Attempt("/slot/" + std::to_string(nThread), "aa", JOURNAL_FLASHED);
                        // Half begin and finish apart, as the station does; half at once.
                        const int64_t nId = nRow % 2 == 0 ? journal.Begin(attempt, strRowError) : 0;
                        const bool bOk = nRow % 2 == 0
                                             ? nId != 0 && journal.Finish(nId, attempt, strRowError)
                                             : journal.Record(attempt, strRowError);
                        nFailures += bOk ? 0 : 1;
                    }
                });
        }
    }
    EXPECT_EQ(nFailures, 0);
    EXPECT_EQ(SqlNumber(strPath, "SELECT count(*) FROM attempts WHERE result = 'flashed'"),
              THREADS * ROWS);
}

struct CGroupCase
{
    const char* m_pszName;
    std::vector<CJournalAttempt> m_attempts;
    // "KEY flashed/failed/stopped/unfinished" per group, in the summary's order.
    std::vector<std::string> m_images;
    std::vector<std::string> m_slots;
    std::vector<std::string> m_days;
    double m_dYield;
};

std::vector<std::string> Tallies(const std::vector<CJournalGroup>& groups)
{
    std::vector<std::string> tallies;
    for (const CJournalGroup& group : groups)
    {
        const CJournalTally& tally = group.m_tally;
        tallies.push_back(group.m_strKey + " " + std::to_string(tally.m_nFlashed) + "/" +
                          std::to_string(tally.m_nFailed) + "/" + std::to_string(tally.m_nStopped) +
                          "/" + std::to_string(tally.m_nUnfinished));
    }
    return tallies;
}

const CGroupCase GROUP_CASES[] = {
    {"Empty", {}, {}, {}, {}, -1},
    {"YieldCountsFlashedAndFailedOnly",
     {Attempt("/s/1", "aa", JOURNAL_FLASHED), Attempt("/s/1", "aa", JOURNAL_FAILED),
      Attempt("/s/2", "aa", JOURNAL_FLASHED), Attempt("/s/2", "aa", JOURNAL_FLASHED),
      Attempt("/s/2", "aa", JOURNAL_STOPPED), Attempt("/s/3", "aa", JOURNAL_RUNNING)},
     {"aa 3/1/1/1"},
     {"/s/1 1/1/0/0", "/s/2 2/0/1/0", "/s/3 0/0/0/1"},
     {"2026-12-08 3/1/1/1"},
     0.75},
    {"ImagesLatestFirstDaysInOrder",
     {Attempt("/s/1", "aa", JOURNAL_FLASHED, "2026-12-07"),
      Attempt("/s/1", "bb", JOURNAL_FAILED, "2026-12-08"),
      Attempt("/s/1", "aa", JOURNAL_FLASHED, "2026-12-09"),
      Attempt("/s/1", "cc", JOURNAL_FLASHED, "2026-12-09")},
     {"cc 1/0/0/0", "aa 2/0/0/0", "bb 0/1/0/0"},
     {"/s/1 3/1/0/0"},
     {"2026-12-07 1/0/0/0", "2026-12-08 0/1/0/0", "2026-12-09 2/0/0/0"},
     0.75},
};

void PrintTo(const CGroupCase& row, std::ostream* pStream)
{
    *pStream << row.m_pszName;
}

class JournalSummaryTable : public ::testing::TestWithParam<CGroupCase>
{
};

TEST_P(JournalSummaryTable, GroupsPerImageSlotAndDay)
{
    const CGroupCase& row = GetParam();
    CTempDir dir;
    const std::string strPath = dir.Path("journal.db");
    CJournal writer;
    std::string strError;
    ASSERT_TRUE(writer.Open(strPath, true, strError)) << strError;
    for (const CJournalAttempt& attempt : row.m_attempts)
    {
        if (attempt.m_strResult == JOURNAL_RUNNING)
        {
            ASSERT_NE(writer.Begin(attempt, strError), 0) << strError;
        }
        else
        {
            ASSERT_TRUE(writer.Record(attempt, strError)) << strError;
        }
    }
    CJournal reader;
    ASSERT_TRUE(reader.Open(strPath, false, strError)) << strError;
    CJournalSummary summary;
    ASSERT_TRUE(reader.Summarize(summary, strError)) << strError;

    EXPECT_EQ(Tallies(summary.m_images), row.m_images);
    EXPECT_EQ(Tallies(summary.m_slots), row.m_slots);
    EXPECT_EQ(Tallies(summary.m_days), row.m_days);
    EXPECT_DOUBLE_EQ(summary.m_total.Yield(), row.m_dYield);
    EXPECT_EQ(summary.m_total.Attempts(), static_cast<int64_t>(row.m_attempts.size()));
}

INSTANTIATE_TEST_SUITE_P(Rows, JournalSummaryTable, ::testing::ValuesIn(GROUP_CASES),
                         [](const auto& info) { return std::string(info.param.m_pszName); });

struct CTimeCase
{
    int64_t m_nMilliseconds; // since 1970
    const char* m_pszText;
};

class UtcTimeTable : public ::testing::TestWithParam<CTimeCase>
{
};

TEST_P(UtcTimeTable, IsoWithMilliseconds)
{
    const auto time = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::milliseconds(GetParam().m_nMilliseconds)));
    EXPECT_EQ(UtcIsoTime(time), GetParam().m_pszText);
}

INSTANTIATE_TEST_SUITE_P(Rows, UtcTimeTable,
                         ::testing::Values(CTimeCase{0, "1970-01-01T00:00:00.000Z"},
                                           CTimeCase{951782400999, "2000-02-29T00:00:00.999Z"},
                                           CTimeCase{1796774399001, "2026-12-08T23:59:59.001Z"},
                                           CTimeCase{-1, "1969-12-31T23:59:59.999Z"}));
} // namespace
