#include "journal/Journal.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

namespace
{
// Each entry upgrades a journal from the version of its index to the next one.
const char* const SCHEMA_STEPS[JOURNAL_SCHEMA_VERSION] = {
    "CREATE TABLE attempts ("
    " id INTEGER PRIMARY KEY,"
    " start_utc TEXT NOT NULL,"
    " end_utc TEXT,"
    " station TEXT NOT NULL,"
    " slot TEXT NOT NULL,"
    " description TEXT NOT NULL,"
    " bootloader_version TEXT NOT NULL,"
    " image_path TEXT NOT NULL,"
    " image_size INTEGER NOT NULL,"
    " image_sha256 TEXT NOT NULL,"
    " result TEXT NOT NULL,"
    " exit_code INTEGER,"
    " reason TEXT NOT NULL,"
    " duration_s REAL,"
    " quillon_version TEXT NOT NULL);"
    "CREATE INDEX attempts_by_start ON attempts(start_utc);",
};

// A prepared statement, finalized when it goes.
class CStatement
{
public:
    CStatement(sqlite3* pDb, const char* pszSql)
    {
        m_nPrepare = sqlite3_prepare_v2(pDb, pszSql, -1, &m_pStatement, nullptr);
    }
    ~CStatement() { sqlite3_finalize(m_pStatement); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool Ok() const { return m_nPrepare == SQLITE_OK; }
    sqlite3_stmt* Get() const { return m_pStatement; }
    void Text(int nIndex, const std::string& strValue)
    {
        sqlite3_bind_text(m_pStatement, nIndex, strValue.data(), static_cast<int>(strValue.size()),
                          SQLITE_TRANSIENT);
    }
    void Int(int nIndex, int64_t nValue) { sqlite3_bind_int64(m_pStatement, nIndex, nValue); }
    void Real(int nIndex, double dValue) { sqlite3_bind_double(m_pStatement, nIndex, dValue); }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return sqlite3_step(m_pStatement); }
    int64_t ColumnInt(int nColumn) const { return sqlite3_column_int64(m_pStatement, nColumn); }
    std::string ColumnText(int nColumn) const
    {
        const auto* pText = sqlite3_column_text(m_pStatement, nColumn);
        return pText == nullptr
                   ? std::string()
                   : std::string(reinterpret_cast<const char*>(pText),
                                 static_cast<size_t>(sqlite3_column_bytes(m_pStatement, nColumn)));
    }

private:
    sqlite3_stmt* m_pStatement = nullptr;
    int m_nPrepare = SQLITE_ERROR;
};

// A statement without results; false on any error.
bool Execute(sqlite3* pDb, const char* pszSql)
{
    return sqlite3_exec(pDb, pszSql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// One number of a pragma or a query; false on an error.
bool QueryInt(sqlite3* pDb, const char* pszSql, int64_t& nValue)
{
    CStatement statement(pDb, pszSql);
    if (!statement.Ok() || statement.Step() != SQLITE_ROW)
    {
        return false;
    }
    nValue = statement.ColumnInt(0);
    return true;
}

std::string ProgramVersion()
{
    return QUILLON_VERSION;
}
} // namespace

struct CJournal::CDatabase
{
    sqlite3* m_pDb = nullptr;
    ~CDatabase() { sqlite3_close_v2(m_pDb); }
};

CJournal::CJournal() = default;
CJournal::~CJournal() = default;

std::string CJournal::Failure(const std::string& strWhat) const
{
    sqlite3* pDb = m_pDatabase ? m_pDatabase->m_pDb : nullptr;
    std::string strText = strWhat + " the journal " + m_strPath;
    if (pDb == nullptr)
    {
        return strText;
    }
    strText += std::string(": ") + sqlite3_errmsg(pDb);
    const int nSystem = sqlite3_system_errno(pDb);
    const int nCode = sqlite3_errcode(pDb);
    if (nSystem != 0 && nCode != SQLITE_BUSY && nCode != SQLITE_CORRUPT && nCode != SQLITE_NOTADB)
    {
        strText += " (" + std::generic_category().message(nSystem) + ")";
    }
    return strText;
}

bool CJournal::Open(const std::string& strPath, bool bWrite, std::string& strError)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_pDatabase.reset();
    m_strPath = strPath;
    // SQLite would block on a FIFO and write into a device; only a file is a journal.
    std::error_code error;
    const auto status = std::filesystem::status(std::filesystem::u8path(strPath), error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
    {
        strError = "the journal " + strPath + " is not a regular file";
        return false;
    }
    if (!std::filesystem::exists(status) && !bWrite)
    {
        strError = "there is no journal " + strPath;
        return false;
    }
    m_pDatabase = std::make_unique<CDatabase>();
    const int nFlags =
        (bWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
        SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(strPath.c_str(), &m_pDatabase->m_pDb, nFlags, nullptr) != SQLITE_OK)
    {
        strError = Failure("cannot open");
        m_pDatabase.reset();
        return false;
    }
    sqlite3_extended_result_codes(m_pDatabase->m_pDb, 1);
    sqlite3_busy_timeout(m_pDatabase->m_pDb, JOURNAL_BUSY_TIMEOUT_MS);
    if (!CheckSchema(bWrite, strError))
    {
        m_pDatabase.reset();
        return false;
    }
    return true;
}

bool CJournal::CheckSchema(bool bWrite, std::string& strError)
{
    sqlite3* pDb = m_pDatabase->m_pDb;
    int64_t nApplication = 0;
    int64_t nVersion = 0;
    int64_t nTables = 0;
    auto readHeader = [&]()
    {
        return QueryInt(pDb, "PRAGMA application_id", nApplication) &&
               QueryInt(pDb, "PRAGMA user_version", nVersion) &&
               QueryInt(pDb, "SELECT count(*) FROM sqlite_schema", nTables);
    };
    // Looked at before anything is written: a file that is no journal of ours stays as it was.
    auto refusal = [&]() -> std::string
    {
        const int nCode = sqlite3_errcode(pDb) & 0xFF;
        if (nCode == SQLITE_NOTADB)
        {
            return m_strPath + " is not a Quillon journal (not an SQLite database); name another "
                               "file for the journal";
        }
        if (nCode == SQLITE_CORRUPT)
        {
            return "the journal " + m_strPath + " is damaged (" + sqlite3_errmsg(pDb) +
                   "); keep it for inspection and name a new file for the journal";
        }
        if (nCode != SQLITE_OK && nCode != SQLITE_ROW && nCode != SQLITE_DONE)
        {
            return Failure("cannot read");
        }
        const bool bEmpty = nApplication == 0 && nVersion == 0 && nTables == 0;
        if (!bEmpty && nApplication != JOURNAL_APPLICATION_ID)
        {
            return m_strPath + " is not a Quillon journal (an SQLite database of another "
                               "program); name another file for the journal";
        }
        if (nVersion > JOURNAL_SCHEMA_VERSION)
        {
            return "the journal " + m_strPath + " has schema version " + std::to_string(nVersion) +
                   ", newer than this Quillon (" + ProgramVersion() + ") knows (" +
                   std::to_string(JOURNAL_SCHEMA_VERSION) +
                   "); nothing was written to it. Use a newer Quillon, or another journal file";
        }
        if (!bEmpty && nVersion < 1)
        {
            return "the journal " + m_strPath + " has no schema version; name another file";
        }
        return {};
    };
    if (!readHeader())
    {
        strError = refusal();
        return false;
    }
    if (strError = refusal(); !strError.empty())
    {
        return false;
    }
    if (!bWrite)
    {
        if (nVersion == 0)
        {
            strError = "the journal " + m_strPath + " holds no attempts yet";
            return false;
        }
        return true;
    }
    if (nVersion < JOURNAL_SCHEMA_VERSION)
    {
        // Another process may create or upgrade the same file at the same moment: the header
        // is read again inside the write transaction, and only the steps still missing run.
        if (!Execute(pDb, "BEGIN IMMEDIATE"))
        {
            strError = Failure("cannot write");
            return false;
        }
        bool bOk = readHeader();
        if (bOk && (strError = refusal()).empty())
        {
            for (int64_t n = nVersion; bOk && n < JOURNAL_SCHEMA_VERSION; ++n)
            {
                bOk = Execute(pDb, SCHEMA_STEPS[n]);
            }
            const std::string strPragmas =
                "PRAGMA application_id = " + std::to_string(JOURNAL_APPLICATION_ID) +
                "; PRAGMA user_version = " + std::to_string(JOURNAL_SCHEMA_VERSION);
            bOk = bOk && Execute(pDb, strPragmas.c_str()) && Execute(pDb, "COMMIT");
            if (!bOk)
            {
                strError = Failure("cannot write");
            }
        }
        if (!strError.empty())
        {
            Execute(pDb, "ROLLBACK");
            return false;
        }
    }
    // WAL: readers (a summary) never wait for a station that writes. Every commit reaches the
    // disk before the board's slot is free again.
    // A station writes only the journal's last pages: a small cache keeps its memory flat
    // however long it runs.
    CStatement wal(pDb, "PRAGMA journal_mode = WAL");
    if (!wal.Ok() || wal.Step() != SQLITE_ROW || wal.ColumnText(0) != "wal" ||
        !Execute(pDb, "PRAGMA synchronous = FULL; PRAGMA cache_size = -64"))
    {
        strError = Failure("cannot use write-ahead logging in");
        return false;
    }
    return true;
}

int64_t CJournal::Begin(const CJournalAttempt& attempt, std::string& strError)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return Insert(attempt, strError);
}

bool CJournal::Finish(int64_t nId, const CJournalAttempt& attempt, std::string& strError)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return Update(nId, attempt, strError);
}

