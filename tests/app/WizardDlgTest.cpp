// The wizard window and the About box offscreen: texts from the language file, the window
// hidden while the first polls run and shown after, the ways to cancel, the Close caption.

#include "ui/common/FileFilter.h"
#include "ui/common/UserPrompts.h"
#include "ui/main/AboutDlg.h"
#include "ui/main/QuillonDlg.h"
#include "ui/wizard/QuillonWizardDlg.h"

#include "lang/LanguageStrings.h"
#include "support/FakePipeBackend.h"
#include "support/ModalWidgets.h"
#include "ui/wizard/StopSignals.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <unistd.h>

namespace
{
class CScriptedPrompts : public CUserPrompts
{
public:
    std::vector<QString> m_messages;
    std::vector<QString> m_urls;

    void ShowMessage(QWidget*, const QString& strText, const QString& strCaption,
                     EMessageIcon) override
    {
        m_messages.push_back(strCaption + "|" + strText);
    }
    QString ChooseOpenFile(QWidget*, const QString&) override { return {}; }
    QString ChooseSaveFile(QWidget*, const QString&, const QString&) override { return {}; }
    bool OpenUrl(const QString& strUrl) override
    {
        m_urls.push_back(strUrl);
        return true;
    }
};

const char LANGUAGE_FILE[] = "[LANG_ENGLISH]\n"
                             "id=ENGB\n"
                             "12=&About the test\n"
                             "13=&Fine\n"
                             "14=&Stop\n"
                             "17=Test wizard\n"
                             "18=About the test\n"
                             "21=%s test version:\n"
                             "30=Plug the test board in\n"
                             "46=Test error\n"
                             "48=&Done\n";

class WizardDlgTest : public ::testing::Test
{
protected:
    CFakePipeBackend m_backend;
    CFakeBoard m_board;
    CPipeBackendOverride m_override{{&m_backend}};
    CScriptedPrompts m_prompts;
    std::string m_strIni;
    std::string m_strFile;
    std::ostringstream m_out;
    std::streambuf* m_pPreviousOut = nullptr;

    void SetUp() override
    {
        m_pPreviousOut = std::cout.rdbuf(m_out.rdbuf());
        m_strIni = TempFile(LANGUAGE_FILE);
        m_strFile = TempFile("image bytes");
        CLanguageStrings::Instance().Reset();
        CLanguageStrings::Instance().Open(m_strIni, LANGUAGE_ENGLISH);
        CWizardRun::s_nPollCount = 0;
    }

    void TearDown() override
    {
        std::cout.rdbuf(m_pPreviousOut);
        CLanguageStrings::Instance().Reset();
        unlink(m_strIni.c_str());
        unlink(m_strFile.c_str());
    }

    static std::string TempFile(const std::string& strContents)
    {
        char szName[] = "/tmp/quillon-wizard-XXXXXX";
        const int fd = mkstemp(szName);
        close(fd);
        std::ofstream(szName, std::ios::binary) << strContents;
        return szName;
    }

    static QString Text(int nId)
    {
        return QString::fromStdString(CLanguageStrings::Instance().GetString(nId));
    }

