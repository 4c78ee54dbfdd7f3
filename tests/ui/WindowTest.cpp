// The window itself: device changes, the closing routes and their results, help, the window
// menu, and a long transfer that keeps the window painted.
#include "support/ModalWidgets.h"
#include "ui/MainWindowFixture.h"
#include "ui/main/DeviceWatcher.h"
#include "ui/wizard/StopSignals.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QProgressBar>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <csignal>
#include <thread>

namespace
{
const QString CONNECT_TEXT =
    QStringLiteral("Please connect the VELD/ARM and put it into program mode.");
const QString NO_DEVICE_TEXT = QStringLiteral("No Device Connected     \t\n");
const QString OLD_FIRMWARE_TEXT =
    QStringLiteral("Your borad has an old firmware and cannot be programed!");
const std::string EXECUTE_DONE_LOG = "Sending execute command... Done! \r\n";

std::string VersionReply(const std::string& strText)
{
    std::string strReply = strText;
    strReply.resize(VERSION_REPLY_SIZE, '\0');
    return strReply;
}

// A key pressed while the focus is in pWidget.
void KeyInto(QWidget* pWidget, Qt::Key nKey, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    pWidget->setFocus();
    QTest::keyClick(pWidget, nKey, modifiers);
}

// Runs fnRoute inside the modal loop and returns the loop's result; a route that does not
// close the window is answered by 99.
int RunModal(CQuillonDlg& dlg, const std::function<void()>& fnRoute)
{
    QTimer::singleShot(0, &dlg, fnRoute);
    QTimer::singleShot(300, &dlg, [&dlg]() { dlg.done(99); });
    return dlg.exec();
}
} // namespace

TEST_F(CMainWindowTest, PanesKeepTheirStartTextsUntilADeviceChange)
{
    AttachBoard();
    m_pDlg->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(0), CONNECT_TEXT);
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(1), NO_DEVICE_TEXT);
    EXPECT_TRUE(m_board.m_calls.empty());
}

TEST_F(CMainWindowTest, DeviceChangeShowsTheBoardAndResetsWhenItLeaves)
{
    AttachBoard();
    EXPECT_TRUE(m_pDlg->OnDeviceChange());
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(0), QStringLiteral("Connected to: Plinth fake board"));
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(1), QStringLiteral("Bootloader: Plinth BL 2.0"));
    EXPECT_EQ(Wire(), "vv");

    m_backend.m_boards.clear();
    EXPECT_FALSE(m_pDlg->OnDeviceChange());
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(0), CONNECT_TEXT);
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(1), NO_DEVICE_TEXT);
    EXPECT_TRUE(m_prompts.m_messages.empty());
}

TEST_F(CMainWindowTest, OldBannerInAnyLetterCaseClosesTheWindowWithZero)
{
    const struct
    {
        std::string m_strBanner;
        bool m_bRefused;
    } cases[] = {
        {"quillon V1.0c", true},   {"QUILLON V1.0C", true}, {"QuIlLoN v1.0C", true},
        {"quillon V1.0d", false},  {"quillon V1.0", false}, {"quillon V1.0cc", false},
        {"quillon  V1.0c", false},
    };
    for (const auto& row : cases)
    {
        SCOPED_TRACE(row.m_strBanner);
        TearDown();
        m_board = CFakeBoard();
        m_prompts = CScriptedPrompts();
        SetUp();
        AttachBoard();
        m_board.m_strVersionReply = VersionReply(row.m_strBanner);
        QStringList panesAtBox;
        m_prompts.m_fnOnMessage = [&]()
        {
            panesAtBox = {m_pDlg->StatusBar()->PaneText(0), m_pDlg->StatusBar()->PaneText(1),
                          m_pDlg->isVisible() ? "visible" : "hidden"};
        };
        bool bAccepted = true;
        const int nResult = RunModal(*m_pDlg, [&]() { bAccepted = m_pDlg->OnDeviceChange(); });

        if (!row.m_bRefused)
        {
            EXPECT_TRUE(bAccepted);
            EXPECT_EQ(nResult, 99);
            EXPECT_EQ(Wire(), "vvx"); // the quiet execute of the test's own close
            continue;
        }
        EXPECT_FALSE(bAccepted);
        EXPECT_EQ(nResult, 0);
        ASSERT_EQ(m_prompts.m_messages.size(), 1u);
        EXPECT_EQ(m_prompts.m_messages[0].m_strText, OLD_FIRMWARE_TEXT);
        EXPECT_EQ(m_prompts.m_messages[0].m_strCaption, QStringLiteral("Error"));
        EXPECT_EQ(panesAtBox, (QStringList{"Connected to: Plinth fake board",
                                           "Bootloader: " + QString::fromStdString(row.m_strBanner),
                                           "visible"}));
        EXPECT_EQ(Wire(), "vvx");
        EXPECT_EQ(m_pDlg->LogText().toStdString(), EXECUTE_DONE_LOG);
    }
}

