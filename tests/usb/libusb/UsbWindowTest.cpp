// The main window with a board on the emulated USB bus: its operations, and its status bar
// following the board as it is plugged in and pulled out.

#include "EmulatedUsbBoard.h"

#include "lang/LanguageStrings.h"
#include "ui/ScriptedPrompts.h"
#include "ui/main/DlgStatusBar.h"
#include "ui/main/QuillonDlg.h"
#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBackend.h"

#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{
// One bus for the whole program, as on a real machine: the window starts the program's own USB
// backend, which stays for the rest of the process and must keep seeing the same bus.
CUsbTestbed& SharedTestbed()
{
    static CUsbTestbed testbed;
    return testbed;
}

class UsbWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_files.isValid());
        // No virtual boards: only the USB board can answer.
        qputenv("QUILLON_BOARD_DIR", (m_files.path() + QStringLiteral("/boards")).toUtf8());
        CLanguageStrings::Instance().Reset();
    }
    void TearDown() override
    {
        m_pDlg.reset();
        qunsetenv("QUILLON_BOARD_DIR");
    }
    void OpenWindow() { m_pDlg = std::make_unique<CQuillonDlg>(nullptr, &m_prompts); }
    QString StatusText() const { return m_pDlg->StatusBar()->PaneText(0); }
    bool WaitForStatus(const QString& strPart)
    {
        for (int i = 0; i < 250 && !StatusText().contains(strPart); ++i)
        {
            QTest::qWait(20);
        }
        return StatusText().contains(strPart);
    }

    QTemporaryDir m_files;
    CEmulatedUsbBoard m_board{SharedTestbed(), {}};
    CUsbBackend m_backend;
    CPipeBackendOverride m_use{{&m_backend}};
    CScriptedPrompts m_prompts;
    std::unique_ptr<CQuillonDlg> m_pDlg;
};

TEST_F(UsbWindowTest, SendAndVersionWorkAsWithAVirtualBoard)
{
    m_board.Plug();
    OpenWindow();
    const QString strPath = m_files.filePath(QStringLiteral("image.bin"));
    QByteArray image(70001, '\0');
    for (int i = 0; i < image.size(); ++i)
    {
        image[i] = static_cast<char>(i * 31);
    }
    QFile file(strPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(image) == image.size());
    file.close();

    m_pDlg->findChild<QLineEdit*>(QStringLiteral("editFileName"))->setText(strPath);
    m_pDlg->OnSend();
    EXPECT_TRUE(m_prompts.m_messages.empty());
    EXPECT_EQ(m_pDlg->LogText(),
              QStringLiteral("Sending file: ") + strPath +
                  QStringLiteral("\r\nFile size: 70001 bytes. \r\nFile sent. \r\n"));
    const std::vector<uint8_t> memory = m_board.Memory();
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(memory.data()),
                         static_cast<qsizetype>(memory.size())),
              image);

    m_pDlg->OnGetFirmwareVersion();
    EXPECT_TRUE(m_pDlg->LogText().contains(QString::fromLatin1(Bootloader::DEFAULT_BANNER)));
}

TEST_F(UsbWindowTest, StatusBarFollowsTheBoardInAndOut)
{
    m_board.Unplug();
    ASSERT_TRUE(m_backend.Start()) << "no hotplug on the emulated bus";
    OpenWindow();
    EXPECT_FALSE(m_pDlg->OnDeviceChange());
    const QString strEmpty = StatusText();

    m_board.Plug();
    EXPECT_TRUE(WaitForStatus(QStringLiteral("Plinth Bootloader (Corvane)")))
        << "status after plugging in: " << StatusText().toStdString();
    EXPECT_EQ(m_pDlg->StatusBar()->PaneText(1),
              QStringLiteral("Bootloader: ") + QString::fromLatin1(Bootloader::DEFAULT_BANNER));

    m_board.Unplug();
    EXPECT_TRUE(WaitForStatus(strEmpty))
        << "status after pulling out: " << StatusText().toStdString();
}
} // namespace

int main(int argc, char** argv)
{
    if (!RunningUnderUmockdev(argc, argv))
    {
        std::fprintf(stderr, "umockdev-wrapper is missing: USB window tests skipped\n");
        return 77;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
