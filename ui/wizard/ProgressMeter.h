#pragma once
// A progress line on standard error for a block that takes a while: shown only when standard
// error is a terminal, not with --quiet, and only once a block has been moving for about a
// second.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// How much the console says besides errors: --quiet, the default, --verbose.
enum class EVerbosity
{
    Quiet,  // errors and warnings only; the exit code tells the rest
    Normal, // the report lines and, on a terminal, the progress line
    Verbose // also the board used and how long each transfer took
};
void SetVerbosity(EVerbosity eVerbosity);
EVerbosity Verbosity();

// "42% (440320 of 1048576 bytes, 1.2 MB/s, 0:01 left)"; the rate and time left once some
// bytes moved.
std::string ProgressText(uint64_t nDone, uint64_t nTotal, std::chrono::microseconds elapsed);
// "1.2 MB/s": bytes per second in decimal units, one decimal.
std::string RateText(uint64_t nBytes, std::chrono::microseconds elapsed);
// "0.4 ms", "38 ms", "2.51 s": a short time in milliseconds, a longer one in seconds.
std::string DurationText(std::chrono::microseconds elapsed);

class CProgressMeter
{
public:
    explicit CProgressMeter(std::FILE* pStream = stderr);
    // Treats a drop in nDone or a new total as the start of another block; a caller that
    // reports (0, nTotal) when the block starts has the rate counted from that moment.
    void Update(uint64_t nDone, uint64_t nTotal);
    // Ends a shown line so that later output starts on a fresh one.
    void Finish();

    // A block that will take at least this long, by the rate so far, gets the line; the rate
    // is first judged once the block has moved this long.
    static constexpr std::chrono::milliseconds SHOW_FOR{1000};
    static constexpr std::chrono::milliseconds JUDGE_AFTER{100};
    // The line is drawn again at least this often, so that the time left keeps moving.
    static constexpr std::chrono::milliseconds REDRAW_EVERY{500};

    // Whether a block of nTotal bytes, nDone of them moved after elapsed, gets the line.
    static bool WorthShowing(uint64_t nDone, uint64_t nTotal, std::chrono::microseconds elapsed);

private:
    std::FILE* m_pStream;
    bool m_bEnabled;
    bool m_bShown = false;
    uint64_t m_nLastDone = 0;
    uint64_t m_nTotal = 0;
    int m_nLastPercent = -1;
    std::chrono::steady_clock::time_point m_blockStart;
    std::chrono::steady_clock::time_point m_lastDrawn;
};