TEST_F(CMainWindowTest, OldFirmwareTextsAndAboutItemComeFromTheLanguageFile)
{
    QFile ini(FilePath("quillon.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[LANG_GERMAN]\nid=1\n12=\n46=Fehler\n47=Alte Firmware!\n");
    ini.close();
    CLanguageStrings::Instance().Open(ini.fileName().toStdString(), LANGUAGE_GERMAN);
    CQuillonDlg dlg(nullptr, &m_prompts);
    AttachBoard();
    m_board.m_strVersionReply = VersionReply("Quillon v1.0C");
    EXPECT_EQ(RunModal(dlg, [&]() { dlg.OnDeviceChange(); }), 0);
    ASSERT_FALSE(m_prompts.m_messages.empty());
    EXPECT_EQ(m_prompts.m_messages[0].m_strText, QStringLiteral("Alte Firmware!"));
    EXPECT_EQ(m_prompts.m_messages[0].m_strCaption, QStringLiteral("Fehler"));
    for (const QAction* pAction : dlg.WindowMenu()->actions())
    {
        EXPECT_NE(pAction->data().toUInt(), IDM_ABOUTBOX) << pAction->text().toStdString();
    }
    CLanguageStrings::Instance().Reset();
}

TEST_F(CMainWindowTest, WindowMenuEndsWithSeparatorAndAboutItem)
{
    const QList<QAction*> actions = m_pDlg->WindowMenu()->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), QStringLiteral("&About"));
    EXPECT_EQ(actions.back()->data().toUInt(), IDM_ABOUTBOX);
}

TEST_F(CMainWindowTest, ClosingRoutesGiveTheirResultsAndExecuteQuietly)
{
    const struct
    {
        const char* m_pszRoute;
        std::function<void(CMainWindowTest&)> m_fnRoute;
        int m_nResult;
    } routes[] = {
        {"Exit button", [](CMainWindowTest& t) { t.ExitButton()->click(); }, 0},
        {"menu Exit", [](CMainWindowTest& t) { t.Child<QAction>("actionExit")->trigger(); }, 0},
        {"Esc", [](CMainWindowTest& t) { KeyInto(t.FileNameBox(), Qt::Key_Escape); }, 2},
        {"Return on Browse",
         [](CMainWindowTest& t) { KeyInto(t.Child<QPushButton>("buttonBrowse"), Qt::Key_Return); },
         99},
        {"close box", [](CMainWindowTest& t) { t.m_pDlg->close(); }, 2},
        {"Return in file name",
         [](CMainWindowTest& t) { KeyInto(t.FileNameBox(), Qt::Key_Return); }, 1},
        {"Enter in size box",
         [](CMainWindowTest& t) { KeyInto(t.SizeBox(), Qt::Key_Enter, Qt::KeypadModifier); }, 1},
        {"Return in the log",
         [](CMainWindowTest& t) { KeyInto(t.Child<QPlainTextEdit>("editLog"), Qt::Key_Return); },
         99},
    };
    for (const auto& route : routes)
    {
        for (const bool bBoard : {false, true})
        {
            SCOPED_TRACE(std::string(route.m_pszRoute) + (bBoard ? ", board" : ", no board"));
            TearDown();
            m_backend.m_boards.clear();
            m_board = CFakeBoard();
            m_prompts = CScriptedPrompts();
            SetUp();
            if (bBoard)
            {
                AttachBoard();
            }
            FileNameBox()->setText(QStringLiteral("typed.bin"));
            EXPECT_EQ(RunModal(*m_pDlg, [&]() { route.m_fnRoute(*this); }), route.m_nResult);
            EXPECT_TRUE(m_prompts.m_messages.empty());
            EXPECT_EQ(Wire(), bBoard ? "x" : "");
            EXPECT_EQ(m_pDlg->LogText().toStdString(), bBoard ? EXECUTE_DONE_LOG : "");
            EXPECT_EQ(m_pDlg->SelectedFile(),
                      route.m_nResult == 1 ? QStringLiteral("typed.bin") : QString());
        }
    }
}

