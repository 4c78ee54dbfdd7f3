#pragma once
// The waiting window of the unattended run: asks for the board, polls for it every 100 ms
// while hidden for the first ten empty polls, then sends the file and ends with the run's
// result. The run itself is CWizardRun; this window is its face.

#include "app/CommandLine.h"
#include "ui/wizard/ProgressMeter.h"
#include "ui/wizard/WizardRun.h"

#include <QDialog>
#include <QElapsedTimer>

#include <memory>

class CLanguageStrings;
class CUserPrompts;
class QEventLoop;
class QMenu;
class QPlainTextEdit;
class QPushButton;

namespace Ui
{
class QuillonWizardDlg;
}

class QuillonWizardDlg : public QDialog, public IWizardFace
{
    Q_OBJECT
public:
    // pPrompts: the error boxes and the link's browser; null means the real ones.
    explicit QuillonWizardDlg(CCustomCommandLineInfo cmdInfo, QWidget* pParent = nullptr,
                              CUserPrompts* pPrompts = nullptr, CWizardOptions options = {});
    ~QuillonWizardDlg() override;

    // Reads the file, shows the window and runs until the run or the user ends it.
    int DoModal();
    void ApplyTexts();
    void OnSysCommand(unsigned nId);

    QMenu* WindowMenu() const { return m_pWindowMenu; }
    QPlainTextEdit* StatusBox() const;
    QPushButton* CancelButton() const;
    const CWizardRun& Run() const { return m_run; }

    void done(int nResult) override;
    // Cancel, Esc and the close box: result 2 (after the block on the wire is abandoned).
    void reject() override;

    // IWizardFace
    void SetStatusText(const std::string& strText) override;
    void ShowErrorBox(const std::string& strText, const std::string& strCaption,
                      bool bSystemModal) override;
    void SetVisible(bool bVisible) override;
    void SetCancelCaption(const std::string& strCaption) override;
    int StartPollTimer() override;
    void EndDialog(int nResult) override;
    bool OnTransferProgress(uint64_t nDone, uint64_t nTotal) override;
    // The window shows its own request; the console-only run says it on standard error.
    void ShowWaitingNotice(const std::string&) override {}

protected:
    void keyPressEvent(QKeyEvent* pEvent) override;
    void timerEvent(QTimerEvent* pEvent) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
    void OnLinkClick(const QString& strUrl);
    void OnStopSignal();
    void BuildWindowMenu();

    std::unique_ptr<Ui::QuillonWizardDlg> m_pUi;
    int m_nTimerId = 0;
    CCustomCommandLineInfo m_cmdInfo;
    CLanguageStrings* m_pStrings;
    CUserPrompts* m_pPrompts;
    CWizardRun m_run;
    CProgressMeter m_progress;
    QMenu* m_pWindowMenu = nullptr;
    QEventLoop* m_pLoop = nullptr;
    QElapsedTimer m_pumpClock;
    bool m_bStopSignalled = false;
};
