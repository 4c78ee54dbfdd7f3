#include "ui/main/QuillonDlg.h"

#include "lang/LanguageStrings.h"
#include "ui/common/ProgramIcon.h"
#include "ui/common/StopSignalWatcher.h"
#include "ui/common/UserPrompts.h"
#include "ui/main/AboutDlg.h"
#include "ui/main/DeviceWatcher.h"
#include "ui/main/DlgStatusBar.h"
#include "ui/wizard/StopSignals.h"
#include "ui_QuillonDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <iostream>

namespace
{
const unsigned INDICATORS[] = {IDS_CONNECT_BOARD, IDS_NO_DEVICE};

// The language string of the About item.
constexpr int IDS_ABOUT_ITEM = 12;

// How often the status bar looks again at a board that another process holds.
constexpr int BUSY_BOARD_RETRY_MS = 500;

// The clicks and keys that an operation drops instead of replaying them after its end.
bool IsUserInput(QEvent::Type eType)
{
    switch (eType)
    {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
        return true;
    default:
        return false;
    }
}
} // namespace

CQuillonDlg::CQuillonDlg(QWidget* pParent, CUserPrompts* pPrompts)
    : QDialog(pParent), m_pUi(std::make_unique<Ui::QuillonDlg>()),
      m_pPrompts(pPrompts != nullptr ? pPrompts : &DefaultUserPrompts()),
      m_pStrings(&CLanguageStrings::Instance()), m_pIndicators(INDICATORS), m_nIndicators(2)
{
    m_pUi->setupUi(this);
    layout()->setMenuBar(m_pUi->menuBar);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(ProgramIcon());

    // No button is the default one: Return presses the focused button, and in a text box it
    // takes the dialog's OK route (see keyPressEvent).
    for (QPushButton* pButton : findChildren<QPushButton*>())
    {
        pButton->setAutoDefault(false);
        pButton->setDefault(false);
    }

    // The original size box takes digits only as typed; pasted text goes in unchanged.
    m_pUi->editFileSize->installEventFilter(this);

    BuildWindowMenu();

    m_pUi->statusBar->SetIndicators(m_pIndicators, m_nIndicators);

    connect(m_pUi->buttonBrowse, &QPushButton::clicked, this, &CQuillonDlg::OnBrowse);
    connect(m_pUi->actionSelectFile, &QAction::triggered, this, &CQuillonDlg::OnBrowse);
    connect(m_pUi->buttonSend, &QPushButton::clicked, this, &CQuillonDlg::OnSend);
    connect(m_pUi->buttonExit, &QPushButton::clicked, this, &CQuillonDlg::OnExit);
    connect(m_pUi->buttonReceive, &QPushButton::clicked, this, &CQuillonDlg::OnReceive);
    connect(m_pUi->actionExit, &QAction::triggered, this, &CQuillonDlg::OnExit);
    connect(m_pUi->actionAbout, &QAction::triggered, this, &CQuillonDlg::OnAbout);
    connect(m_pUi->actionTopics, &QAction::triggered, this, &CQuillonDlg::OnHelpTopics);

    connect(m_pUi->actionSendToArm, &QAction::triggered, this, &CQuillonDlg::OnSend);
    connect(m_pUi->actionReceiveFromArm, &QAction::triggered, this, &CQuillonDlg::OnReceive);
    connect(m_pUi->actionGetFirmwareVersion, &QAction::triggered, this,
            &CQuillonDlg::OnGetFirmwareVersion);
    connect(m_pUi->actionExecute, &QAction::triggered, this, &CQuillonDlg::OnExecute);

    m_pBusyBoardRetry = new QTimer(this);
    m_pBusyBoardRetry->setSingleShot(true);
    m_pBusyBoardRetry->setInterval(BUSY_BOARD_RETRY_MS);
    connect(m_pBusyBoardRetry, &QTimer::timeout, this, &CQuillonDlg::OnDevicesChangedSignal);

    m_pDeviceWatcher = new CDeviceWatcher(this);
    connect(m_pDeviceWatcher, &CDeviceWatcher::DevicesChanged, this,
            &CQuillonDlg::OnDevicesChangedSignal);

    m_pStopWatcher = new CStopSignalWatcher(this);
    connect(m_pStopWatcher, &CStopSignalWatcher::StopRequested, this, &CQuillonDlg::OnStopSignal);
}