TEST_F(CMainWindowTest, QuietExecuteStillReportsAWrongReply)
{
    AttachBoard();
    m_board.m_nFaultStep = 0;
    m_board.m_nWrongReplyAtStep = '?';
    EXPECT_EQ(RunModal(*m_pDlg, [&]() { m_pDlg->OnExit(); }), 0);
    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    EXPECT_EQ(m_prompts.m_messages[0].m_strText, QStringLiteral("Bad response from device!"));
}

TEST_F(CMainWindowTest, F1WithoutModifiersAndHelpTopicsOpenTheGuide)
{
    ShowWithFocusOnExit();
    const struct
    {
        Qt::KeyboardModifiers m_modifiers;
        bool m_bOpens;
    } keys[] = {{Qt::NoModifier, true},
                {Qt::ShiftModifier, false},
                {Qt::ControlModifier, false},
                {Qt::AltModifier, false}};
    for (const auto& key : keys)
    {
        m_prompts.m_urls.clear();
        QTest::keyClick(FileNameBox(), Qt::Key_F1, key.m_modifiers);
        ASSERT_EQ(m_prompts.m_urls.size(), key.m_bOpens ? 1u : 0u) << key.m_modifiers;
    }
    QTest::keyClick(FileNameBox(), Qt::Key_F1);
    Child<QAction>("actionTopics")->trigger();
    ASSERT_EQ(m_prompts.m_urls.size(), 2u);
    EXPECT_EQ(m_prompts.m_urls[0], m_prompts.m_urls[1]);
    EXPECT_TRUE(m_prompts.m_urls[0].startsWith(QStringLiteral("file:///")));
    EXPECT_TRUE(QFile::exists(QUrl(m_prompts.m_urls[0]).toLocalFile()));
    EXPECT_TRUE(m_prompts.m_messages.empty());

    m_prompts.m_bOpenUrlWorks = false;
    Child<QAction>("actionTopics")->trigger();
    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    EXPECT_EQ(m_prompts.m_messages[0].m_strText, QStringLiteral("Failed to launch help."));
    EXPECT_TRUE(m_pDlg->isVisible());
}

// A board whose blocks move in slow pieces, reporting progress between them.
class CSlowBackend : public IPipeBackend
{
public:
    explicit CSlowBackend(CFakePipeBackend& inner) : m_inner(inner) {}
    std::vector<CInterfaceEntry> ListInterfaces() override { return m_inner.ListInterfaces(); }
    bool OwnsPipeName(const std::string& strName) const override
    {
        return m_inner.OwnsPipeName(strName);
    }
    std::unique_ptr<IPipe> OpenPipe(const std::string& strName, int* pError) override;
    std::function<void(int)> m_fnBetweenPieces;

private:
    CFakePipeBackend& m_inner;
};

