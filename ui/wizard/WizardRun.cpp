#include "ui/wizard/WizardRun.h"

#include "app/FileOutput.h"
#include "app/JournalReport.h"
#include "app/QuillonApp.h"
#include "image/FirmwareImage.h"
#include "image/Sha256.h"
#include "journal/Journal.h"
#include "lang/CRuntimeRules.h"
#include "lang/LanguageStrings.h"
#include "lang/TextFormat.h"
#include "ui/wizard/ProgressMeter.h"
#include "ui/wizard/StopSignals.h"
#include "usb/BoardLock.h"
#include "usb/BoardText.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/virtual/VirtualRegistry.h"

#include <iostream>
#include <new>

int CWizardRun::s_nPollCount = 0;

namespace
{
std::string Text(int nId)
{
    return CLanguageStrings::Instance().GetString(nId);
}

// A reply of fixed size carries its text up to the first NUL.
std::string TextUpToNul(const std::string& strReply)
{
    return strReply.substr(0, strReply.find('\0'));
}

// While waiting: a board that is attached but may not be opened is named on standard error,
// with the way to grant access, each time what is refused changes.
void ReportAccessProblems(const std::vector<std::string>& problems)
{
    static std::string s_strReported;
    std::string strProblems;
    for (const std::string& strProblem : problems)
    {
        strProblems += strProblem + "\n";
    }
    if (strProblems != s_strReported)
    {
        s_strReported = strProblems;
        std::cerr << strProblems << std::flush;
    }
}

// While waiting: a registry whose boards are ignored is named once, with the fix.
void ReportRegistryTrust()
{
    static bool s_bReported = false;
    if (s_bReported)
    {
        return;
    }
    const std::string strProblem = RegistryTrustProblem(GetBoardRegistryDirectory());
    if (!strProblem.empty())
    {
        s_bReported = true;
        std::cerr << ShowableBoardText(strProblem) << std::endl;
    }
}
} // namespace

std::string ExecuteFailureReason(const std::string& strFailure)
{
    return "the image was loaded, but the board did not confirm its start: " + strFailure;
}

std::string SecondsText(int64_t nMilliseconds)
{
    std::string strText = std::to_string(nMilliseconds / 1000);
    if (const int64_t nFraction = nMilliseconds % 1000; nFraction != 0)
    {
        std::string strFraction = std::to_string(1000 + nFraction).substr(1);
        strFraction.erase(strFraction.find_last_not_of('0') + 1);
        strText += "." + strFraction;
    }
    return strText;
}

std::string WaitedBoard(const std::string& strDevicePath)
{
    return strDevicePath.empty() ? "a board in bootloader mode"
                                 : "the board " + ShowableBoardText(strDevicePath);
}

std::string WaitingNotice(const std::string& strWhat, int64_t nWaitMs)
{
    // Besides the virtual boards every build but one without USB support has a USB backend.
    const bool bUsb = DefaultPipeBackends().size() > 1;
    return "Waiting for " + strWhat + (bUsb ? " on USB and" : "") +
           " in the virtual-board registry " + ShowableBoardText(GetBoardRegistryDirectory()) +
           ": connect the board and press its reset button.\n" +
           (nWaitMs < 0 ? std::string("Ctrl-C stops the wait; --wait SECONDS gives up after that "
                                      "time.")
                        : "Giving up after " + SecondsText(nWaitMs) + " s; Ctrl-C stops sooner.");
}

std::string SeveralBoardsNotice(size_t nBoards, const CUsbDeviceInfo& used, bool bFirst,
                                const std::string& strBusy)
{
    const std::string strWhich = bFirst            ? "using the first: "
                                 : strBusy.empty() ? "using the first that answers: "
                                                   : strBusy + "; using the next free one: ";
    return std::to_string(nBoards) + " boards attached; " + strWhich +
           ShowableBoardText(used.m_strDescription) + " (" +
           ShowableBoardText(used.m_strDevicePath) +
           "). Choose one with --device PATH, or all with --all.";
}

