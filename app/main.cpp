// The program's entry point: the application object with the Qt faces of its modes. The
// QApplication is made only when a window is about to be shown, so a console-only run never
// opens a display.

#include "app/QuillonApp.h"
#include "ui/common/ProgramIcon.h"
#include "ui/main/QuillonDlg.h"
#include "ui/wizard/QuillonWizardDlg.h"

#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <memory>

namespace
{
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

private:
    void EnsureApplication()
    {
        if (!m_pApplication)
        {
            m_pApplication = std::make_unique<QApplication>(m_argc, m_argv);
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
    // A board or a reader that goes away must give a failed write, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    CQuillonQtApp app(argc, argv);
    app.InitInstance();
    return app.ExitInstance();
}