class CSlowPipe : public IPipe
{
public:
    CSlowPipe(std::unique_ptr<IPipe> pInner, CSlowBackend& backend)
        : m_pInner(std::move(pInner)), m_backend(backend)
    {
    }
    uint32_t Read(void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        if (pProgress == nullptr || nCount < 8)
        {
            return m_pInner->Read(pBuffer, nCount, nullptr);
        }
        uint32_t nDone = 0;
        for (int nPiece = 0; nPiece < 8; ++nPiece)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            const uint32_t nSize = nPiece == 7 ? nCount - nDone : nCount / 8;
            nDone += m_pInner->Read(static_cast<char*>(pBuffer) + nDone, nSize, nullptr);
            if (m_backend.m_fnBetweenPieces)
            {
                m_backend.m_fnBetweenPieces(nPiece);
            }
            if (!(*pProgress)(nDone, nCount))
            {
                break;
            }
        }
        return nDone;
    }
    uint32_t Write(const void* pBuffer, uint32_t nCount, const PipeProgress* pProgress) override
    {
        if (pProgress == nullptr || nCount < 8)
        {
            return m_pInner->Write(pBuffer, nCount, nullptr);
        }
        uint32_t nDone = 0;
        for (int nPiece = 0; nPiece < 8; ++nPiece)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            const uint32_t nSize = nPiece == 7 ? nCount - nDone : nCount / 8;
            nDone += m_pInner->Write(static_cast<const char*>(pBuffer) + nDone, nSize, nullptr);
            if (m_backend.m_fnBetweenPieces)
            {
                m_backend.m_fnBetweenPieces(nPiece);
            }
            if (!(*pProgress)(nDone, nCount))
            {
                break;
            }
        }
        return nDone;
    }
    int LastError() const override { return m_pInner->LastError(); }

private:
    std::unique_ptr<IPipe> m_pInner;
    CSlowBackend& m_backend;
};

std::unique_ptr<IPipe> CSlowBackend::OpenPipe(const std::string& strName, int* pError)
{
    std::unique_ptr<IPipe> pPipe = m_inner.OpenPipe(strName, pError);
    return pPipe ? std::make_unique<CSlowPipe>(std::move(pPipe), *this) : nullptr;
}

TEST_F(CMainWindowTest, LongReceivePaintsShowsProgressAndHoldsDeviceChangesBack)
{
    CSlowBackend slow(m_backend);
    CPipeBackendOverride guard({&slow});
    AttachBoard();
    m_board.m_memory.assign(4000, 0x11);
    m_pDlg->show();
    int nPaints = 0;
    bool bProgressSeen = false;
    slow.m_fnBetweenPieces = [&](int nPiece)
    {
        if (nPiece == 2)
        {
            NotifyDeviceChange(); // as a USB backend's thread would, mid-transfer
        }
    };
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout,
                     [&]()
                     {
                         ++nPaints;
                         bProgressSeen = bProgressSeen || m_pDlg->StatusBar()->IsProgressVisible();
                     });
    probe.start(20);
    SizeBox()->setText(QStringLiteral("4000"));
    m_prompts.m_saveAnswers = {FilePath("slow.bin")};
    m_pDlg->OnReceive();
    probe.stop();

    EXPECT_GT(nPaints, 5);
    EXPECT_TRUE(bProgressSeen);
    EXPECT_FALSE(m_pDlg->StatusBar()->IsProgressVisible());
    EXPECT_EQ(ReadFile(FilePath("slow.bin")), QByteArray(4000, 0x11));
    EXPECT_EQ(Wire(), std::string("R\xA0\x0F\x00\x00", 5)); // nothing else during the block
    EXPECT_TRUE(QTest::qWaitFor([&]() { return Wire().size() == 7; }, 2000));
    EXPECT_EQ(Wire().substr(5), "vv");
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(0), QStringLiteral("Connected to: Plinth fake board"));
}

