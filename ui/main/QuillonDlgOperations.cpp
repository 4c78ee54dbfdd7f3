// The window's operations on the board: send, receive, version, execute, and the look at the
// attached board after a device change. Each takes the board and its lock for its commands.

#include "ui/main/QuillonDlg.h"

#include "image/FirmwareImage.h"
#include "lang/CRuntimeRules.h"
#include "lang/LanguageStrings.h"
#include "ui/common/UserPrompts.h"
#include "ui/main/DlgStatusBar.h"
#include "ui_QuillonDlg.h"
#include "usb/BoardLock.h"
#include "usb/BoardText.h"
#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/virtual/VirtualRegistry.h"

#include <QApplication>
#include <QFile>
#include <QSaveFile>
#include <QTimer>

#include <iostream>
#include <new>
#include <vector>

namespace
{
// Language strings of the old-bootloader refusal.
constexpr int IDS_ERROR_CAPTION = 46;
constexpr int IDS_OLD_FIRMWARE = 47;

// Pieces of a transfer between two looks at the window, and the time after which a block
// counts as long enough for a progress bar.
constexpr qint64 PUMP_INTERVAL_MS = 40;
constexpr qint64 LONG_TRANSFER_MS = 1000;

QString FromNarrow(const std::string& strText)
{
    return QString::fromStdString(strText);
}

// A board's own bytes (description, version), made safe to show.
QString FromBoard(const std::string& strText)
{
    return FromNarrow(ShowableBoardText(strText));
}

// No board to work with: a board that another process holds, or that is attached but may not
// be opened, is named (with the way to grant access) rather than reported missing; a registry
// whose boards are ignored is named beneath the usual text.
QString NoBoardText(const CBoardLock& lock)
{
    if (lock.State() == EBoardLock::Busy)
    {
        return QStringLiteral("The ARM device is busy: ") +
               FromNarrow(BoardInUseText(lock.Holder())) +
               QStringLiteral(". Try again when that program has finished.");
    }
    const std::vector<std::string> problems = UsbAccessProblems();
    if (!problems.empty())
    {
        return FromNarrow(problems[0]);
    }
    QString strText = QStringLiteral("No ARM device found!");
    const std::string strTrust = RegistryTrustProblem(GetBoardRegistryDirectory());
    if (!strTrust.empty())
    {
        strText += QStringLiteral("\n\n") + FromBoard(strTrust);
    }
    return strText;
}
} // namespace

// Marks a board operation as running: device changes wait for its end, closing is held off,
// and the clicks and keys given to the window meanwhile are dropped, also those the window
// system still holds when the operation ends.
class CQuillonDlg::CBusyScope
{
public:
    explicit CBusyScope(CQuillonDlg& dlg) : m_dlg(dlg)
    {
        if (m_dlg.m_nBusy++ == 0)
        {
            qApp->installEventFilter(&m_dlg);
        }
    }
    ~CBusyScope()
    {
        if (m_dlg.m_nBusy == 1)
        {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            qApp->removeEventFilter(&m_dlg);
        }
        if (--m_dlg.m_nBusy > 0)
        {
            return;
        }
        if (m_dlg.m_bDeviceChangePending)
        {
            m_dlg.m_bDeviceChangePending = false;
            QMetaObject::invokeMethod(&m_dlg, &CQuillonDlg::OnDevicesChangedSignal,
                                      Qt::QueuedConnection);
        }
        if (m_dlg.m_bStopRequested && !m_dlg.m_bClosed)
        {
            QMetaObject::invokeMethod(&m_dlg, &CQuillonDlg::CloseOnStop, Qt::QueuedConnection);
        }
    }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    CQuillonDlg& m_dlg;
};

void CQuillonDlg::CatchUpWithDisplay()
{
    // A board command may block for a while: first let a closed menu leave the screen and
    // pending paints reach it. The display connection is flushed when the event loop is
    // about to wait, so wait once, woken at once by a zero timer.
    QTimer::singleShot(0, this, []() {});
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::WaitForMoreEvents);
}

