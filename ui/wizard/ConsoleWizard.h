#pragma once
// The unattended run without any window: the run's console lines on standard output, its
// error boxes on standard error (each prefixed by its caption), the poll timer as a sleep
// that a stop signal cuts short. Needs no display and no toolkit.

#include "app/CommandLine.h"
#include "ui/wizard/ProgressMeter.h"
#include "ui/wizard/WizardRun.h"

class CConsoleWizard : public IWizardFace
{
public:
    explicit CConsoleWizard(const CCustomCommandLineInfo& cmdInfo, CWizardOptions options = {});

    // Runs until the run ends; returns its result.
    int DoModal();
    const CWizardRun& Run() const { return m_run; }

    void SetStatusText(const std::string& strText) override;
    void ShowErrorBox(const std::string& strText, const std::string& strCaption,
                      bool bSystemModal) override;
    void SetVisible(bool bVisible) override;
    void SetCancelCaption(const std::string& strCaption) override;
    int StartPollTimer() override;
    void EndDialog(int nResult) override;
    bool OnTransferProgress(uint64_t nDone, uint64_t nTotal) override;
    void ShowWaitingNotice(const std::string& strNotice) override;

private:
    CCustomCommandLineInfo m_cmdInfo;
    CWizardRun m_run;
    CProgressMeter m_progress;
    bool m_bTimerRunning = false;
};