// Input given to the window while a transfer runs, queued as the window system queues it.
void PostClick(QWidget* pWidget)
{
    const QPointF centre = QRectF(pWidget->rect()).center();
    const QPointF global = pWidget->mapToGlobal(centre);
    for (QEvent::Type eType : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
    {
        QCoreApplication::postEvent(
            pWidget,
            new QMouseEvent(eType, centre, global, Qt::LeftButton,
                            eType == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                            Qt::NoModifier));
    }
}

void PostKey(QWidget* pWidget, Qt::Key nKey)
{
    for (QEvent::Type eType : {QEvent::KeyPress, QEvent::KeyRelease})
    {
        QCoreApplication::postEvent(pWidget, new QKeyEvent(eType, nKey, Qt::NoModifier));
    }
}

TEST_F(CMainWindowTest, InputDuringASendIsDroppedAndTheControlsAreDisabled)
{
    const struct
    {
        const char* m_pszInput;
        std::function<void(CMainWindowTest&)> m_fnInput;
    } inputs[] = {
        {"click on Send",
         [](CMainWindowTest& t) { PostClick(t.Child<QPushButton>("buttonSend")); }},
        {"Space on Send",
         [](CMainWindowTest& t) { PostKey(t.Child<QPushButton>("buttonSend"), Qt::Key_Space); }},
        {"Return in the file name",
         [](CMainWindowTest& t) { PostKey(t.FileNameBox(), Qt::Key_Return); }},
        {"Esc", [](CMainWindowTest& t) { PostKey(t.FileNameBox(), Qt::Key_Escape); }},
        {"click on Exit", [](CMainWindowTest& t) { PostClick(t.ExitButton()); }},
    };
    const QByteArray image(4000, 0x5A);
    for (const auto& input : inputs)
    {
        SCOPED_TRACE(input.m_pszInput);
        TearDown();
        m_board = CFakeBoard();
        m_prompts = CScriptedPrompts();
        SetUp();
        CSlowBackend slow(m_backend);
        CPipeBackendOverride guard({&slow});
        AttachBoard();
        FileNameBox()->setText(WriteFile(QStringLiteral("image.bin"), image));
        m_pDlg->show();
        QPushButton* pSend = Child<QPushButton>("buttonSend");
        pSend->setFocus();
        QStringList disabledDuring;
        bool bGiven = false;
        slow.m_fnBetweenPieces = [&](int nPiece)
        {
            if (nPiece == 2 && !bGiven)
            {
                bGiven = true;
                for (QWidget* pControl :
                     std::initializer_list<QWidget*>{FileNameBox(), pSend, SizeBox(), ExitButton(),
                                                     m_pDlg->findChild<QMenuBar*>()})
                {
                    if (!pControl->isEnabled())
                    {
                        disabledDuring << pControl->objectName();
                    }
                }
                input.m_fnInput(*this);
            }
        };
        m_pDlg->OnSend();
        QTest::qWait(200);

        EXPECT_EQ(disabledDuring.join(QLatin1Char(' ')).toStdString(),
                  "editFileName buttonSend editFileSize buttonExit menuBar");
        EXPECT_TRUE(m_pDlg->isVisible());
        // One send command and its data, nothing after it.
        EXPECT_EQ(Wire().size(), 5u + image.size());
        EXPECT_TRUE(Wire() == "s" + std::string("\xA0\x0F\x00\x00", 4) + image.toStdString());
        EXPECT_EQ(m_pDlg->LogText().count(QStringLiteral("File sent.")), 1);
        EXPECT_TRUE(pSend->isEnabled() && m_pDlg->findChild<QMenuBar*>()->isEnabled());
        EXPECT_EQ(m_pDlg->focusWidget(), pSend);
        EXPECT_TRUE(m_prompts.m_messages.empty());
    }
}

void PrintTo(const QRect& rect, std::ostream* pOut)
{
    *pOut << rect.x() << "," << rect.y() << " " << rect.width() << "x" << rect.height();
}

TEST_F(CMainWindowTest, ProgressBarTakesNoSpaceFromTheWindow)
{
    AttachBoard();
    m_pDlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
    auto places = [&]()
    {
        QCoreApplication::processEvents();
        return QList<QRect>{Child<QPlainTextEdit>("editLog")->geometry(),
                            ExitButton()->geometry(),
                            m_pDlg->StatusBar()->geometry(),
                            Child<QLabel>("pane0")->geometry(),
                            Child<QLabel>("pane1")->geometry(),
                            m_pDlg->geometry()};
    };
    const QList<QRect> before = places();
    m_pDlg->StatusBar()->ShowProgress(1, 2);
    ASSERT_TRUE(m_pDlg->StatusBar()->IsProgressVisible());
    EXPECT_EQ(places(), before);
    // The bar lies inside the window, wide enough for its text: "100%" is never cut.
    const auto* pBar = Child<QProgressBar>("transferProgress");
    const QRect bar(pBar->mapTo(m_pDlg.get(), QPoint(0, 0)), pBar->size());
    EXPECT_TRUE(m_pDlg->rect().contains(bar))
        << bar.x() << "+" << bar.width() << " in " << m_pDlg->width();
    EXPECT_GE(pBar->width(), 3 * pBar->fontMetrics().horizontalAdvance(QStringLiteral("100%")));
    m_pDlg->StatusBar()->ShowProgress(0, 0);
    EXPECT_EQ(places(), before);
}

TEST_F(CMainWindowTest, StopSignalClosesTheWindowLikeTheCloseBoxInEveryState)
{
    const struct
    {
        const char* m_pszState;
        int m_nSignal;
        // Starts the state inside the modal run; the signal comes once m_pszModal is on top
        // (no class name: the window itself), or between the pieces of a slow send.
        std::function<void(CQuillonDlg&)> m_fnStart;
        const char* m_pszModal;
        bool m_bSlowSend;
    } states[] = {
        {"idle", SIGTERM, [](CQuillonDlg&) {}, "", false},
        {"message box", SIGINT, [](CQuillonDlg& dlg) { dlg.OnSend(); }, "QMessageBox", false},
        {"file dialog", SIGTERM, [](CQuillonDlg& dlg) { dlg.OnBrowse(); }, "QFileDialog", false},
        {"About box", SIGINT, [](CQuillonDlg& dlg) { dlg.OnAbout(); }, "CAboutDlg", false},
        {"send", SIGTERM, [](CQuillonDlg& dlg) { dlg.OnSend(); }, nullptr, true},
    };
    const QByteArray image(4000, 0x3C);
    for (const auto& state : states)
    {
        SCOPED_TRACE(state.m_pszState);
        m_board = CFakeBoard();
        AttachBoard();
        CSlowBackend slow(m_backend);
        std::unique_ptr<CPipeBackendOverride> pSlow;
        if (state.m_bSlowSend)
        {
            pSlow = std::make_unique<CPipeBackendOverride>(std::vector<IPipeBackend*>{&slow});
            slow.m_fnBetweenPieces = [&](int nPiece)
            {
                if (nPiece == 2)
                {
                    raise(state.m_nSignal);
                }
            };
        }
        CStopSignalGuard stopSignals;
        ClearStopRequest();
        // The real boxes and dialogs: the signal must get through their own loops.
        CQuillonDlg dlg;
        if (state.m_bSlowSend)
        {
            dlg.findChild<QLineEdit*>(QStringLiteral("editFileName"))
                ->setText(WriteFile(QStringLiteral("image.bin"), image));
        }
        bool bSignalled = false;
        QElapsedTimer clock;
        clock.start();
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout,
                         [&]()
                         {
                             const QWidget* pModal = QApplication::activeModalWidget();
                             const bool bReady =
                                 state.m_pszModal != nullptr && pModal != nullptr &&
                                 (*state.m_pszModal == '\0' ? pModal == &dlg
                                                            : pModal->inherits(state.m_pszModal));
                             if (!bSignalled && bReady)
                             {
                                 bSignalled = true;
                                 raise(state.m_nSignal);
                             }
                             else if (clock.elapsed() > 8000)
                             {
                                 CloseModalWidgets(&dlg);
                                 dlg.done(99);
                             }
                         });
        probe.start(20);
        QTimer::singleShot(0, &dlg, [&]() { state.m_fnStart(dlg); });

        const int nResult = dlg.exec();
        probe.stop();

        EXPECT_EQ(nResult, 2);
        EXPECT_LT(clock.elapsed(), 7000);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        if (state.m_bSlowSend)
        {
            // The block abandoned, and no execute after the part that went.
            EXPECT_EQ(Wire().substr(0, 5), "s" + std::string("\xA0\x0F\x00\x00", 4));
            EXPECT_LT(Wire().size(), 5 + image.size());
            EXPECT_EQ(Wire().find('x', 5), std::string::npos);
            EXPECT_TRUE(dlg.LogText().isEmpty());
        }
        else
        {
            EXPECT_EQ(Wire(), "x"); // the quiet execute of every closing route
        }
        ClearStopRequest();
    }
}