int64_t CJournal::Insert(const CJournalAttempt& attempt, std::string& strError)
{
    if (!m_pDatabase)
    {
        strError = "the journal is not open";
        return 0;
    }
    sqlite3* pDb = m_pDatabase->m_pDb;
    CStatement insert(pDb, "INSERT INTO attempts (start_utc, station, slot, description,"
                           " bootloader_version, image_path, image_size, image_sha256, result,"
                           " reason, quillon_version) VALUES (?,?,?,?,?,?,?,?,?,?,?)");
    if (insert.Ok())
    {
        insert.Text(1, UtcIsoTime(attempt.m_start));
        insert.Text(2, StationHostName());
        insert.Text(3, attempt.m_strSlot);
        insert.Text(4, attempt.m_strDescription);
        insert.Text(5, attempt.m_strVersion);
        insert.Text(6, attempt.m_strImagePath);
        insert.Int(7, static_cast<int64_t>(attempt.m_nImageSize));
        insert.Text(8, attempt.m_strImageSha256);
        insert.Text(9, JOURNAL_RUNNING);
        insert.Text(10, attempt.m_strReason);
        insert.Text(11, ProgramVersion());
    }
    if (!insert.Ok() || insert.Step() != SQLITE_DONE)
    {
        strError = Failure("cannot write");
        return 0;
    }
    return sqlite3_last_insert_rowid(pDb);
}

