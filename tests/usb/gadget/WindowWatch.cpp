// The main window as a user has it, watched from outside: prints "status: PANE0 | PANE1" each
// time its status bar changes and "message: TEXT" for every message box it shows (answered at
// once), and ends as the window does (SIGTERM closes it, with its quiet execute). The USB
// scenarios of the test machine run it against gadgets on the kernel's bus.

#include "ui/ScriptedPrompts.h"
#include "ui/main/DlgStatusBar.h"
#include "ui/main/QuillonDlg.h"
#include "ui/wizard/StopSignals.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    // As the program runs its window: SIGINT and SIGTERM close it, quiet execute included.
    CStopSignalGuard stopSignals;
    ClearStopRequest();
    CScriptedPrompts prompts;
    CQuillonDlg dlg(nullptr, &prompts);
    prompts.m_fnOnMessage = [&]()
    {
        std::printf("message: %s\n", qPrintable(prompts.m_messages.back().m_strText));
        std::fflush(stdout);
    };
    QString strShown;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout,
                     [&]()
                     {
                         const CDlgStatusBar* pStatus = dlg.StatusBar();
                         const QString strText =
                             pStatus->PaneText(0) + QStringLiteral(" | ") + pStatus->PaneText(1);
                         if (strText != strShown)
                         {
                             strShown = strText;
                             std::printf("status: %s\n", qPrintable(strText));
                             std::fflush(stdout);
                         }
                     });
    watch.start(20);
    const int nResult = dlg.exec();
    std::printf("closed: %d\n", nResult);
    return nResult;
}
