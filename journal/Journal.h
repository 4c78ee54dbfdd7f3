#pragma once
// The journal: one row per attempt to flash a board, in an SQLite database that several
// stations and runs may share. Each row is committed before its board's slot takes the next
// board; a journal that cannot be written is an error the caller must stop on, since a board
// that is not recorded is a defect on a production line. No Qt: quillon-cli writes it too.
//
// The schema is versioned (PRAGMA user_version) and marked as ours (PRAGMA application_id):
// a newer Quillon upgrades an older journal; a journal of a newer schema, or a database of
// another program, is refused before anything is written. docs/journal.md describes it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The schema this Quillon writes, and the mark of a Quillon journal ("QLNJ").
constexpr int JOURNAL_SCHEMA_VERSION = 1;
constexpr int32_t JOURNAL_APPLICATION_ID = 0x514C4E4A;
// How long a write waits for another process that holds the journal, in milliseconds.
constexpr int JOURNAL_BUSY_TIMEOUT_MS = 10000;

// The values of the result column.
inline constexpr char JOURNAL_FLASHED[] = "flashed";
inline constexpr char JOURNAL_FAILED[] = "failed";
inline constexpr char JOURNAL_STOPPED[] = "stopped";
// A row whose attempt began and never ended (the process was killed or the machine stopped).
inline constexpr char JOURNAL_RUNNING[] = "running";

// One attempt on one board.
struct CJournalAttempt
{
    std::chrono::system_clock::time_point m_start;
    std::chrono::system_clock::time_point m_end;
    std::string m_strSlot; // the interface path
    std::string m_strDescription;
    std::string m_strVersion; // the bootloader's version banner
    std::string m_strImagePath;
    uint64_t m_nImageSize = 0;
    std::string m_strImageSha256;
    std::string m_strResult = JOURNAL_RUNNING;
    int m_nExitCode = -1;
    std::string m_strReason;
    double m_dSeconds = 0;
};

// How the attempts of one group ended.
struct CJournalTally
{
    int64_t m_nFlashed = 0;
    int64_t m_nFailed = 0;
    int64_t m_nStopped = 0;
    int64_t m_nUnfinished = 0;

    int64_t Attempts() const { return m_nFlashed + m_nFailed + m_nStopped + m_nUnfinished; }
    // The share of boards flashed among those that were flashed or failed (stopped and
    // unfinished attempts say nothing of the boards); negative when there are none.
    double Yield() const;
};

struct CJournalGroup
{
    std::string m_strKey;       // the image's SHA-256, the slot or the day (YYYY-MM-DD, UTC)
    std::string m_strImagePath; // images: the path of its latest attempt
    int64_t m_nImageSize = 0;   // images
    CJournalTally m_tally;
};

struct CJournalSummary
{
    CJournalTally m_total;
    std::string m_strFirst; // start of the first attempt, empty without any
    std::string m_strLast;  // start of the last one
    std::vector<CJournalGroup> m_images;
    std::vector<CJournalGroup> m_slots;
    std::vector<CJournalGroup> m_days;
};

class CJournal
{
public:
    CJournal();
    ~CJournal();
    CJournal(const CJournal&) = delete;
    CJournal& operator=(const CJournal&) = delete;

    // Opens (bWrite: and creates or upgrades) the journal. False with a message naming the
    // file and the fix when it cannot be opened, is not a Quillon journal, is damaged or has
    // a newer schema; nothing is written to the file then.
    bool Open(const std::string& strPath, bool bWrite, std::string& strError);
    const std::string& Path() const { return m_strPath; }

    // The attempt begins: a row with the result "running". Its id, or 0 with strError.
    int64_t Begin(const CJournalAttempt& attempt, std::string& strError);
    // The attempt ended: its row takes the end, the result and the rest.
    bool Finish(int64_t nId, const CJournalAttempt& attempt, std::string& strError);
    // One finished attempt in one row.
    bool Record(const CJournalAttempt& attempt, std::string& strError);

    bool Summarize(CJournalSummary& summary, std::string& strError);

private:
    struct CDatabase;
    bool CheckSchema(bool bWrite, std::string& strError);
    // Begin and Finish with the mutex held.
    int64_t Insert(const CJournalAttempt& attempt, std::string& strError);
    bool Update(int64_t nId, const CJournalAttempt& attempt, std::string& strError);
    std::string Failure(const std::string& strWhat) const;

    std::mutex m_mutex; // one statement at a time from the threads of one process
    std::unique_ptr<CDatabase> m_pDatabase;
    std::string m_strPath;
};

// "2026-12-08T09:14:03.250Z": UTC, milliseconds.
std::string UtcIsoTime(std::chrono::system_clock::time_point time);

// This machine's name, for the station column; "unknown" when the system does not say.
std::string StationHostName();