bool CJournal::Update(int64_t nId, const CJournalAttempt& attempt, std::string& strError)
{
    if (!m_pDatabase)
    {
        strError = "the journal is not open";
        return false;
    }
    sqlite3* pDb = m_pDatabase->m_pDb;
    CStatement update(pDb, "UPDATE attempts SET end_utc = ?, bootloader_version = ?, result = ?,"
                           " exit_code = ?, reason = ?, duration_s = ? WHERE id = ?");
    if (update.Ok())
    {
        update.Text(1, UtcIsoTime(attempt.m_end));
        update.Text(2, attempt.m_strVersion);
        update.Text(3, attempt.m_strResult);
        update.Int(4, attempt.m_nExitCode);
        update.Text(5, attempt.m_strReason);
        update.Real(6, attempt.m_dSeconds);
        update.Int(7, nId);
    }
    if (!update.Ok() || update.Step() != SQLITE_DONE)
    {
        strError = Failure("cannot write");
        return false;
    }
    if (sqlite3_changes(pDb) != 1)
    {
        strError = "the journal " + m_strPath + " lost the row of an attempt (id " +
                   std::to_string(nId) + ")";
        return false;
    }
    return true;
}

bool CJournal::Record(const CJournalAttempt& attempt, std::string& strError)
{
    // Both statements in one transaction, which no other thread's statement may join: a row
    // is there whole or not at all.
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pDatabase || !Execute(m_pDatabase->m_pDb, "BEGIN IMMEDIATE"))
    {
        strError = m_pDatabase ? Failure("cannot write") : "the journal is not open";
        return false;
    }
    const int64_t nId = Insert(attempt, strError);
    const bool bOk = nId != 0 && Update(nId, attempt, strError);
    if (bOk && Execute(m_pDatabase->m_pDb, "COMMIT"))
    {
        return true;
    }
    if (bOk)
    {
        strError = Failure("cannot write");
    }
    Execute(m_pDatabase->m_pDb, "ROLLBACK");
    return false;
}