std::string BusyBoardText(const std::string& strDevicePath, const CBoardLock& lock)
{
    return ShowableBoardText(strDevicePath) + ": " + BoardInUseText(lock.Holder());
}

CWizardRun::CWizardRun(IWizardFace& face, std::string strFileName, CWizardOptions options)
    : m_face(face), m_strFileName(std::move(strFileName)), m_options(std::move(options))
{
}

std::string CWizardRun::VersionLine()
{
    return FormatWithString(Text(21) + PROGRAM_VERSION, PROGRAM_NAME);
}

bool CWizardRun::Start()
{
    m_startTime = std::chrono::steady_clock::now();
    if (!LoadFile())
    {
        return false;
    }
    m_face.SetStatusText(Text(30));
    StartTimerOrComplain();
    return true;
}

bool CWizardRun::LoadFile()
{
    CInputFile file(m_strFileName);
    if (!file.IsOpen() || file.Size() < 0)
    {
        FailLoad(file.Error());
        return false;
    }
    m_nFileSize = static_cast<uint64_t>(file.Size());
    if (m_nFileSize > MAX_SEND_FILE_SIZE)
    {
        FailLoad("the file is 4 GiB or larger; the send command's length field has 32 bits");
        return false;
    }
    try
    {
        m_fileData.resize(m_nFileSize);
    }
    catch (const std::exception&)
    {
        FailLoad("not enough memory to hold the file (" + std::to_string(m_nFileSize) + " bytes)");
        return false;
    }
    uint64_t nRead = 0;
    while (nRead < m_nFileSize)
    {
        const int64_t nChunk = file.Read(m_fileData.data() + nRead, m_nFileSize - nRead);
        if (nChunk <= 0)
        {
            break;
        }
        nRead += static_cast<uint64_t>(nChunk);
    }
    if (nRead == 0 || nRead != m_nFileSize)
    {
        // A file that reads short would send a length the data does not fill.
        FailLoad(m_nFileSize == 0 ? "the file is empty" : "the file could not be read whole");
        return false;
    }
    // ELF, HEX and S-record files become the flat image the bootloader takes; anything
    // else is sent as it is.
    CFirmwareImage image = ConvertFirmware(std::move(m_fileData), ImageOptions());
    if (!image.m_bOk)
    {
        FailLoad(image.m_strError);
        return false;
    }
    // Said for a flat binary too, so that nothing is sent without a word of how it was read.
    if (Verbosity() != EVerbosity::Quiet)
    {
        std::cerr << DescribeImage(m_strFileName, image) << std::endl;
    }
    m_fileData = std::move(image.m_data);
    m_nFileSize = m_fileData.size();
    if (m_options.m_pJournal != nullptr)
    {
        m_strImageSha256 = Sha256Hex(m_fileData.data(), m_fileData.size());
    }
    return true;
}

void CWizardRun::FailLoad(const std::string& strReason)
{
    std::string strBox = Text(25) + " " + m_strFileName;
    if (!strReason.empty())
    {
        strBox += " (" + strReason + ")";
    }
    m_record.m_strReason = strBox;
    m_face.ShowErrorBox(strBox, Text(46), false);
    std::cout << Text(25) << std::endl;
    ReleaseFileData();
    End(RESULT_CANNOT_LOAD);
}

void CWizardRun::StartTimerOrComplain()
{
    const int nError = m_face.StartPollTimer();
    if (nError != 0)
    {
        m_face.ShowErrorBox(FormatWithNumber(Text(36), nError), Text(46), true);
    }
}

bool CWizardRun::WaitExpired() const
{
    if (m_options.m_nWaitMs < 0)
    {
        return false;
    }
    const auto elapsed = std::chrono::steady_clock::now() - m_startTime;
    return elapsed >= std::chrono::milliseconds(m_options.m_nWaitMs);
}

bool CWizardRun::CancelRequested() const
{
    return m_bCancelRequested || StopRequested();
}