    CCustomCommandLineInfo CommandLine(const std::string& strFile)
    {
        CCustomCommandLineInfo info;
        info.m_strFileName = strFile;
        return info;
    }
};

TEST_F(WizardDlgTest, TextsComeFromTheLanguageFile)
{
    QuillonWizardDlg dlg(CommandLine(m_strFile), nullptr, &m_prompts);

    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Test wizard"));
    EXPECT_FALSE(dlg.windowIcon().pixmap(32, 32).isNull());
    EXPECT_EQ(dlg.CancelButton()->text(), QStringLiteral("&Stop"));
    EXPECT_EQ(dlg.findChild<QLabel*>(QStringLiteral("labelVersion"))->text(),
              QStringLiteral("Quillon test version:1.2.1.0"));
    QAction* pAbout = nullptr;
    for (QAction* pAction : dlg.WindowMenu()->actions())
    {
        if (pAction->data().toUInt() == IDM_ABOUTBOX)
        {
            pAbout = pAction;
        }
    }
    ASSERT_NE(pAbout, nullptr);
    EXPECT_EQ(pAbout->text(), QStringLiteral("&About the test"));
}

TEST_F(WizardDlgTest, HiddenWhilePollingThenShownUntilCancel)
{
    QuillonWizardDlg dlg(CommandLine(m_strFile), nullptr, &m_prompts);
    bool bVisibleEarly = true;
    bool bVisibleLate = false;
    QString strStatus;
    QTimer::singleShot(450, &dlg, [&]() { bVisibleEarly = dlg.isVisible(); });
    QTimer::singleShot(1500, &dlg,
                       [&]()
                       {
                           bVisibleLate = dlg.isVisible();
                           strStatus = dlg.StatusBox()->toPlainText();
                           QTest::mouseClick(dlg.CancelButton(), Qt::LeftButton);
                       });

    EXPECT_EQ(dlg.DoModal(), RESULT_CANCELLED);
    EXPECT_FALSE(bVisibleEarly);
    EXPECT_TRUE(bVisibleLate);
    EXPECT_EQ(strStatus, Text(30));
    EXPECT_GE(CWizardRun::s_nPollCount, WIZARD_HIDDEN_POLLS);
    EXPECT_FALSE(dlg.isVisible());
}

TEST_F(WizardDlgTest, EscapeAndClosingTheWindowGiveTwo)
{
    const std::vector<std::function<void(QuillonWizardDlg&)>> routes = {
        [](QuillonWizardDlg& dlg) { QTest::keyClick(&dlg, Qt::Key_Escape); },
        [](QuillonWizardDlg& dlg) { dlg.close(); },
    };
    for (size_t i = 0; i < routes.size(); ++i)
    {
        CWizardRun::s_nPollCount = WIZARD_HIDDEN_POLLS; // shown from the first poll
        QuillonWizardDlg dlg(CommandLine(m_strFile), nullptr, &m_prompts);
        QTimer::singleShot(300, &dlg, [&]() { routes[i](dlg); });
        EXPECT_EQ(dlg.DoModal(), RESULT_CANCELLED) << "route " << i;
    }
}

TEST_F(WizardDlgTest, SendLeavesTheCloseCaptionAndTheLastStatus)
{
    m_backend.m_boards.push_back(&m_board);
    QuillonWizardDlg dlg(CommandLine(m_strFile), nullptr, &m_prompts);

    EXPECT_EQ(dlg.DoModal(), RESULT_LOADED);
    EXPECT_EQ(dlg.CancelButton()->text(), QStringLiteral("&Done"));
    EXPECT_EQ(dlg.StatusBox()->toPlainText(), Text(26));
    EXPECT_TRUE(m_prompts.m_messages.empty());
    EXPECT_EQ(std::string(m_board.m_hostToBoard.begin(), m_board.m_hostToBoard.begin() + 3), "vvs");
}

TEST_F(WizardDlgTest, UnloadableFileShowsTheBoxAndGives25WithoutShowing)
{
    QuillonWizardDlg dlg(CommandLine(m_strFile + ".none"), nullptr, &m_prompts);

    EXPECT_EQ(dlg.DoModal(), RESULT_CANNOT_LOAD);
    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    EXPECT_EQ(m_prompts.m_messages[0],
              QStringLiteral("Test error|") + Text(25) + QStringLiteral(" ") +
                  QString::fromStdString(m_strFile + ".none (No such file or directory)"));
    EXPECT_EQ(m_backend.m_nListCalls, 0);
}

TEST_F(WizardDlgTest, AboutBoxTextsLinkAndKeys)
{
    CAboutDlg about(nullptr, &m_prompts);
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About the test"));
    QPushButton* pOk = about.findChild<QPushButton*>(QStringLiteral("buttonOk"));
    ASSERT_NE(pOk, nullptr);
    EXPECT_EQ(pOk->text(), QStringLiteral("&Fine"));
    EXPECT_EQ(about.findChild<QLabel*>(QStringLiteral("labelVersion"))->text(),
              QStringLiteral("Quillon test version:1.2.1.0"));

    QLabel* pLink = about.findChild<QLabel*>(QStringLiteral("labelLink"));
    ASSERT_NE(pLink, nullptr);
    emit pLink->linkActivated(QString::fromLatin1(MAKER_SITE_URL));
    EXPECT_EQ(m_prompts.m_urls, std::vector<QString>{QString::fromLatin1(MAKER_SITE_URL)});

    for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return})
    {
        about.show();
        QTest::keyClick(&about, key);
        EXPECT_FALSE(about.isVisible()) << key;
    }
}

