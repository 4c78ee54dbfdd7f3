// The program's entry point: the application object with the Qt faces of its modes. The
// QApplication is made only when a window is about to be shown, so a console-only run never
// opens a display.

#include "app/QuillonApp.h"
#include "ui/common/ProgramIcon.h"
#include "ui/main/QuillonDlg.h"
#include "ui/station/StationWnd.h"
#include "ui/wizard/QuillonWizardDlg.h"
#include "ui/wizard/StopSignals.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{
// While the QApplication is made, a display that cannot be opened is a fatal message of Qt's,
// which would abort the process; say what is wrong and end with the no-display code instead.
void OnMessageWhileStarting(QtMsgType eType, const QMessageLogContext& context,
                            const QString& strMessage)
{
    if (eType != QtFatalMsg)
    {
        qt_message_output(eType, context, strMessage);
        return;
    }
    std::fprintf(stderr,
                 "quillon: cannot open the display (%s).\nTo flash a board without one, use: "
                 "quillon --headless FILE\n",
                 qPrintable(strMessage.simplified()));
    std::_Exit(EXIT_NO_DISPLAY);
}

class CQuillonQtApp : public CQuillonApp
{
public:
    CQuillonQtApp(int& argc, char** argv)
        : CQuillonApp(argv[0], std::vector<std::string>(argv + 1, argv + argc)), m_argc(argc),
          m_argv(argv)
    {
    }

protected:
    void ShowStartupMessage(const std::string& strText, const std::string& strCaption) override
    {
        if (IsConsoleOnly())
        {
            CQuillonApp::ShowStartupMessage(strText, strCaption);
            return;
        }
        EnsureApplication();
        QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(strCaption),
                        QString::fromStdString(strText), QMessageBox::Ok);
        box.exec();
    }

    int RunMainWindow() override
    {
        EnsureApplication();
        // SIGINT and SIGTERM close the window like its close box, quiet execute included.
        CStopSignalGuard stopSignals;
        ClearStopRequest();
        CQuillonDlg dialog;
        return dialog.exec();
    }

    int RunWizardWindow(const CCustomCommandLineInfo& cmdInfo,
                        const CWizardOptions& options) override
    {
        EnsureApplication();
        QuillonWizardDlg wizard(cmdInfo, nullptr, nullptr, options);
        return wizard.DoModal();
    }

    int RunStationWindow(const CStationOptions& options) override
    {
        EnsureApplication();
        CStopSignalGuard stopSignals;
        ClearStopRequest();
        return CStationWnd::RunStation(options);
    }

private:
    void EnsureApplication()
    {
        if (!m_pApplication)
        {
            const QtMessageHandler fnPrevious = qInstallMessageHandler(OnMessageWhileStarting);
            m_pApplication = std::make_unique<QApplication>(m_argc, m_argv);
            qInstallMessageHandler(fnPrevious);
            QApplication::setApplicationName(QString::fromStdString(m_strAppName));
            QApplication::setWindowIcon(ProgramIcon());
        }
    }

    int& m_argc;
    char** m_argv;
    std::unique_ptr<QApplication> m_pApplication;
};
} // namespace

int main(int argc, char** argv)
{
    return RunQuillonProgram([&] { return std::make_unique<CQuillonQtApp>(argc, argv); });
}