std::unique_ptr<CUsbDevice> CQuillonDlg::TakeBoard(CBoardLock& lock)
{
    CatchUpWithDisplay();
    // A stop signal met while catching up: the window is about to close, start nothing new.
    if (m_bStopRequested && !m_bClosed)
    {
        return nullptr;
    }
    const CUsbDeviceList devices = EnumerateDevices();
    if (devices.empty())
    {
        return nullptr;
    }
    // Held until the operation's last command, so no other Quillon process slips in between.
    lock = CBoardLock::TryLock(devices.front().m_strDevicePath);
    if (lock.State() == EBoardLock::Busy)
    {
        return nullptr;
    }
    if (lock.State() == EBoardLock::Unavailable)
    {
        std::cerr << "Cannot hold the board during the operation ("
                  << ShowableBoardText(lock.Error()) << "); going on without." << std::endl;
    }
    return std::make_unique<CUsbDevice>(CUsbDeviceInfo(devices.front()));
}

void CQuillonDlg::AttachProgress(CUsbDevice& device)
{
    m_transferClock.start();
    m_nLastPumpMs = 0;
    m_bTransferring = true;
    SetControlsEnabled(false);
    device.SetProgress([this](uint64_t nDone, uint64_t nTotal)
                       { return OnTransferProgress(nDone, nTotal); });
}

void CQuillonDlg::EndTransfer()
{
    m_bTransferring = false;
    m_pUi->statusBar->ShowProgress(0, 0);
    SetControlsEnabled(true);
}

void CQuillonDlg::SetControlsEnabled(bool bEnabled)
{
    // What cannot be used during a transfer looks so; the focus comes back where it was.
    if (!bEnabled)
    {
        m_pFocusBeforeTransfer = focusWidget();
    }
    for (QWidget* pControl : std::initializer_list<QWidget*>{
             m_pUi->editFileName, m_pUi->buttonBrowse, m_pUi->buttonSend, m_pUi->editFileSize,
             m_pUi->buttonReceive, m_pUi->buttonExit, m_pUi->menuBar})
    {
        pControl->setEnabled(bEnabled);
    }
    if (bEnabled && m_pFocusBeforeTransfer != nullptr)
    {
        m_pFocusBeforeTransfer->setFocus();
        m_pFocusBeforeTransfer = nullptr;
    }
}

bool CQuillonDlg::OnTransferProgress(uint64_t nDone, uint64_t nTotal)
{
    const qint64 nElapsed = m_transferClock.elapsed();
    if (m_bStopRequested)
    {
        // A stop signal abandons the block, as in the unattended run.
        m_bBoardInDoubt = true;
        return false;
    }
    if (nElapsed - m_nLastPumpMs < PUMP_INTERVAL_MS)
    {
        return true;
    }
    m_nLastPumpMs = nElapsed;
    // Long: a second has gone, or the pace so far says the whole block will take that long.
    const bool bLong = nElapsed >= LONG_TRANSFER_MS ||
                       (nDone > 0 && static_cast<double>(nElapsed) * static_cast<double>(nTotal) /
                                             static_cast<double>(nDone) >=
                                         static_cast<double>(LONG_TRANSFER_MS));
    if (bLong && nTotal > 0)
    {
        m_pUi->statusBar->ShowProgress(static_cast<qint64>(nDone), static_cast<qint64>(nTotal));
    }
    // Repaint and serve the window system; clicks and keys given meanwhile are dropped by
    // the operation's event filter.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return !m_bStopRequested;
}

void CQuillonDlg::OnBrowse()
{
    const QString strPath =
        m_pPrompts->ChooseOpenFile(this, QString::fromLatin1(OPEN_FILE_DIALOG_FILTER));
    if (!strPath.isEmpty())
    {
        m_pUi->editFileName->setText(strPath);
    }
}

