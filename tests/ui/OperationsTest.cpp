// The board operations of the main window: error boxes and the focus they leave, log lines,
// the size rules of Receive, and what reaches the board and the disk.
#include "ui/MainWindowFixture.h"

#include <QDir>

#include <csignal>
#include <sys/resource.h>

namespace
{
enum class EFocus
{
    Unchanged,
    FileName,
    Size,
};

struct CErrorCase
{
    const char* m_pszName;
    std::function<void(CMainWindowTest&)> m_fnArrange;
    void (CQuillonDlg::*m_pfnOperation)();
    QString m_strText;
    EFocus m_eFocus;
};
} // namespace

TEST_F(CMainWindowTest, EveryErrorBoxHasItsTextCaptionAndFocus)
{
    using T = CMainWindowTest;
    auto fileOf = [](const QByteArray& data)
    {
        return [data](T& t)
        {
            t.AttachBoard();
            t.FileNameBox()->setText(t.WriteFile("image.bin", data));
        };
    };
    auto sizeOf = [](const QString& strSize, bool bBoard)
    {
        return [strSize, bBoard](T& t)
        {
            if (bBoard)
            {
                t.AttachBoard();
            }
            t.SizeBox()->setText(strSize);
            t.m_prompts.m_saveAnswers = {t.FilePath("out.bin")};
        };
    };
    const CErrorCase cases[] = {
        {"send, no file name", [](T& t) { t.AttachBoard(); }, &CQuillonDlg::OnSend,
         "You must select a file to sent", EFocus::FileName},
        {"send, missing file",
         [](T& t)
         {
             t.AttachBoard();
             t.FileNameBox()->setText(t.FilePath("missing.bin"));
         },
         &CQuillonDlg::OnSend, "File does not exist or cannot be accesed!", EFocus::FileName},
        {"send, a directory", [](T& t) { t.FileNameBox()->setText(t.m_files.path()); },
         &CQuillonDlg::OnSend, "File does not exist or cannot be accesed!", EFocus::FileName},
        {"send, empty file", fileOf(QByteArray()), &CQuillonDlg::OnSend, "Cannot read file!",
         EFocus::Unchanged},
        {"send, no board", [](T& t) { t.FileNameBox()->setText(t.WriteFile("a.bin", "abc")); },
         &CQuillonDlg::OnSend, "No ARM device found!", EFocus::Unchanged},
        {"send, wrong final reply",
         [fileOf](T& t)
         {
             fileOf("abc")(t);
             t.m_board.m_nFaultStep = 2;
             t.m_board.m_nWrongReplyAtStep = '!';
         },
         &CQuillonDlg::OnSend, "Bad response from device, cannot send file!", EFocus::Unchanged},
        {"receive, empty size", sizeOf("", true), &CQuillonDlg::OnReceive,
         "You must enter the valid file size!", EFocus::Size},
        {"receive, 0", sizeOf("0", true), &CQuillonDlg::OnReceive, "Number parsing error!",
         EFocus::Size},
        {"receive, -0", sizeOf("-0", true), &CQuillonDlg::OnReceive, "Number parsing error!",
         EFocus::Size},
        {"receive, blanks", sizeOf("   ", true), &CQuillonDlg::OnReceive, "Number parsing error!",
         EFocus::Size},
        {"receive, letters", sizeOf("abc", true), &CQuillonDlg::OnReceive, "Number parsing error!",
         EFocus::Size},
        {"receive, 102401", sizeOf("102401", true), &CQuillonDlg::OnReceive,
         "Can receive maximum of 100Kb from device", EFocus::Unchanged},
        {"receive, -5", sizeOf("-5", true), &CQuillonDlg::OnReceive,
         "Can receive maximum of 100Kb from device", EFocus::Unchanged},
        {"receive, 4294967296", sizeOf("4294967296", true), &CQuillonDlg::OnReceive,
         "Can receive maximum of 100Kb from device", EFocus::Unchanged},
        {"receive, no board", sizeOf("16", false), &CQuillonDlg::OnReceive, "No ARM device found!",
         EFocus::Unchanged},
        {"receive, short block",
         [sizeOf](T& t)
         {
             sizeOf("16", true)(t);
             t.m_board.m_nShortDataBy = 1;
         },
         &CQuillonDlg::OnReceive, "Bad response from device, cannot receive file!",
         EFocus::Unchanged},
        {"receive, folder missing",
         [sizeOf](T& t)
         {
             sizeOf("16", true)(t);
             t.m_prompts.m_saveAnswers = {t.FilePath("no/such/dir/out.bin")};
         },
         &CQuillonDlg::OnReceive, "File cannot be created!!", EFocus::Unchanged},
        {"version, no board", [](T&) {}, &CQuillonDlg::OnGetFirmwareVersion, "No ARM device found!",
         EFocus::Unchanged},
        {"version, no reply",
         [](T& t)
         {
             t.AttachBoard();
             t.m_board.m_strVersionReply.clear();
         },
         &CQuillonDlg::OnGetFirmwareVersion, "Bad response from device, cannot read version!",
         EFocus::Unchanged},
        {"execute, no board", [](T&) {}, &CQuillonDlg::OnExecute, "No ARM device found!",
         EFocus::Unchanged},
        {"execute, wrong reply",
         [](T& t)
         {
             t.AttachBoard();
             t.m_board.m_nFaultStep = 0;
             t.m_board.m_nWrongReplyAtStep = '>';
         },
         &CQuillonDlg::OnExecute, "Bad response from device!", EFocus::Unchanged},
    };
    for (const CErrorCase& row : cases)
    {
        SCOPED_TRACE(row.m_pszName);
        TearDown();
        m_backend.m_boards.clear();
        m_board = CFakeBoard();
        m_prompts = CScriptedPrompts();
        SetUp();
        ShowWithFocusOnExit();
        m_pDlg->AppendToLog(QStringLiteral("earlier\r\n"));
        row.m_fnArrange(*this);

        (m_pDlg.get()->*row.m_pfnOperation)();

        ASSERT_EQ(m_prompts.m_messages.size(), 1u);
        EXPECT_EQ(m_prompts.m_messages[0].m_strText, row.m_strText);
        EXPECT_EQ(m_prompts.m_messages[0].m_strCaption, ERROR_CAPTION);
        EXPECT_EQ(m_prompts.m_messages[0].m_eIcon, EMessageIcon::Error);
        EXPECT_EQ(m_pDlg->LogText(), QStringLiteral("earlier\r\n"));
        QWidget* pExpected = ExitButton();
        if (row.m_eFocus != EFocus::Unchanged)
        {
            pExpected = row.m_eFocus == EFocus::FileName ? FileNameBox() : SizeBox();
        }
        EXPECT_EQ(m_pDlg->focusWidget(), pExpected);
        EXPECT_FALSE(QFile::exists(FilePath("out.bin")));
    }
}

