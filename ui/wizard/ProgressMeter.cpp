#include "ui/wizard/ProgressMeter.h"

#include <algorithm>
#include <unistd.h>

namespace
{
EVerbosity s_eVerbosity = EVerbosity::Normal;
} // namespace

void SetVerbosity(EVerbosity eVerbosity)
{
    s_eVerbosity = eVerbosity;
}

EVerbosity Verbosity()
{
    return s_eVerbosity;
}

std::string RateText(uint64_t nBytes, std::chrono::microseconds elapsed)
{
    const double dRate = static_cast<double>(nBytes) * 1e6 /
                         static_cast<double>(std::max<int64_t>(elapsed.count(), 1));
    const char* pszUnit = "B/s";
    double dValue = dRate;
    if (dRate >= 1e6)
    {
        dValue = dRate / 1e6;
        pszUnit = "MB/s";
    }
    else if (dRate >= 1e3)
    {
        dValue = dRate / 1e3;
        pszUnit = "kB/s";
    }
    char szText[32];
    std::snprintf(szText, sizeof(szText), "%.1f %s", dValue, pszUnit);
    return szText;
}

std::string DurationText(std::chrono::microseconds elapsed)
{
    const double dMs = static_cast<double>(elapsed.count()) / 1000.0;
    char szText[32];
    if (dMs < 10)
    {
        std::snprintf(szText, sizeof(szText), "%.1f ms", dMs);
    }
    else if (dMs < 1000)
    {
        std::snprintf(szText, sizeof(szText), "%.0f ms", dMs);
    }
    else
    {
        std::snprintf(szText, sizeof(szText), "%.2f s", dMs / 1000.0);
    }
    return szText;
}

std::string ProgressText(uint64_t nDone, uint64_t nTotal, std::chrono::microseconds elapsed)
{
    const int nPercent = nTotal == 0 ? 100 : static_cast<int>(nDone * 100 / nTotal);
    std::string strText = std::to_string(nPercent) + "% (" + std::to_string(nDone) + " of " +
                          std::to_string(nTotal) + " bytes";
    if (nDone > 0 && elapsed.count() > 0)
    {
        // Time left at the rate so far, rounded up to whole seconds.
        const double dLeftUs = static_cast<double>(nTotal - nDone) *
                               static_cast<double>(elapsed.count()) / static_cast<double>(nDone);
        const auto nLeftS = static_cast<unsigned long long>((dLeftUs + 999999.0) / 1e6);
        char szLeft[32];
        std::snprintf(szLeft, sizeof(szLeft), "%llu:%02llu left", nLeftS / 60, nLeftS % 60);
        strText += ", " + RateText(nDone, elapsed) + ", " + szLeft;
    }
    return strText + ")";
}

bool CProgressMeter::WorthShowing(uint64_t nDone, uint64_t nTotal,
                                  std::chrono::microseconds elapsed)
{
    if (nTotal == 0 || nDone >= nTotal)
    {
        return false;
    }
    if (elapsed >= SHOW_FOR)
    {
        return true;
    }
    if (elapsed < JUDGE_AFTER || nDone == 0)
    {
        return false;
    }
    // The time the whole block will take at the rate so far.
    const double dTotalUs = static_cast<double>(elapsed.count()) * static_cast<double>(nTotal) /
                            static_cast<double>(nDone);
    return dTotalUs >= static_cast<double>(std::chrono::microseconds(SHOW_FOR).count());
}

CProgressMeter::CProgressMeter(std::FILE* pStream)
    : m_pStream(pStream),
      m_bEnabled(isatty(fileno(pStream)) == 1 && Verbosity() != EVerbosity::Quiet)
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
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - m_blockStart);
    if (!m_bShown && !WorthShowing(nDone, nTotal, elapsed))
    {
        return;
    }
    const int nPercent = static_cast<int>(nDone * 100 / nTotal);
    if (m_bShown && nPercent == m_nLastPercent && nDone != nTotal &&
        now - m_lastDrawn < REDRAW_EVERY)
    {
        return;
    }
    m_nLastPercent = nPercent;
    m_lastDrawn = now;
    m_bShown = true;
    // Padded, so that a shorter line covers a longer one before it.
    const std::string strText = ProgressText(nDone, nTotal, elapsed);
    const char* pszPad = nPercent < 10 ? "  " : nPercent < 100 ? " " : "";
    std::fprintf(m_pStream, "\r%s%-58s", pszPad, strText.c_str());
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
