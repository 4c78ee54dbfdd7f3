#pragma once
// What the journal says, for people and for programs (--journal FILE --summary [--json]), and
// the row a single run or a tray run writes for each board it used.

#include "journal/Journal.h"

#include <string>

// The summary as text: the totals, then the yield per image, per slot and per day (UTC).
std::string JournalSummaryText(const std::string& strPath, const CJournalSummary& summary);
// The same as one JSON object.
std::string JournalSummaryJson(const std::string& strPath, const CJournalSummary& summary);

// --journal FILE --summary: prints it on standard output; 0, or 25 when the journal cannot be
// read (the reason on standard error).
int PrintJournalSummary(const std::string& strProgram, const std::string& strPath, bool bJson);

// The image's path as the journal keeps it: absolute, so that rows of runs started in other
// folders name the same file alike.
std::string JournalImagePath(const std::string& strFileName);

// The result column for a run's exit code: 0 flashed, 2 stopped, anything else failed.
const char* JournalResultOf(int nExitCode);