void CQuillonDlg::OnSend()
{
    CBusyScope busy(*this);
    const QString strFileName = m_pUi->editFileName->text();
    if (strFileName.isEmpty())
    {
        ShowError(QStringLiteral("You must select a file to sent"));
        m_pUi->editFileName->setFocus();
        return;
    }

    QFile file(strFileName);
    if (!file.open(QIODevice::ReadOnly))
    {
        ShowError(QStringLiteral("File does not exist or cannot be accesed!"));
        m_pUi->editFileName->setFocus();
        return;
    }
    const uint64_t nFileLength = static_cast<uint64_t>(file.size());
    // A length the 32-bit length field cannot carry, or a file that reads short, would send
    // a count that does not match the data.
    std::vector<uint8_t> buffer;
    bool bRead = nFileLength > 0 && (nFileLength >> 32) == 0;
    if (bRead)
    {
        try
        {
            buffer.resize(static_cast<size_t>(nFileLength));
        }
        catch (const std::bad_alloc&)
        {
            buffer.clear();
        }
        bRead = buffer.size() == nFileLength &&
                file.read(reinterpret_cast<char*>(buffer.data()),
                          static_cast<qint64>(nFileLength)) == static_cast<qint64>(nFileLength);
    }
    file.close();
    if (!bRead)
    {
        ShowError(QStringLiteral("Cannot read file!"));
        return;
    }
    // ELF, HEX and S-record files are sent as their flat image; anything else as it is.
    CFirmwareImage image = ConvertFirmware(std::move(buffer), ImageOptions());
    if (!image.m_bOk)
    {
        ShowError(QStringLiteral("Cannot send ") + strFileName + QStringLiteral(": ") +
                  FromNarrow(image.m_strError));
        return;
    }
    const uint64_t nLength = image.m_data.size();

    CBoardLock lock;
    std::unique_ptr<CUsbDevice> pDevice = TakeBoard(lock);
    if (!pDevice)
    {
        ShowError(NoBoardText(lock));
        return;
    }
    QString strLines = QStringLiteral("Sending file: ") + strFileName + QStringLiteral("\r\n");
    if (image.m_format != EFirmwareFormat::BINARY)
    {
        strLines +=
            FromNarrow(DescribeImage(strFileName.toStdString(), image)) + QStringLiteral("\r\n");
    }
    strLines +=
        QStringLiteral("File size: ") + QString::number(nLength) + QStringLiteral(" bytes. \r\n");

    AttachProgress(*pDevice);
    const bool bSent = pDevice->SendData(image.m_data.data(), static_cast<uint32_t>(nLength));
    EndTransfer();
    pDevice.reset();
    lock.Release();
    image.m_data = {};
    if (!bSent)
    {
        ShowError(QStringLiteral("Bad response from device, cannot send file!"));
        return;
    }
    strLines += QStringLiteral("File sent. \r\n");
    AppendToLog(strLines);
}

QString CQuillonDlg::ChooseSaveFile()
{
    return m_pPrompts->ChooseSaveFile(this, QString::fromLatin1(FILE_DIALOG_FILTER),
                                      QString::fromLatin1(SAVE_DEFAULT_SUFFIX));
}

void CQuillonDlg::OnReceive()
{
    CBusyScope busy(*this);
    const QString strSizeText = m_pUi->editFileSize->text();
    if (strSizeText.isEmpty())
    {
        ShowError(QStringLiteral("You must enter the valid file size!"));
        m_pUi->editFileSize->setFocus();
        return;
    }
    const int64_t nSize = Atoi64(strSizeText.toStdString());
    if (nSize == 0)
    {
        ShowError(QStringLiteral("Number parsing error!"));
        m_pUi->editFileSize->setFocus();
        return;
    }
    if ((static_cast<uint64_t>(nSize) >> 32) != 0 || nSize > MAX_RECEIVE_SIZE)
    {
        ShowError(QStringLiteral("Can receive maximum of 100Kb from device"));
        return;
    }

    const QString strTarget = ChooseSaveFile();
    if (strTarget.isEmpty())
    {
        return;
    }

    CBoardLock lock;
    std::unique_ptr<CUsbDevice> pDevice = TakeBoard(lock);
    if (!pDevice)
    {
        ShowError(NoBoardText(lock));
        return;
    }
    std::vector<char> buffer(static_cast<size_t>(nSize));
    QString strLines = QStringLiteral("Receving data from device: ") +
                       FromBoard(pDevice->m_strDescription) + QStringLiteral("\r\n");
    AttachProgress(*pDevice);
    const bool bReceived = pDevice->ReceiveData(static_cast<uint32_t>(nSize), buffer.data());
    EndTransfer();
    pDevice.reset();
    lock.Release();
    if (!bReceived)
    {
        ShowError(QStringLiteral("Bad response from device, cannot receive file!"));
        return;
    }
    strLines += QStringLiteral("File size: ") + strSizeText + QStringLiteral(" bytes. \r\n");
    strLines += QStringLiteral("File Received. \r\n");

    // Written beside the target and renamed over it only when complete, so a failed write
    // leaves an earlier file of that name as it was and no partial file behind. Unbuffered,
    // because an error met while flushing a buffer at commit time can go unreported.
    QSaveFile output(strTarget);
    const bool bWritten = output.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
                          output.write(buffer.data(), nSize) == nSize && output.flush() &&
                          output.commit();
    if (!bWritten)
    {
        output.cancelWriting();
        ShowError(QStringLiteral("File cannot be created!!"));
        return;
    }
    AppendToLog(strLines);
}

