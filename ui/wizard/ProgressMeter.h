#pragma once
// A progress line on standard error for a block that takes a while: shown only when standard
// error is a terminal, and only once a block has been moving for about a second.

#include <chrono>
#include <cstdint>
#include <cstdio>

class CProgressMeter
{
public:
    explicit CProgressMeter(std::FILE* pStream = stderr);
    // Treats a drop in nDone or a new total as the start of another block.
    void Update(uint64_t nDone, uint64_t nTotal);
    // Ends a shown line so that later output starts on a fresh one.
    void Finish();

    static constexpr std::chrono::milliseconds SHOW_AFTER{1000};

private:
    std::FILE* m_pStream;
    bool m_bEnabled;
    bool m_bShown = false;
    uint64_t m_nLastDone = 0;
    uint64_t m_nTotal = 0;
    int m_nLastPercent = -1;
    std::chrono::steady_clock::time_point m_blockStart;
};
