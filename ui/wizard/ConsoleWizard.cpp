#include "ui/wizard/ConsoleWizard.h"

#include "ui/wizard/StopSignals.h"

#include <chrono>
#include <iostream>

namespace
{
// Sleeps until the deadline or a stop signal, whichever comes first; true on a stop signal.
bool SleepUntil(std::chrono::steady_clock::time_point deadline)
{
    for (;;)
    {
        if (StopRequested())
        {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (deadline != std::chrono::steady_clock::time_point::max() && now >= deadline)
        {
            return false;
        }
        int nWaitMs = -1;
        if (deadline != std::chrono::steady_clock::time_point::max())
        {
            nWaitMs = static_cast<int>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        WaitForStopSignal(nWaitMs);
    }
}
} // namespace

CConsoleWizard::CConsoleWizard(const CCustomCommandLineInfo& cmdInfo, CWizardOptions options)
    : m_cmdInfo(cmdInfo), m_run(*this, m_cmdInfo.m_strFileName, std::move(options))
{
}

int CConsoleWizard::DoModal()
{
    CStopSignalGuard stopSignals;
    ClearStopRequest();
    if (!m_run.Start())
    {
        return m_run.Result();
    }
    while (!m_run.IsEnded())
    {
        const auto deadline = m_bTimerRunning ? std::chrono::steady_clock::now() +
                                                    std::chrono::milliseconds(WIZARD_POLL_PERIOD)
                                              : std::chrono::steady_clock::time_point::max();
        if (SleepUntil(deadline))
        {
            m_run.Cancel();
            continue;
        }
        m_bTimerRunning = false;
        m_run.OnTimer();
    }
    m_progress.Finish();
    return m_run.Result();
}

void CConsoleWizard::SetStatusText(const std::string&)
{
    // The console lines are the status here; there is no box to fill.
}

void CConsoleWizard::ShowErrorBox(const std::string& strText, const std::string& strCaption, bool)
{
    m_progress.Finish();
    std::cerr << strCaption << ": " << strText << std::endl;
}

void CConsoleWizard::SetVisible(bool) {}

void CConsoleWizard::SetCancelCaption(const std::string&) {}

int CConsoleWizard::StartPollTimer()
{
    m_bTimerRunning = true;
    return 0;
}

void CConsoleWizard::EndDialog(int)
{
    m_bTimerRunning = false;
}

bool CConsoleWizard::OnTransferProgress(uint64_t nDone, uint64_t nTotal)
{
    m_progress.Update(nDone, nTotal);
    return true;
}

void CConsoleWizard::ShowWaitingNotice(const std::string& strNotice)
{
    // Said even with --quiet: a run that waits in silence looks hung to a script's log.
    m_progress.Finish();
    std::cerr << strNotice << std::endl;
}
