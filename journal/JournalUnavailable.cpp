// The journal in a build without SQLite: every journal is refused with the reason.

#include "journal/Journal.h"

struct CJournal::CDatabase
{
};

namespace
{
const char UNAVAILABLE[] = "this build of Quillon keeps no journal (it was built without SQLite)";
}

CJournal::CJournal() = default;
CJournal::~CJournal() = default;

bool CJournal::Open(const std::string& strPath, bool, std::string& strError)
{
    m_strPath = strPath;
    strError = UNAVAILABLE;
    return false;
}

int64_t CJournal::Begin(const CJournalAttempt&, std::string& strError)
{
    strError = UNAVAILABLE;
    return 0;
}

bool CJournal::Finish(int64_t, const CJournalAttempt&, std::string& strError)
{
    strError = UNAVAILABLE;
    return false;
}

bool CJournal::Record(const CJournalAttempt&, std::string& strError)
{
    strError = UNAVAILABLE;
    return false;
}

bool CJournal::Summarize(CJournalSummary&, std::string& strError)
{
    strError = UNAVAILABLE;
    return false;
}
