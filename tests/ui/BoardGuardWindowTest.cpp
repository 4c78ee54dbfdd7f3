// The main window with a board that another process holds, a registry it must ignore, and a
// board whose text would drive a terminal.

#include "ui/MainWindowFixture.h"
#include "usb/BoardLock.h"

#include <sys/stat.h>

namespace
{
class CBoardGuardWindowTest : public CMainWindowTest
{
public:
    // The fake board at a real directory, so that it can be locked like a virtual board.
    void AttachLockableBoard()
    {
        m_board.m_strPath = m_files.path().toStdString();
        AttachBoard();
    }
};

struct CBusyCase
{
    const char* m_pszName;
    void (*m_fnPrepare)(CBoardGuardWindowTest& test);
    void (CQuillonDlg::*m_pfnOperation)();
};

const CBusyCase BUSY_CASES[] = {
    {"Send",
     [](CBoardGuardWindowTest& t)
     { t.FileNameBox()->setText(t.WriteFile(QStringLiteral("a.bin"), QByteArray(16, 'a'))); },
     &CQuillonDlg::OnSend},
    {"Receive",
     [](CBoardGuardWindowTest& t)
     {
         t.SizeBox()->setText(QStringLiteral("16"));
         t.m_prompts.m_saveAnswers = {t.FilePath(QStringLiteral("out.bin"))};
     },
     &CQuillonDlg::OnReceive},
    {"FirmwareVersion", [](CBoardGuardWindowTest&) {}, &CQuillonDlg::OnGetFirmwareVersion},
    {"Execute", [](CBoardGuardWindowTest&) {}, &CQuillonDlg::OnExecute},
};

TEST_F(CBoardGuardWindowTest, OperationsOnAHeldBoardSayItIsBusyAndSendNothing)
{
    AttachLockableBoard();
    CBoardLock lock = CBoardLock::TryLock(m_board.m_strPath);
    ASSERT_TRUE(lock.IsHeld());
    for (const CBusyCase& testCase : BUSY_CASES)
    {
        m_prompts.m_messages.clear();
        testCase.m_fnPrepare(*this);
        (m_pDlg.get()->*testCase.m_pfnOperation)();
        ASSERT_EQ(m_prompts.m_messages.size(), 1u) << testCase.m_pszName;
        EXPECT_TRUE(m_prompts.m_messages[0].m_strText.contains(QStringLiteral("busy")))
            << testCase.m_pszName << ": " << m_prompts.m_messages[0].m_strText.toStdString();
        EXPECT_EQ(m_prompts.m_messages[0].m_strCaption, ERROR_CAPTION);
    }
    // The status bar says who holds it instead of asking its version; closing sends no execute.
    m_pDlg->OnDeviceChange();
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(1),
              QStringLiteral("Bootloader: (board in use by another process)"));
    EXPECT_EQ(Wire(), "");

    // Once released, the status bar looks again by itself and operations reach the board.
    lock.Release();
    EXPECT_TRUE(QTest::qWaitFor(
        [&]()
        { return m_pDlg->StatusBar()->PaneText(1) == QStringLiteral("Bootloader: Plinth BL 2.0"); },
        5000));
    m_pDlg->OnExecute();
    EXPECT_EQ(Wire(), "vvx");

    lock = CBoardLock::TryLock(m_board.m_strPath);
    ASSERT_TRUE(lock.IsHeld());
    m_prompts.m_messages.clear();
    m_pDlg->done(0);
    EXPECT_TRUE(m_prompts.m_messages.empty());
    EXPECT_EQ(Wire(), "vvx");
}

TEST_F(CBoardGuardWindowTest, UntrustedRegistryIsNamedBeneathNoArmDeviceFound)
{
    const std::string strRegistry = (m_registry.path() + QStringLiteral("/boards")).toStdString();
    ::mkdir(strRegistry.c_str(), 0700); // the window's watcher may have made it already
    ASSERT_EQ(::chmod(strRegistry.c_str(), 0777), 0);
    m_pDlg->OnExecute();
    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    const QString strText = m_prompts.m_messages[0].m_strText;
    EXPECT_TRUE(strText.startsWith(QStringLiteral("No ARM device found!\n\n")))
        << strText.toStdString();
    EXPECT_TRUE(
        strText.contains(QStringLiteral("chmod 700 ") + QString::fromStdString(strRegistry)))
        << strText.toStdString();
}

TEST_F(CBoardGuardWindowTest, BoardTextIsShownWithoutControls)
{
    m_board.m_strDescription = "\x1b[2JBench\tA";
    m_board.m_strVersionReply = std::string("\x1b]0;t\x07\rBL\0\0\0\0\0\0\0", 14);
    AttachBoard();
    m_pDlg->OnDeviceChange();
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(0), QStringLiteral("Connected to: ?[2JBench?A"));
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(1), QStringLiteral("Bootloader: ?]0;t??BL"));

    m_pDlg->OnGetFirmwareVersion();
    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    EXPECT_EQ(m_prompts.m_messages[0].m_strText,
              QStringLiteral("Current firmware version is: ?]0;t??BL"));
    SizeBox()->setText(QStringLiteral("4"));
    m_prompts.m_saveAnswers = {FilePath(QStringLiteral("out.bin"))};
    m_pDlg->OnReceive();
    EXPECT_TRUE(
        m_pDlg->LogText().contains(QStringLiteral("Receving data from device: ?[2JBench?A\r\n")))
        << m_pDlg->LogText().toStdString();
    EXPECT_FALSE(m_pDlg->LogText().contains(QChar(0x1b)));
}
} // namespace