void CWizardRun::Cancel()
{
    if (m_bEnded)
    {
        return;
    }
    m_bCancelRequested = true;
    if (!m_bTransferring)
    {
        m_record.m_strReason = "cancelled while waiting for a board";
        ReleaseFileData();
        End(RESULT_CANCELLED);
    }
}

void CWizardRun::OnTimer()
{
    if (m_bEnded)
    {
        return;
    }
    if (s_nPollCount < WIZARD_HIDDEN_POLLS)
    {
        m_face.SetVisible(false);
    }
    if (CancelRequested())
    {
        Cancel();
        return;
    }
    CUsbDeviceList devices = EnumerateDevices();
    auto it = devices.begin();
    if (!m_options.m_strDevicePath.empty())
    {
        while (it != devices.end() && it->m_strDevicePath != m_options.m_strDevicePath)
        {
            ++it;
        }
    }
    // A board that turns out not to be there (left behind by a killed board program, or gone
    // while being opened) counts as no board: the next one is tried, else polling goes on.
    // The board is held from the first version request to the execute, so that no other
    // Quillon process can put a command in between; one that holds it is waited for.
    // Without --device a board that another process holds is passed over for the next free one.
    CBoardLock lock;
    CBoardLock busyLock;
    std::string strBusyPath;
    std::string strBusy;
    for (; it != devices.end(); ++it)
    {
        if (!m_options.m_strDevicePath.empty() && it->m_strDevicePath != m_options.m_strDevicePath)
        {
            continue;
        }
        if (!HoldBoard(it->m_strDevicePath, &lock))
        {
            if (busyLock.State() != EBoardLock::Busy)
            {
                strBusyPath = it->m_strDevicePath;
                strBusy = BusyBoardText(strBusyPath, lock);
                busyLock = std::move(lock);
            }
            if (!m_options.m_strDevicePath.empty())
            {
                break;
            }
            continue;
        }
        m_nBoardsListed = devices.size();
        m_bFirstListed = it == devices.begin();
        m_strBusyPassedOver = strBusy;
        CUsbDevice device(*it);
        m_bTransferring = true;
        const bool bPresent = Transfer(device);
        m_bTransferring = false;
        device.ClosePipes();
        if (bPresent || m_bEnded)
        {
            return;
        }
        lock.Release();
    }
    if (busyLock.State() == EBoardLock::Busy && !m_bBoardBusySaid)
    {
        m_bBoardBusySaid = true;
        std::cerr << "Waiting for the board: " << BoardInUseText(busyLock.Holder()) << " ("
                  << ShowableBoardText(strBusyPath) << ")." << std::endl;
    }
    WaitForNextPoll(busyLock);
}

void CWizardRun::WaitForNextPoll(const CBoardLock& busyLock)
{
    const bool bBusy = busyLock.State() == EBoardLock::Busy;
    if (WaitExpired())
    {
        // A board that is there but may not be opened is not "no board": said with the fix,
        // and only that, also when it was attached only a moment ago (a short --wait).
        const std::vector<std::string> problems =
            bBusy ? std::vector<std::string>() : UsbAccessProblems();
        if (bBusy)
        {
            m_record.m_strReason = "giving up after " + SecondsText(m_options.m_nWaitMs) +
                                   " s: " + BoardInUseText(busyLock.Holder());
            std::cerr << "Giving up after " << SecondsText(m_options.m_nWaitMs)
                      << " s: " << BoardInUseText(busyLock.Holder()) << "." << std::endl;
        }
        else if (problems.empty())
        {
            m_record.m_strReason =
                "no board found within " + SecondsText(m_options.m_nWaitMs) + " s";
            std::cerr << "No board found within " << SecondsText(m_options.m_nWaitMs)
                      << " s; giving up." << std::endl;
        }
        else
        {
            m_record.m_strReason = problems.front();
            ReportAccessProblems(problems);
        }
        ReleaseFileData();
        End(problems.empty() ? RESULT_CANCELLED : RESULT_NO_ACCESS);
        return;
    }
    if (!bBusy && !m_bWaitingSaid)
    {
        m_bWaitingSaid = true;
        m_face.ShowWaitingNotice(
            WaitingNotice(WaitedBoard(m_options.m_strDevicePath), m_options.m_nWaitMs));
    }
    ReportRegistryTrust();
    StartTimerOrComplain();
    ++s_nPollCount;
    if (s_nPollCount >= WIZARD_HIDDEN_POLLS)
    {
        m_face.SetVisible(true);
        ReportAccessProblems(UsbAccessProblems(false));
    }
}