TEST_F(CMainWindowTest, SendLogsThreeLinesAndPutsTheFileOnTheWire)
{
    AttachBoard();
    const QString strPath = WriteFile("three.bin", "\x01\x02\x03");
    FileNameBox()->setText(strPath);
    m_pDlg->OnSend();

    EXPECT_TRUE(m_prompts.m_messages.empty());
    EXPECT_EQ(m_pDlg->LogText(), QStringLiteral("Sending file: ") + strPath +
                                     QStringLiteral("\r\nFile size: 3 bytes. \r\nFile sent. \r\n"));
    EXPECT_EQ(Wire(), std::string("s\x03\x00\x00\x00\x01\x02\x03", 8));
    EXPECT_EQ(m_board.m_memory, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(m_board.m_nOpenPipes, 0);
}

TEST_F(CMainWindowTest, SendRefusesFilesTheLengthFieldCannotCarry)
{
    AttachBoard();
    for (const qint64 nSize : {qint64(1) << 32, (qint64(1) << 32) + 3})
    {
        SCOPED_TRACE(nSize);
        m_prompts.m_messages.clear();
        QFile file(FilePath("huge.bin"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.resize(nSize)); // sparse
        file.close();
        FileNameBox()->setText(file.fileName());
        m_pDlg->OnSend();
        ASSERT_EQ(m_prompts.m_messages.size(), 1u);
        EXPECT_EQ(m_prompts.m_messages[0].m_strText, QStringLiteral("Cannot read file!"));
        EXPECT_TRUE(m_board.m_hostToBoard.empty());
        EXPECT_TRUE(m_pDlg->LogText().isEmpty());
    }
}

TEST_F(CMainWindowTest, ReceiveAcceptedSizesWriteTheBlockAndLogTheTextAsTyped)
{
    AttachBoard();
    m_board.m_memory.resize(MAX_RECEIVE_SIZE);
    for (size_t i = 0; i < m_board.m_memory.size(); ++i)
    {
        m_board.m_memory[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const struct
    {
        QString m_strTyped;
        uint32_t m_nBytes;
    } cases[] = {{"102400", 102400}, {"12abc", 12}, {" +7", 7}, {"1", 1}};
    for (const auto& row : cases)
    {
        SCOPED_TRACE(row.m_strTyped.toStdString());
        m_board.m_hostToBoard.clear();
        m_prompts.m_saveAnswers = {FilePath("block.bin")};
        const QString strBefore = m_pDlg->LogText();
        SizeBox()->setText(row.m_strTyped);
        m_pDlg->OnReceive();

        EXPECT_TRUE(m_prompts.m_messages.empty());
        EXPECT_EQ(m_pDlg->LogText(),
                  strBefore +
                      QStringLiteral("Receving data from device: Plinth fake board\r\n"
                                     "File size: ") +
                      row.m_strTyped + QStringLiteral(" bytes. \r\nFile Received. \r\n"));
        const std::string strLength(reinterpret_cast<const char*>(&row.m_nBytes), 4);
        EXPECT_EQ(Wire(), "R" + strLength);
        EXPECT_EQ(ReadFile(FilePath("block.bin")),
                  QByteArray(reinterpret_cast<const char*>(m_board.m_memory.data()),
                             static_cast<qsizetype>(row.m_nBytes)));
    }
    EXPECT_EQ(m_prompts.m_strSuffix, QStringLiteral("bin"));
    EXPECT_TRUE(m_prompts.m_strFilter.contains(QStringLiteral("*.bin")));
}

TEST_F(CMainWindowTest, ReceiveCancelledInSaveAsTouchesNoBoard)
{
    AttachBoard();
    SizeBox()->setText(QStringLiteral("64"));
    m_pDlg->OnReceive();
    EXPECT_EQ(m_prompts.m_nSaveDialogs, 1);
    EXPECT_TRUE(m_prompts.m_messages.empty());
    EXPECT_EQ(m_backend.m_nListCalls, 0);
    EXPECT_TRUE(m_board.m_calls.empty());
    EXPECT_TRUE(m_pDlg->LogText().isEmpty());
}

TEST_F(CMainWindowTest, ReceiveReplacesAFileOnlyWhenTheWholeBlockWasWritten)
{
    AttachBoard();
    m_board.m_memory.assign(8000, 0x5A);
    const QString strTarget = WriteFile("target.bin", "old-content");
    SizeBox()->setText(QStringLiteral("8000"));

    // A file-size limit makes the disk refuse the block part way through.
    rlimit previous{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 4096;
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    m_prompts.m_saveAnswers = {strTarget};
    m_pDlg->OnReceive();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, SIG_DFL);

    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    EXPECT_EQ(m_prompts.m_messages[0].m_strText, QStringLiteral("File cannot be created!!"));
    EXPECT_EQ(ReadFile(strTarget), QByteArray("old-content"));
    EXPECT_EQ(
        QDir(m_files.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("target.bin")});
    EXPECT_TRUE(m_pDlg->LogText().isEmpty());

    m_prompts.m_saveAnswers = {strTarget};
    m_pDlg->OnReceive();
    EXPECT_EQ(ReadFile(strTarget), QByteArray(8000, 0x5A));
    EXPECT_EQ(m_prompts.m_messages.size(), 1u);
}

TEST_F(CMainWindowTest, FirmwareVersionShowsTheBoxBeforeTheLogLine)
{
    AttachBoard();
    QString strLogAtBox = QStringLiteral("<no box>");
    m_prompts.m_fnOnMessage = [&]() { strLogAtBox = m_pDlg->LogText(); };
    m_pDlg->OnGetFirmwareVersion();

    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    EXPECT_EQ(m_prompts.m_messages[0].m_strText,
              QStringLiteral("Current firmware version is: Plinth BL 2.0"));
    EXPECT_EQ(m_prompts.m_messages[0].m_strCaption, QStringLiteral("Quillon"));
    EXPECT_EQ(m_prompts.m_messages[0].m_eIcon, EMessageIcon::Information);
    EXPECT_TRUE(strLogAtBox.isEmpty());
    EXPECT_EQ(m_pDlg->LogText(), QStringLiteral("Reading version information... \r\n"
                                                "Current firmware version is: Plinth BL 2.0 \r\n"));
    EXPECT_EQ(Wire(), "v");
}

TEST_F(CMainWindowTest, ExecuteLogsOneLineAfterEachSuccess)
{
    AttachBoard();
    m_pDlg->OnExecute();
    m_pDlg->OnExecute();
    EXPECT_TRUE(m_prompts.m_messages.empty());
    EXPECT_EQ(m_pDlg->LogText(),
              QStringLiteral(
                  "Sending execute command... Done! \r\nSending execute command... Done! \r\n"));
    EXPECT_EQ(Wire(), "xx");
}

TEST_F(CMainWindowTest, SizeBoxRefusesTypedLettersButKeepsPastedText)
{
    SizeBox()->setFocus();
    QTest::keyClicks(SizeBox(), QStringLiteral("1a2 -3"));
    EXPECT_EQ(SizeBox()->text(), QStringLiteral("123"));
    SizeBox()->clear();
    SizeBox()->insert(QStringLiteral("12abc"));
    EXPECT_EQ(SizeBox()->text(), QStringLiteral("12abc"));
}

TEST_F(CMainWindowTest, BrowsePutsTheChosenPathInTheBoxAndCancelKeepsIt)
{
    FileNameBox()->setText(QStringLiteral("typed.bin"));
    m_prompts.m_openAnswers = {QString()};
    m_pDlg->OnBrowse();
    EXPECT_EQ(FileNameBox()->text(), QStringLiteral("typed.bin"));
    m_prompts.m_openAnswers = {QStringLiteral("/images/chosen.bin")};
    m_pDlg->OnBrowse();
    EXPECT_EQ(FileNameBox()->text(), QStringLiteral("/images/chosen.bin"));
    EXPECT_TRUE(m_prompts.m_strFilter.contains(QStringLiteral("*.bin")));
    EXPECT_TRUE(m_board.m_calls.empty());
}