TEST(CDeviceWatcherTest, OneSignalPerArrivalAndRemovalOfAVirtualBoard)
{
    QTemporaryDir registry;
    ASSERT_TRUE(registry.isValid());
    const QString strBoards = registry.filePath(QStringLiteral("boards"));
    qputenv("QUILLON_BOARD_DIR", strBoards.toUtf8());
    CDeviceWatcher watcher;
    qunsetenv("QUILLON_BOARD_DIR");
    ASSERT_TRUE(watcher.RegistryError().isEmpty()) << watcher.RegistryError().toStdString();
    QSignalSpy spy(&watcher, &CDeviceWatcher::DevicesChanged);

    // A board is built under a hidden name and renamed when ready.
    QDir boards(strBoards);
    ASSERT_TRUE(boards.mkdir(QStringLiteral(".b0")));
    QTest::qWait(100);
    EXPECT_EQ(spy.count(), 0);
    ASSERT_TRUE(boards.rename(QStringLiteral(".b0"), QStringLiteral("b0")));
    EXPECT_TRUE(spy.wait(2000));
    QTest::qWait(100);
    EXPECT_EQ(spy.count(), 1);

    ASSERT_TRUE(boards.rmdir(QStringLiteral("b0")));
    EXPECT_TRUE(spy.wait(2000));
    QTest::qWait(100);
    EXPECT_EQ(spy.count(), 2);
}

