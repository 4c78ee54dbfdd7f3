#pragma once
// A tray at once (--all): the run's sequence on every attached board at the same time, one
// thread per board. Each board has its own connection and is held by its own lock; report
// lines carry the board's path; a summary line ends the run.

#include <cstdint>
#include <string>

class CJournal;

struct CTrayOptions
{
    int64_t m_nWaitMs = -1; // <0: wait for ever for the boards
    uint32_t m_nCount = 1;  // start once this many boards are attached
    bool m_bNoExecute = false;
    bool m_bJson = false;           // one JSON object per board on standard output
    CJournal* m_pJournal = nullptr; // a row per board that was asked for the image
};

// 0 when every board took the file; else the result of the first board in list order that
// failed; 25 when the file cannot be loaded, 2 when the boards did not come in time or a
// stop signal came, 77 when the boards attached may not be opened, 73 when a board's journal
// row could not be written.
int RunTray(const std::string& strFileName, const CTrayOptions& options);
