#include "ui/wizard/ProgressMeter.h"

#include <unistd.h>

CProgressMeter::CProgressMeter(std::FILE* pStream)
    : m_pStream(pStream), m_bEnabled(isatty(fileno(pStream)) == 1)
{
}

void CProgressMeter::Update(uint64_t nDone, uint64_t nTotal)
{
    if (!m_bEnabled)
    {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (nTotal != m_nTotal || nDone < m_nLastDone || m_nLastPercent < 0)
    {
        Finish();
        m_nTotal = nTotal;
        m_blockStart = now;
        m_nLastPercent = 0;
    }
    m_nLastDone = nDone;
    if (nTotal == 0 || now - m_blockStart < SHOW_AFTER)
    {
        return;
    }
    const int nPercent = static_cast<int>(nDone * 100 / nTotal);
    if (m_bShown && nPercent == m_nLastPercent && nDone != nTotal)
    {
        return;
    }
    m_nLastPercent = nPercent;
    m_bShown = true;
    std::fprintf(m_pStream, "\r%3d%% (%llu of %llu bytes)", nPercent,
                 static_cast<unsigned long long>(nDone), static_cast<unsigned long long>(nTotal));
    std::fflush(m_pStream);
    if (nDone == nTotal)
    {
        Finish();
    }
}

void CProgressMeter::Finish()
{
    if (m_bShown)
    {
        std::fputc('\n', m_pStream);
        std::fflush(m_pStream);
    }
    m_bShown = false;
    m_nLastPercent = -1;
    m_nLastDone = 0;
}