bool CWizardRun::HoldBoard(const std::string& strDevicePath, CBoardLock* pLock)
{
    *pLock = CBoardLock::TryLock(strDevicePath);
    switch (pLock->State())
    {
    case EBoardLock::Held:
        return true;
    case EBoardLock::Busy:
        return false;
    case EBoardLock::Gone:
        // Nothing left to hold; the commands find out the rest.
        return true;
    default:
        // Better a run without the lock than no run where locks cannot be had at all.
        if (!m_bLockWarned)
        {
            m_bLockWarned = true;
            std::cerr << "Cannot hold the board for the whole run ("
                      << ShowableBoardText(pLock->Error()) << "); going on without." << std::endl;
        }
        return true;
    }
}

bool CWizardRun::Transfer(CUsbDevice& device)
{
    device.SetProgress([this](uint64_t nDone, uint64_t nTotal)
                       { return !CancelRequested() && m_face.OnTransferProgress(nDone, nTotal); });
    auto stopped = [this](const char* pszWhat)
    {
        if (!CancelRequested())
        {
            return false;
        }
        std::cerr << "Stopped " << pszWhat << "." << std::endl;
        m_record.m_strReason = std::string("stopped ") + pszWhat;
        ReleaseFileData();
        End(RESULT_CANCELLED);
        return true;
    };

    m_record.m_boardStart = std::chrono::system_clock::now();
    const std::string strVersion = TextUpToNul(device.GetVersion());
    if (stopped("before sending"))
    {
        return true;
    }
    if (strVersion.empty() && device.BoardAbsent())
    {
        if (m_absentBoards.insert(device.m_strDevicePath).second)
        {
            std::cerr << "Skipping " << ShowableBoardText(device.m_strDevicePath)
                      << ": no board answers there (" << device.FailureReason() << ")."
                      << std::endl;
        }
        return false;
    }
    // Said once the board is known to be there, so that it names the board really used.
    if (m_options.m_strDevicePath.empty() && m_nBoardsListed > 1 && !m_bSeveralSaid)
    {
        m_bSeveralSaid = true;
        std::cerr << SeveralBoardsNotice(m_nBoardsListed, device, m_bFirstListed,
                                         m_strBusyPassedOver)
                  << std::endl;
    }
    m_record.m_strDevicePath = device.m_strDevicePath;
    m_record.m_strDescription = device.m_strDescription;
    m_record.m_strVersion = strVersion;
    Report(Text(45) + ShowableBoardText(device.m_strDescription) + "(" +
           ShowableBoardText(strVersion) + ") \r\n");

    const std::string strSecondVersion = TextUpToNul(device.GetVersion());
    if (stopped("before sending"))
    {
        return true;
    }
    if (MbsUpr(strSecondVersion) == MbsUpr(OLD_BOOTLOADER_BANNER))
    {
        m_record.m_strReason = OLD_BOOTLOADER_REASON;
        Fail(RESULT_OLD_BOOTLOADER, Text(47));
        return true;
    }

    Report(Text(37) + " " + m_strFileName + "\r\n");
    // The progress line and the verbose timing count from the same moment.
    const auto sendStart = std::chrono::steady_clock::now();
    m_face.OnTransferProgress(0, m_nFileSize);
    const bool bSent = device.SendData(m_fileData.data(), static_cast<uint32_t>(m_nFileSize));
    const auto sendTime = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - sendStart);
    if (Verbosity() == EVerbosity::Verbose)
    {
        std::cerr << (bSent ? "Sent " : "Send failed after ") << m_nFileSize << " bytes to "
                  << ShowableBoardText(device.m_strDevicePath) << " in " << DurationText(sendTime)
                  << " (" << RateText(m_nFileSize, sendTime) << ")." << std::endl;
    }
    if (!bSent)
    {
        if (stopped("while sending: the board did not receive the whole file"))
        {
            return true;
        }
        m_record.m_strReason = device.FailureReason();
        Fail(RESULT_SEND_FAILED, Text(39));
        std::cerr << "Reason: " << m_record.m_strReason << "." << std::endl;
        return true;
    }
    m_record.m_nBytesSent = m_nFileSize;
    Report(Text(38) + "\r\n");
    ReleaseFileData();
    m_face.SetCancelCaption(Text(48));
    if (stopped("after sending, before the execute command"))
    {
        return true;
    }

    if (!m_options.m_bNoExecute && !device.Execute())
    {
        if (stopped("during the execute command"))
        {
            return true;
        }
        // The board's wrong reply byte says most; otherwise the transport's error code.
        const int nCode = device.LastReply() >= 0 ? device.LastReply() : device.LastError();
        const std::string strText = FormatWithNumber(Text(36), nCode);
        m_face.ShowErrorBox(strText, Text(46), false);
        std::cout << strText << std::endl;
        // The image is on the board, but nobody knows whether it runs: a failure for a script.
        m_record.m_strReason = ExecuteFailureReason(device.FailureReason());
        std::cerr << "Reason: " << m_record.m_strReason << "." << std::endl;
        Report(Text(26));
        End(RESULT_SEND_FAILED);
        return true;
    }
    Report(Text(26));
    if (m_options.m_bNoExecute && Verbosity() != EVerbosity::Quiet)
    {
        std::cout << NOT_STARTED_LINE << std::endl;
    }
    End(RESULT_LOADED);
    return true;
}