CQuillonDlg::~CQuillonDlg() = default;

void CQuillonDlg::BuildWindowMenu()
{
    m_pWindowMenu = new QMenu(this);
    m_pWindowMenu->setObjectName(QStringLiteral("windowMenu"));
    m_pWindowMenu->addAction(QStringLiteral("Mi&nimize"), this, &QWidget::showMinimized);
    m_pWindowMenu->addAction(QStringLiteral("&Close\tAlt+F4"), this, &QWidget::close);
    const QString strAbout = QString::fromStdString(m_pStrings->GetString(IDS_ABOUT_ITEM));
    if (!strAbout.isEmpty())
    {
        m_pWindowMenu->addSeparator();
        QAction* pAbout = m_pWindowMenu->addAction(strAbout);
        pAbout->setData(IDM_ABOUTBOX);
        connect(pAbout, &QAction::triggered, this, [this]() { OnSysCommand(IDM_ABOUTBOX); });
    }
}

CDlgStatusBar* CQuillonDlg::StatusBar() const
{
    return m_pUi->statusBar;
}

void CQuillonDlg::showEvent(QShowEvent* pEvent)
{
    QDialog::showEvent(pEvent);
    m_bClosed = false;
}

void CQuillonDlg::OnSysCommand(unsigned nId)
{
    if ((nId & 0xFFF0) == IDM_ABOUTBOX)
    {
        OnAbout();
    }
}

void CQuillonDlg::OnAbout()
{
    CAboutDlg dlg(this, m_pPrompts);
    dlg.exec();
}

void CQuillonDlg::OnExit()
{
    done(0);
}

void CQuillonDlg::accept()
{
    m_strSelectedFile = m_pUi->editFileName->text();
    done(1);
}

void CQuillonDlg::reject()
{
    done(2);
}

void CQuillonDlg::done(int nResult)
{
    // After a stop signal every route out is the close box's.
    QDialog::done(m_bStopRequested ? 2 : nResult);
    if (m_bClosed)
    {
        return;
    }
    m_bClosed = true;
    // A block abandoned half way leaves the bootloader waiting for the rest of it; an execute
    // command now would be taken as data, or start an image that was only partly sent.
    if (m_bBoardInDoubt)
    {
        return;
    }
    if (m_bStopRequested)
    {
        // The request was served by closing; the execute's own waits must not take it as theirs.
        ClearStopRequest();
    }
    ExecuteOnBoard(true);
}

void CQuillonDlg::OnStopSignal()
{
    m_bStopRequested = true;
    if (m_bTransferring)
    {
        m_bBoardInDoubt = true;
    }
    // A running operation first winds down (its block abandoned); its end closes the window.
    if (m_nBusy == 0)
    {
        QMetaObject::invokeMethod(this, &CQuillonDlg::CloseOnStop, Qt::QueuedConnection);
    }
}

void CQuillonDlg::CloseOnStop()
{
    if (!m_bClosed && m_nBusy == 0)
    {
        done(2);
    }
}

void CQuillonDlg::closeEvent(QCloseEvent* pEvent)
{
    // A transfer in progress lets paint events through; it cannot be abandoned half way.
    if (m_nBusy > 0)
    {
        pEvent->ignore();
        return;
    }
    QDialog::closeEvent(pEvent);
}

