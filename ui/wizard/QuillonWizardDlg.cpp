#include "ui/wizard/QuillonWizardDlg.h"

#include "lang/LanguageStrings.h"
#include "ui/common/LinkTabFilter.h"
#include "ui/common/ProgramIcon.h"
#include "ui/common/StopSignalWatcher.h"
#include "ui/common/UserPrompts.h"
#include "ui/main/AboutDlg.h"
#include "ui/main/QuillonDlg.h"
#include "ui/wizard/StopSignals.h"

#include "ui_QuillonWizardDlg.h"

#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMenu>
#include <QTimerEvent>

#include <cerrno>

namespace
{
// How often a running block lets the window answer Cancel.
constexpr qint64 PUMP_INTERVAL_MS = 50;
} // namespace

QuillonWizardDlg::QuillonWizardDlg(CCustomCommandLineInfo cmdInfo, QWidget* pParent,
                                   CUserPrompts* pPrompts, CWizardOptions options)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::QuillonWizardDlg>()),
      m_cmdInfo(std::move(cmdInfo)), m_pStrings(&CLanguageStrings::Instance()),
      m_pPrompts(pPrompts != nullptr ? pPrompts : &DefaultUserPrompts()),
      m_run(*this, m_cmdInfo.m_strFileName, std::move(options))
{
    m_pUi->setupUi(this);
    setObjectName(QStringLiteral("QuillonWizardDlg"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(size());
    setWindowIcon(ProgramIcon());
    m_pUi->labelIcon->setPixmap(ProgramIcon().pixmap(32, 32));
    m_pUi->labelLink->setText(
        QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(QString::fromLatin1(MAKER_SITE_URL), QStringLiteral("www.corvane.com")));
    // Cancel is no default button: Return elsewhere is the dialog's OK (see keyPressEvent).
    m_pUi->buttonCancel->setAutoDefault(false);
    m_pUi->buttonCancel->setDefault(false);
    connect(m_pUi->buttonCancel, &QPushButton::clicked, this, &QuillonWizardDlg::reject);
    connect(m_pUi->labelLink, &QLabel::linkActivated, this, &QuillonWizardDlg::OnLinkClick);
    // Tab leaves the link for the next control, as in the About box.
    new CLinkTabFilter(m_pUi->labelLink);
    BuildWindowMenu();
    ApplyTexts();
}

QuillonWizardDlg::~QuillonWizardDlg() = default;

void QuillonWizardDlg::BuildWindowMenu()
{
    m_pWindowMenu = new QMenu(this);
    m_pWindowMenu->setObjectName(QStringLiteral("windowMenu"));
    m_pWindowMenu->addAction(QStringLiteral("&Close\tAlt+F4"), this, &QWidget::close);
    const QString strAbout = QString::fromStdString(m_pStrings->GetString(12));
    if (!strAbout.isEmpty())
    {
        m_pWindowMenu->addSeparator();
        QAction* pAbout = m_pWindowMenu->addAction(strAbout);
        pAbout->setData(IDM_ABOUTBOX);
        connect(pAbout, &QAction::triggered, this, [this]() { OnSysCommand(IDM_ABOUTBOX); });
    }
}

void QuillonWizardDlg::ApplyTexts()
{
    m_pStrings->SetLanguage(m_pStrings->m_nLanguage);
    setWindowTitle(QString::fromStdString(m_pStrings->GetString(17)));
    m_pUi->labelVersion->setText(QString::fromStdString(CWizardRun::VersionLine()));
    m_pUi->labelNotice->setText(QString::fromStdString(m_pStrings->GetString(19)));
    m_pUi->buttonCancel->setText(QString::fromStdString(m_pStrings->GetString(14)));
}

QPlainTextEdit* QuillonWizardDlg::StatusBox() const
{
    return m_pUi->editStatus;
}

QPushButton* QuillonWizardDlg::CancelButton() const
{
    return m_pUi->buttonCancel;
}

int QuillonWizardDlg::DoModal()
{
    CStopSignalGuard stopSignals;
    ClearStopRequest();
    m_bStopSignalled = false;
    CStopSignalWatcher stopWatcher(this);
    connect(&stopWatcher, &CStopSignalWatcher::StopRequested, this,
            &QuillonWizardDlg::OnStopSignal);

    setResult(0);
    if (!m_run.Start())
    {
        return m_bStopSignalled ? RESULT_CANCELLED : m_run.Result();
    }
    // Our own loop rather than exec(): hiding a dialog would end exec()'s loop, and the run
    // hides this window while it polls.
    setWindowModality(Qt::ApplicationModal);
    show();
    if (!m_run.IsEnded() && result() == 0)
    {
        QEventLoop loop;
        m_pLoop = &loop;
        loop.exec(QEventLoop::DialogExec);
        m_pLoop = nullptr;
    }
    if (m_nTimerId != 0)
    {
        killTimer(m_nTimerId);
        m_nTimerId = 0;
    }
    m_progress.Finish();
    hide();
    if (m_bStopSignalled)
    {
        return RESULT_CANCELLED;
    }
    return m_run.IsEnded() ? m_run.Result() : result();
}

void QuillonWizardDlg::OnStopSignal()
{
    // The watcher has closed any box already: whatever the run meets on its way out, a stop
    // signal ends it with the cancel result.
    m_bStopSignalled = true;
    m_run.Cancel();
}

void QuillonWizardDlg::done(int nResult)
{
    if (m_nTimerId != 0)
    {
        killTimer(m_nTimerId);
        m_nTimerId = 0;
    }
    QDialog::done(nResult);
    if (m_pLoop != nullptr)
    {
        m_pLoop->exit(nResult);
    }
}

void QuillonWizardDlg::reject()
{
    if (m_run.IsEnded())
    {
        return;
    }
    m_run.Cancel();
    if (!m_run.IsEnded() && !m_run.IsTransferring())
    {
        done(RESULT_CANCELLED);
    }
}

void QuillonWizardDlg::keyPressEvent(QKeyEvent* pEvent)
{
    const bool bReturn = pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter;
    const bool bPlain = (pEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (!bReturn || !bPlain)
    {
        QDialog::keyPressEvent(pEvent);
        return;
    }
    // Return presses the focused button; anywhere else it is the dialog's OK (result 1), which
    // waits for no block on the wire.
    if (auto* pButton = qobject_cast<QPushButton*>(focusWidget()))
    {
        pButton->click();
    }
    else if (!m_run.IsEnded() && !m_run.IsTransferring())
    {
        done(1);
    }
}

void QuillonWizardDlg::OnSysCommand(unsigned nId)
{
    // A block on the wire cannot wait for the About box to close.
    if ((nId & 0xFFF0) == IDM_ABOUTBOX && !m_run.IsTransferring())
    {
        CAboutDlg about(this, m_pPrompts);
        about.exec();
    }
}

void QuillonWizardDlg::OnLinkClick(const QString& strUrl)
{
    static_cast<void>(m_pPrompts->OpenUrl(strUrl));
}

void QuillonWizardDlg::contextMenuEvent(QContextMenuEvent* pEvent)
{
    m_pWindowMenu->popup(pEvent->globalPos());
}

void QuillonWizardDlg::timerEvent(QTimerEvent* pEvent)
{
    if (pEvent->timerId() != m_nTimerId || m_nTimerId == 0)
    {
        QDialog::timerEvent(pEvent);
        return;
    }
    // Killed first: no tick can start while this one runs, also under an error box.
    killTimer(m_nTimerId);
    m_nTimerId = 0;
    m_run.OnTimer();
}

void QuillonWizardDlg::SetStatusText(const std::string& strText)
{
    m_pUi->editStatus->setPlainText(QString::fromStdString(strText));
}

void QuillonWizardDlg::ShowErrorBox(const std::string& strText, const std::string& strCaption,
                                    bool bSystemModal)
{
    m_progress.Finish();
    m_pPrompts->ShowMessage(this, QString::fromStdString(strText),
                            QString::fromStdString(strCaption),
                            bSystemModal ? EMessageIcon::None : EMessageIcon::Error);
}

void QuillonWizardDlg::SetVisible(bool bVisible)
{
    if (bVisible)
    {
        showNormal();
    }
    else
    {
        hide();
    }
}

void QuillonWizardDlg::SetCancelCaption(const std::string& strCaption)
{
    m_pUi->buttonCancel->setText(QString::fromStdString(strCaption));
}

int QuillonWizardDlg::StartPollTimer()
{
    m_nTimerId = startTimer(WIZARD_POLL_PERIOD);
    return m_nTimerId != 0 ? 0 : EAGAIN;
}

void QuillonWizardDlg::EndDialog(int nResult)
{
    done(m_bStopSignalled ? RESULT_CANCELLED : nResult);
}

bool QuillonWizardDlg::OnTransferProgress(uint64_t nDone, uint64_t nTotal)
{
    m_progress.Update(nDone, nTotal);
    // Let Cancel and the close box be heard while a long block moves.
    if (!m_pumpClock.isValid() || m_pumpClock.elapsed() >= PUMP_INTERVAL_MS)
    {
        m_pumpClock.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return true;
}