void CWizardRun::Report(const std::string& strText)
{
    m_face.SetStatusText(strText);
    if (Verbosity() != EVerbosity::Quiet)
    {
        std::cout << strText << std::endl;
    }
}

void CWizardRun::Fail(int nResult, const std::string& strText)
{
    m_face.ShowErrorBox(strText, Text(46), false);
    std::cout << strText << std::endl;
    ReleaseFileData();
    End(nResult);
}

void CWizardRun::End(int nResult)
{
    m_bEnded = true;
    m_record.m_dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_startTime).count();
    m_nResult = RecordInJournal(nResult);
    m_face.EndDialog(m_nResult);
}

int CWizardRun::RecordInJournal(int nResult)
{
    if (m_options.m_pJournal == nullptr || m_record.m_strDevicePath.empty())
    {
        return nResult;
    }
    CJournalAttempt attempt;
    attempt.m_start = m_record.m_boardStart;
    attempt.m_end = std::chrono::system_clock::now();
    attempt.m_strSlot = m_record.m_strDevicePath;
    attempt.m_strDescription = m_record.m_strDescription;
    attempt.m_strVersion = m_record.m_strVersion;
    attempt.m_strImagePath = JournalImagePath(m_strFileName);
    attempt.m_nImageSize = m_nFileSize;
    attempt.m_strImageSha256 = m_strImageSha256;
    attempt.m_strResult = JournalResultOf(nResult);
    attempt.m_nExitCode = nResult;
    attempt.m_strReason = m_record.m_strReason;
    attempt.m_dSeconds = std::chrono::duration<double>(attempt.m_end - attempt.m_start).count();
    std::string strError;
    if (m_options.m_pJournal->Record(attempt, strError))
    {
        return nResult;
    }
    // A board that is not recorded is not done, whatever happened on it.
    m_face.ShowErrorBox(strError, Text(46), false);
    std::cout << "Not recorded: " << strError << std::endl;
    return EXIT_CANNOT_WRITE;
}

void CWizardRun::ReleaseFileData()
{
    std::vector<uint8_t>().swap(m_fileData);
}