void CQuillonDlg::OnGetFirmwareVersion()
{
    CBusyScope busy(*this);
    CBoardLock lock;
    std::unique_ptr<CUsbDevice> pDevice = TakeBoard(lock);
    if (!pDevice)
    {
        ShowError(NoBoardText(lock));
        return;
    }
    QString strLines = QStringLiteral("Reading version information... \r\n");
    const QString strVersion = FromBoard(pDevice->GetVersion());
    pDevice.reset();
    lock.Release();
    if (strVersion.isEmpty())
    {
        ShowError(QStringLiteral("Bad response from device, cannot read version!"));
        return;
    }
    const QString strMessage = QStringLiteral("Current firmware version is: ") + strVersion;
    m_pPrompts->ShowMessage(this, strMessage, QString::fromLatin1(INFO_CAPTION),
                            EMessageIcon::Information);
    strLines += strMessage + QStringLiteral(" \r\n");
    AppendToLog(strLines);
}

void CQuillonDlg::OnExecute()
{
    ExecuteOnBoard(false);
}

void CQuillonDlg::ExecuteOnBoard(bool bQuiet)
{
    CBusyScope busy(*this);
    CBoardLock lock;
    std::unique_ptr<CUsbDevice> pDevice = TakeBoard(lock);
    if (!pDevice)
    {
        if (!bQuiet)
        {
            ShowError(NoBoardText(lock));
        }
        else if (lock.State() == EBoardLock::Busy)
        {
            // The program that holds the board starts its own image; an execute now would
            // come between its commands.
            std::cerr << "No execute command on closing: " << BoardInUseText(lock.Holder()) << "."
                      << std::endl;
        }
        return;
    }
    QString strLines = QStringLiteral("Sending execute command... ");
    const bool bDone = pDevice->Execute();
    pDevice.reset();
    lock.Release();
    if (!bDone)
    {
        ShowError(QStringLiteral("Bad response from device!"));
        return;
    }
    strLines += QStringLiteral("Done! \r\n");
    AppendToLog(strLines);
}

bool CQuillonDlg::OnDeviceChange()
{
    CBusyScope busy(*this);
    CDlgStatusBar* pStatus = m_pUi->statusBar;
    CBoardLock lock;
    std::unique_ptr<CUsbDevice> pDevice = TakeBoard(lock);
    if (!pDevice && lock.State() == EBoardLock::Busy)
    {
        // Asking its version now would come between the other program's commands: say who
        // holds it, and look again shortly.
        const CUsbDeviceList devices = EnumerateDevices();
        const std::string strDescription =
            devices.empty() ? std::string() : devices.front().m_strDescription;
        pStatus->SetPaneText(0, QStringLiteral("Connected to: ") + FromBoard(strDescription));
        pStatus->SetPaneText(1, QStringLiteral("Bootloader: (") +
                                    FromNarrow(BoardInUseText(lock.Holder())) +
                                    QStringLiteral(")"));
        m_pBusyBoardRetry->start(); // one pending look, however many changes come meanwhile
        return false;
    }
    if (!pDevice)
    {
        pStatus->SetPaneText(0, LoadResourceString(IDS_CONNECT_BOARD));
        pStatus->SetPaneText(1, LoadResourceString(IDS_NO_DEVICE));
        return false;
    }
    pStatus->SetPaneText(0,
                         QStringLiteral("Connected to: ") + FromBoard(pDevice->m_strDescription));
    pStatus->SetPaneText(1, QStringLiteral("Bootloader: ") + FromBoard(pDevice->GetVersion()));
    const std::string strCheck = pDevice->GetVersion();
    pDevice.reset();
    lock.Release();
    if (MbsUpr(strCheck) == MbsUpr(OLD_BOOTLOADER_BANNER))
    {
        m_pPrompts->ShowMessage(this, FromNarrow(m_pStrings->GetString(IDS_OLD_FIRMWARE)),
                                FromNarrow(m_pStrings->GetString(IDS_ERROR_CAPTION)),
                                EMessageIcon::Error);
        done(0);
        return false;
    }
    return true;
}
