#pragma once
// The station on the console: one line per finished board on standard output (slot,
// description, result, time taken, and what went wrong), a progress line on a terminal, and
// a summary line at the end; with --json, JSON Lines instead, one object per event.

#include "app/Station.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>

class CStationConsole : public IStationObserver
{
public:
    // pProgress: the terminal the progress line goes to, or null for none.
    CStationConsole(std::ostream& out, std::ostream& err, bool bJson, std::FILE* pProgress);

    void OnStationEvent(const CStationEvent& event) override;
    void OnStationMessage(const std::string& strText) override;
    // The last line: flashed, failed, stopped, yield (and the exit code with --json).
    void Summary(const CStationCounts& counts, int nExitCode);

    // "flashed", "failed", "stopped" or "not flashed".
    static std::string ResultWord(const CFlashOutcome& outcome);
    // The finished board's line: slot, description, result and seconds, separated by tabs,
    // then what went wrong, if anything.
    static std::string FinishedLine(const CStationEvent& event);

private:
    void ClearProgress();
    void DrawProgress();

    std::ostream& m_out;
    std::ostream& m_err;
    bool m_bJson;
    std::FILE* m_pProgress;
    bool m_bProgressShown = false;
    std::chrono::steady_clock::time_point m_lastDrawn;
    std::map<std::string, int> m_percent; // the boards being flashed
};

// quillon --station FILE on the console: loads the image, runs the station and returns its
// exit code (25 when the image cannot be loaded).
int RunStationConsole(const CStationOptions& options, bool bJson);