TEST(CDeviceWatcherTest, BackendNotificationsArriveOnTheWindowThread)
{
    QTemporaryDir registry;
    qputenv("QUILLON_BOARD_DIR", registry.filePath(QStringLiteral("boards")).toUtf8());
    auto pWatcher = std::make_unique<CDeviceWatcher>();
    qunsetenv("QUILLON_BOARD_DIR");
    QThread* pReceivedOn = nullptr;
    QObject::connect(pWatcher.get(), &CDeviceWatcher::DevicesChanged,
                     [&]() { pReceivedOn = QThread::currentThread(); });
    std::thread backend([]() { NotifyDeviceChange(); });
    backend.join();
    EXPECT_TRUE(QTest::qWaitFor([&]() { return pReceivedOn != nullptr; }, 2000));
    EXPECT_EQ(pReceivedOn, QThread::currentThread());

    pWatcher.reset();
    std::thread late([]() { NotifyDeviceChange(); }); // no receiver left: nothing happens
    late.join();
    QCoreApplication::processEvents();
}

TEST(CDeviceWatcherTest, UsbPollingSignalsOnlyWhenTheUsbBoardsChange)
{
    QTemporaryDir registry;
    qputenv("QUILLON_BOARD_DIR", registry.filePath(QStringLiteral("boards")).toUtf8());
    CDeviceWatcher watcher;
    qunsetenv("QUILLON_BOARD_DIR");
    CFakeBoard usbBoard;
    usbBoard.m_strPath = "usb:1-2";
    CFakeBoard virtualBoard;
    virtualBoard.m_strPath = "/registry/b0";
    CFakePipeBackend backend;
    CPipeBackendOverride guard({&backend});
    QSignalSpy spy(&watcher, &CDeviceWatcher::DevicesChanged);

    watcher.PollUsbBoards(); // learns the empty bus
    backend.m_boards = {&virtualBoard};
    watcher.PollUsbBoards(); // virtual boards have their own watch
    EXPECT_EQ(spy.count(), 0);
    backend.m_boards = {&usbBoard, &virtualBoard};
    watcher.PollUsbBoards();
    EXPECT_EQ(spy.count(), 1);
    watcher.PollUsbBoards();
    EXPECT_EQ(spy.count(), 1);
    backend.m_boards = {&virtualBoard};
    watcher.PollUsbBoards();
    EXPECT_EQ(spy.count(), 2);
}