bool CJournal::Summarize(CJournalSummary& summary, std::string& strError)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    summary = CJournalSummary();
    if (!m_pDatabase)
    {
        strError = "the journal is not open";
        return false;
    }
    sqlite3* pDb = m_pDatabase->m_pDb;
    // One read transaction: the groups and the total count the same rows while others write.
    if (!Execute(pDb, "BEGIN"))
    {
        strError = Failure("cannot read");
        return false;
    }
    // One pass over the rows, the groups made here: three GROUP BYs sorting 100,000 keys each
    // take a second, this a tenth of it.
    CStatement query(pDb, "SELECT image_sha256, image_path, image_size, slot, start_utc, result"
                          " FROM attempts ORDER BY id");
    std::map<std::string, std::pair<int64_t, CJournalGroup>> images; // by SHA-256: last row, group
    std::map<std::string, CJournalGroup> slots;
    std::map<std::string, CJournalGroup> days;
    int64_t nRow = 0;
    int nStep = query.Ok() ? SQLITE_ROW : SQLITE_ERROR;
    while (query.Ok() && (nStep = query.Step()) == SQLITE_ROW)
    {
        const std::string strResult = query.ColumnText(5);
        auto count = [&strResult](CJournalTally& tally)
        {
            int64_t& nCount = strResult == JOURNAL_FLASHED   ? tally.m_nFlashed
                              : strResult == JOURNAL_FAILED  ? tally.m_nFailed
                              : strResult == JOURNAL_STOPPED ? tally.m_nStopped
                                                             : tally.m_nUnfinished;
            ++nCount;
        };
        const std::string strSha256 = query.ColumnText(0);
        auto& [nLastRow, image] = images[strSha256];
        nLastRow = ++nRow;
        image.m_strKey = strSha256;
        image.m_strImagePath = query.ColumnText(1);
        image.m_nImageSize = query.ColumnInt(2);
        count(image.m_tally);
        const std::string strSlot = query.ColumnText(3);
        CJournalGroup& slot = slots[strSlot];
        slot.m_strKey = strSlot;
        count(slot.m_tally);
        const std::string strStart = query.ColumnText(4);
        const std::string strDay = strStart.substr(0, 10);
        CJournalGroup& day = days[strDay];
        day.m_strKey = strDay;
        count(day.m_tally);
        count(summary.m_total);
        if (summary.m_strFirst.empty() || strStart < summary.m_strFirst)
        {
            summary.m_strFirst = strStart;
        }
        summary.m_strLast = std::max(summary.m_strLast, strStart);
    }
    const bool bOk = nStep == SQLITE_DONE;
    std::vector<std::pair<int64_t, CJournalGroup>> latest;
    for (auto& [strSha256, entry] : images)
    {
        latest.push_back(std::move(entry));
    }
    std::sort(latest.begin(), latest.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (auto& entry : latest)
    {
        summary.m_images.push_back(std::move(entry.second));
    }
    for (auto* pGroups : {&slots, &days})
    {
        std::vector<CJournalGroup>& target = pGroups == &slots ? summary.m_slots : summary.m_days;
        for (auto& [strKey, group] : *pGroups)
        {
            target.push_back(std::move(group));
        }
    }
    if (!bOk)
    {
        strError = Failure("cannot read");
    }
    Execute(pDb, "COMMIT");
    return bOk;
}
