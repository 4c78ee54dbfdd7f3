// The main window's Send with firmware files: the flat image on the wire, the conversion line
// and the image's size in the log, a damaged file refused before any board traffic.

#include "ui/MainWindowFixture.h"

namespace
{
// 0x08000000: 01 02, 0x08000004: 03; the flat image is 01 02 FF FF 03.
const char GOOD_HEX[] = ":020000040800F2\n:020000000102FB\n:0100040003F8\n:00000001FF\n";
const char BAD_HEX[] = ":020000040800F2\n:020000000102FB\n:0100040003F9\n:00000001FF\n";

TEST_F(CMainWindowTest, SendPutsAFirmwareFilesFlatImageOnTheWireAndSaysSo)
{
    AttachBoard();
    const QString strPath = WriteFile("firmware.hex", GOOD_HEX);
    FileNameBox()->setText(strPath);
    m_pDlg->OnSend();

    EXPECT_TRUE(m_prompts.m_messages.empty());
    EXPECT_EQ(m_pDlg->LogText(),
              QStringLiteral("Sending file: ") + strPath + QStringLiteral("\r\n") + strPath +
                  QStringLiteral(": Intel HEX, 2 records, 0x08000000\u20130x08000004, 5 bytes\r\n"
                                 "File size: 5 bytes. \r\nFile sent. \r\n"));
    EXPECT_EQ(Wire(), std::string("s\x05\x00\x00\x00\x01\x02\xFF\xFF\x03", 10));
}

TEST_F(CMainWindowTest, SendRefusesADamagedFirmwareFileBeforeTakingTheBoard)
{
    AttachBoard();
    FileNameBox()->setText(WriteFile("damaged.hex", BAD_HEX));
    m_pDlg->OnSend();

    ASSERT_EQ(m_prompts.m_messages.size(), 1u);
    EXPECT_TRUE(
        m_prompts.m_messages[0].m_strText.contains(QStringLiteral("line 3: checksum error")))
        << m_prompts.m_messages[0].m_strText.toStdString();
    EXPECT_EQ(m_prompts.m_messages[0].m_strCaption, ERROR_CAPTION);
    EXPECT_TRUE(m_board.m_calls.empty());
    EXPECT_TRUE(m_pDlg->LogText().isEmpty());
}

TEST_F(CMainWindowTest, BrowseOffersFirmwareFilesBesideAllFiles)
{
    m_prompts.m_openAnswers = {QString()};
    m_pDlg->OnBrowse();
    for (const char* pszPattern :
         {"*.bin", "*.elf", "*.axf", "*.hex", "*.ihex", "*.srec", "*.s19", "All Files (*)"})
    {
        EXPECT_TRUE(m_prompts.m_strFilter.contains(QString::fromLatin1(pszPattern))) << pszPattern;
    }
}
} // namespace