TEST_F(WizardDlgTest, AboutBoxStartsOnOkAndTabsBetweenOkAndTheLink)
{
    CAboutDlg about(nullptr, &m_prompts);
    QPushButton* pOk = about.findChild<QPushButton*>(QStringLiteral("buttonOk"));
    QLabel* pLink = about.findChild<QLabel*>(QStringLiteral("labelLink"));
    ASSERT_TRUE(pOk != nullptr && pLink != nullptr);
    about.show();
    about.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
    EXPECT_TRUE(pOk->isDefault());
    EXPECT_EQ(about.focusWidget(), pOk);

    const struct
    {
        Qt::Key m_nKey;
        Qt::KeyboardModifiers m_modifiers;
        QWidget* m_pFocus;
    } steps[] = {
        {Qt::Key_Tab, Qt::NoModifier, pLink},        {Qt::Key_Tab, Qt::NoModifier, pOk},
        {Qt::Key_Backtab, Qt::ShiftModifier, pLink}, {Qt::Key_Backtab, Qt::ShiftModifier, pOk},
        {Qt::Key_Tab, Qt::NoModifier, pLink},        {Qt::Key_Tab, Qt::NoModifier, pOk},
    };
    for (const auto& step : steps)
    {
        QTest::keyClick(QApplication::focusWidget(), step.m_nKey, step.m_modifiers);
        EXPECT_EQ(about.focusWidget(), step.m_pFocus) << step.m_nKey;
    }
    EXPECT_TRUE(m_prompts.m_urls.empty());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_FALSE(about.isVisible());
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

// A label with one link keeps Tab for its own links: in both windows Tab and Shift+Tab leave it
// for the next control, and come back to it.
TEST_F(WizardDlgTest, TabAndShiftTabLeaveTheLinkOfEitherWindow)
{
    QuillonWizardDlg wizard(CommandLine(m_strFile), nullptr, &m_prompts);
    CAboutDlg about(nullptr, &m_prompts);
    for (QDialog* pDialog : {static_cast<QDialog*>(&wizard), static_cast<QDialog*>(&about)})
    {
        SCOPED_TRACE(pDialog->metaObject()->className());
        QLabel* pLink = pDialog->findChild<QLabel*>(QStringLiteral("labelLink"));
        ASSERT_TRUE(pLink != nullptr);
        pDialog->show();
        pDialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(pDialog));
        pLink->setFocus(Qt::TabFocusReason);
        ASSERT_EQ(pDialog->focusWidget(), pLink);

        QTest::keyClick(pLink, Qt::Key_Tab);
        QWidget* pAfter = pDialog->focusWidget();
        EXPECT_NE(pAfter, pLink);
        QTest::keyClick(pAfter, Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(pDialog->focusWidget(), pLink);
        QTest::keyClick(pLink, Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_NE(pDialog->focusWidget(), pLink);
        pDialog->hide();
    }
    EXPECT_TRUE(m_prompts.m_urls.empty());
}

TEST_F(WizardDlgTest, ReturnIsTheDialogsOkUnlessAButtonHasTheFocus)
{
    const struct
    {
        const char* m_pszCase;
        bool m_bOnCancel;
        Qt::Key m_nKey;
        Qt::KeyboardModifiers m_modifiers;
        int m_nResult;
    } cases[] = {
        {"Return in the status box", false, Qt::Key_Return, Qt::NoModifier, 1},
        {"Enter in the status box", false, Qt::Key_Enter, Qt::KeypadModifier, 1},
        {"Return on Cancel", true, Qt::Key_Return, Qt::NoModifier, RESULT_CANCELLED},
    };
    for (const auto& row : cases)
    {
        CWizardRun::s_nPollCount = WIZARD_HIDDEN_POLLS; // shown from the first poll
        QuillonWizardDlg dlg(CommandLine(m_strFile), nullptr, &m_prompts);
        QTimer::singleShot(300, &dlg,
                           [&]()
                           {
                               QWidget* pTarget = row.m_bOnCancel
                                                      ? static_cast<QWidget*>(dlg.CancelButton())
                                                      : static_cast<QWidget*>(dlg.StatusBox());
                               pTarget->setFocus();
                               QTest::keyClick(pTarget, row.m_nKey, row.m_modifiers);
                           });
        QTimer::singleShot(1500, &dlg, [&]() { dlg.done(99); });
        EXPECT_EQ(dlg.DoModal(), row.m_nResult) << row.m_pszCase;
    }
}

TEST_F(WizardDlgTest, StopSignalUnderAnErrorBoxClosesItAndEndsWithTwo)
{
    const struct
    {
        const char* m_pszCase;
        int m_nFaultStep; // the board's wrong reply; -1 none
        bool m_bMissingFile;
        int m_nSignal;
    } cases[] = {
        {"Send Failed box", 2, false, SIGINT},
        {"execute failure box", 3, false, SIGTERM},
        {"Cannot load file box", -1, true, SIGINT},
    };
    for (const auto& row : cases)
    {
        SCOPED_TRACE(row.m_pszCase);
        m_board = CFakeBoard();
        m_board.m_nFaultStep = row.m_nFaultStep;
        m_board.m_nWrongReplyAtStep = '?';
        m_backend.m_boards = {&m_board};
        // The real boxes: the signal must get through their own loops.
        QuillonWizardDlg dlg(CommandLine(m_strFile + (row.m_bMissingFile ? ".none" : "")));
        bool bBoxSeen = false;
        QElapsedTimer sinceSignal;
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout,
                         [&]()
                         {
                             if (!bBoxSeen && qobject_cast<QMessageBox*>(
                                                  QApplication::activeModalWidget()) != nullptr)
                             {
                                 bBoxSeen = true;
                                 sinceSignal.start();
                                 raise(row.m_nSignal);
                             }
                             else if (bBoxSeen && sinceSignal.elapsed() > 6000)
                             {
                                 CloseModalWidgets(&dlg);
                             }
                         });
        probe.start(20);

        const int nResult = dlg.DoModal();
        probe.stop();

        EXPECT_TRUE(bBoxSeen);
        EXPECT_EQ(nResult, RESULT_CANCELLED);
        EXPECT_LT(sinceSignal.elapsed(), 4000);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        ClearStopRequest();
    }
}

TEST(FileFilterTest, PlatformFiltersBecomeQtFilters)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Binary Files (*.bin)|*.bin|All Files (*.*)|*.*||", "Binary Files (*.bin);;All Files (*)"},
        {"Images|*.bin;*.img||", "Images (*.bin *.img)"},
        {"Binary Files (*.bin);;All Files (*)", "Binary Files (*.bin);;All Files (*)"},
        {"", ""},
    };
    for (const auto& [pszIn, pszOut] : cases)
    {
        EXPECT_EQ(ConvertFileFilter(QString::fromLatin1(pszIn)), QString::fromLatin1(pszOut))
            << pszIn;
    }
}
} // namespace