TEST(CVirtualBoardWindowTest, WindowWorksAgainstTheBoardProgramEndToEnd)
{
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString strRegistry = work.filePath(QStringLiteral("boards"));
    QByteArray memory(5000, '\0');
    for (qsizetype i = 0; i < memory.size(); ++i)
    {
        memory[i] = static_cast<char>((i * 31) ^ (i >> 8));
    }
    QFile memoryFile(work.filePath(QStringLiteral("memory.bin")));
    ASSERT_TRUE(memoryFile.open(QIODevice::WriteOnly) && memoryFile.write(memory) == 5000);
    memoryFile.close();

    qputenv("QUILLON_BOARD_DIR", strRegistry.toUtf8());
    CScriptedPrompts prompts;
    CQuillonDlg dlg(nullptr, &prompts);

    QProcess board;
    board.start(QStringLiteral(QUILLON_BUILD_DIR "/quillon-board"),
                {"--registry", strRegistry, "--memory", memoryFile.fileName(), "--log",
                 work.filePath(QStringLiteral("wire.log")), "--board", "demo=Plinth demo board"});
    ASSERT_TRUE(board.waitForStarted(5000));
    // The arrival reaches the window through the registry watcher.
    EXPECT_TRUE(QTest::qWaitFor(
        [&]() { return dlg.StatusBar()->PaneText(1).startsWith(QStringLiteral("Bootloader: P")); },
        5000));
    EXPECT_EQ(dlg.StatusBar()->PaneText(0), QStringLiteral("Connected to: Plinth demo board"));
    EXPECT_EQ(dlg.StatusBar()->PaneText(1), QStringLiteral("Bootloader: Plinth BL 2.1"));

    dlg.findChild<QLineEdit*>(QStringLiteral("editFileSize"))->setText(QStringLiteral("5000"));
    prompts.m_saveAnswers = {work.filePath(QStringLiteral("received.bin"))};
    dlg.OnReceive();
    QFile received(work.filePath(QStringLiteral("received.bin")));
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), memory);
    dlg.OnGetFirmwareVersion();
    dlg.OnExecute();
    EXPECT_EQ(RunModal(dlg, [&]() { dlg.OnExit(); }), 0);
    ASSERT_EQ(prompts.m_messages.size(), 1u);
    EXPECT_EQ(prompts.m_messages[0].m_strText,
              QStringLiteral("Current firmware version is: Plinth BL 2.1"));
    EXPECT_EQ(dlg.LogText(), QStringLiteral("Receving data from device: Plinth demo board\r\n"
                                            "File size: 5000 bytes. \r\nFile Received. \r\n"
                                            "Reading version information... \r\n"
                                            "Current firmware version is: Plinth BL 2.1 \r\n"
                                            "Sending execute command... Done! \r\n"
                                            "Sending execute command... Done! \r\n"));

    board.terminate();
    EXPECT_TRUE(board.waitForFinished(5000));
    EXPECT_FALSE(QDir(strRegistry).exists(QStringLiteral("demo")));
    qunsetenv("QUILLON_BOARD_DIR");
}