void CQuillonDlg::keyPressEvent(QKeyEvent* pEvent)
{
    const Qt::KeyboardModifiers held =
        pEvent->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    if (pEvent->key() == Qt::Key_F1)
    {
        if (held == Qt::NoModifier)
        {
            OnHelpTopics();
        }
        return;
    }
    if (pEvent->key() == Qt::Key_Space && held == Qt::AltModifier)
    {
        m_pWindowMenu->popup(mapToGlobal(QPoint(0, 0)));
        return;
    }
    if ((pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) &&
        held == Qt::NoModifier)
    {
        // Return presses the focused button; the log keeps it; anywhere else it is OK.
        QWidget* pFocus = focusWidget();
        if (auto* pButton = qobject_cast<QPushButton*>(pFocus))
        {
            pButton->click();
        }
        else if (pFocus != m_pUi->editLog)
        {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(pEvent);
}

void CQuillonDlg::contextMenuEvent(QContextMenuEvent* pEvent)
{
    m_pWindowMenu->popup(pEvent->globalPos());
}

bool CQuillonDlg::eventFilter(QObject* pObject, QEvent* pEvent)
{
    if (m_nBusy > 0 && IsUserInput(pEvent->type()))
    {
        const auto* pWidget = qobject_cast<QWidget*>(pObject);
        const bool bThisWindow =
            pWidget != nullptr ? pWidget->window() == this : pObject == windowHandle();
        if (bThisWindow)
        {
            // An accepted override keeps a shortcut from firing; the key itself is dropped.
            pEvent->setAccepted(pEvent->type() == QEvent::ShortcutOverride);
            return true;
        }
    }
    if (pObject == m_pUi->editFileSize && pEvent->type() == QEvent::KeyPress)
    {
        const auto* pKey = static_cast<QKeyEvent*>(pEvent);
        const QString strText = pKey->text();
        const bool bPrintable = !strText.isEmpty() && strText.at(0).isPrint();
        const bool bShortcut = pKey->modifiers() & (Qt::ControlModifier | Qt::AltModifier);
        if (bPrintable && !bShortcut && !strText.at(0).isDigit())
        {
            QApplication::beep();
            return true;
        }
    }
    return QDialog::eventFilter(pObject, pEvent);
}

void CQuillonDlg::ShowError(const QString& strText)
{
    // A window closing on a stop signal opens no box that would wait for a click.
    if (m_bStopRequested || StopRequested())
    {
        std::cerr << ERROR_CAPTION << ": " << strText.toStdString() << std::endl;
        return;
    }
    m_pPrompts->ShowMessage(this, strText, QString::fromLatin1(ERROR_CAPTION), EMessageIcon::Error);
}

void CQuillonDlg::AppendToLog(const QString& strText)
{
    m_strLog += strText;
    QString strShown = m_strLog;
    strShown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_pUi->editLog->setPlainText(strShown);
}

void CQuillonDlg::OnDevicesChangedSignal()
{
    if (m_bClosed || m_bStopRequested)
    {
        return;
    }
    if (m_nBusy > 0)
    {
        m_bDeviceChangePending = true;
        return;
    }
    OnDeviceChange();
}

QString CQuillonDlg::FindHelpFile()
{
    const QString strProgramDir = QCoreApplication::applicationDirPath();
    const QString candidates[] = {
        strProgramDir + QStringLiteral("/help/"),
        strProgramDir + QStringLiteral("/../share/doc/quillon/html/"),
    };
    for (const QString& strDir : candidates)
    {
        const QFileInfo info(strDir + QString::fromLatin1(HELP_START_PAGE));
        if (info.isFile())
        {
            return QDir::cleanPath(info.absoluteFilePath());
        }
    }
    return QString();
}

void CQuillonDlg::OnHelpTopics()
{
    const QString strHelp = FindHelpFile();
    if (strHelp.isEmpty() || !m_pPrompts->OpenUrl(QUrl::fromLocalFile(strHelp).toString()))
    {
        m_pPrompts->ShowMessage(this, QStringLiteral("Failed to launch help."),
                                QString::fromLatin1(INFO_CAPTION), EMessageIcon::Error);
    }
}
