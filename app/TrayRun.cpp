#include "app/TrayRun.h"

#include "app/BoardFlash.h"
#include "app/FileOutput.h"
#include "app/JournalReport.h"
#include "app/JsonWriter.h"
#include "app/QuillonApp.h"
#include "image/FirmwareImage.h"
#include "image/Sha256.h"
#include "journal/Journal.h"
#include "lang/CRuntimeRules.h"
#include "lang/LanguageStrings.h"
#include "lang/TextFormat.h"
#include "ui/wizard/ProgressMeter.h"
#include "ui/wizard/StopSignals.h"
#include "ui/wizard/WizardRun.h"
#include "usb/BoardLock.h"
#include "usb/BoardText.h"
#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/virtual/VirtualRegistry.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// The language texts, read once before the threads start.
struct CTrayTexts
{
    CFlashTexts m_flash;
    std::string m_strBoard = CLanguageStrings::Instance().GetString(45);
    std::string m_strSending = CLanguageStrings::Instance().GetString(37);
    std::string m_strSent = CLanguageStrings::Instance().GetString(38);
    std::string m_strCaption = CLanguageStrings::Instance().GetString(46);
};

// What one board's thread did.
struct CBoardOutcome
{
    CUsbDeviceInfo m_info;
    bool m_bVersionRead = false; // false: the board was not asked, or did not answer
    std::string m_strVersion;
    int m_nResult = RESULT_CANCELLED;
    std::string m_strReason; // why the board failed, in words
    uint64_t m_nBytesSent = 0;
    double m_dSeconds = 0;
    std::chrono::system_clock::time_point m_start; // when its sequence began, for the journal
};

std::mutex s_outputMutex;

// One line of one board, whole, prefixed with its path. The report lines (not errors) are
// left out with --quiet.
void Say(std::ostream& stream, const std::string& strPath, const std::string& strText)
{
    if (&stream != &std::cerr && Verbosity() == EVerbosity::Quiet)
    {
        return;
    }
    const std::lock_guard<std::mutex> lock(s_outputMutex);
    stream << ShowableBoardText(strPath) << ": " << strText << std::endl;
}

// The run's sequence on one board, with its lines as it goes and, at its end, what went wrong
// on standard error as a single run says it.
void FlashBoard(CBoardOutcome& outcome, const std::vector<uint8_t>& image,
                const std::string& strFileName, const CTrayOptions& options,
                const CTrayTexts& texts, std::ostream& report)
{
    const auto start = Clock::now();
    outcome.m_start = std::chrono::system_clock::now();
    const std::string& strPath = outcome.m_info.m_strDevicePath;
    CBoardLock lock = CBoardLock::TryLock(strPath);
    if (lock.State() == EBoardLock::Busy)
    {
        Say(std::cerr, strPath, "Error: " + BoardInUseText(lock.Holder()) + ".");
        outcome.m_nResult = RESULT_CANCELLED;
        outcome.m_strReason = BoardInUseText(lock.Holder());
        outcome.m_dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        return;
    }
    CUsbDevice device{CUsbDeviceInfo(outcome.m_info)};
    CFlashHooks hooks;
    hooks.m_fnBegin = [&](const std::string& strVersion)
    {
        Say(report, strPath,
            texts.m_strBoard + ShowableBoardText(device.m_strDescription) + "(" +
                ShowableBoardText(strVersion) + ")");
        return true;
    };
    hooks.m_fnStep = [&](EFlashStep eStep)
    {
        Say(report, strPath,
            eStep == EFlashStep::Sending ? texts.m_strSending + " " + strFileName
                                         : texts.m_strSent);
    };
    const CFlashOutcome flash =
        FlashHeldBoard(device, image, options.m_bNoExecute, texts.m_flash, hooks);
    outcome.m_bVersionRead = flash.m_eEnd != EFlashEnd::Absent;
    outcome.m_strVersion = flash.m_strVersion;
    outcome.m_nResult = flash.m_nResult;
    outcome.m_strReason = flash.m_strReason;
    outcome.m_nBytesSent = flash.m_nBytesSent;
    outcome.m_dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    switch (flash.m_eEnd)
    {
    case EFlashEnd::Flashed:
        Say(report, strPath, texts.m_flash.m_strLoaded);
        break;
    case EFlashEnd::Absent:
        Say(std::cerr, strPath, "Error: " + flash.m_strReason + ".");
        break;
    case EFlashEnd::Stopped:
    case EFlashEnd::HeldBack:
    {
        // "stopped while sending: ..." as the single run's line "Stopped while sending: ...".
        std::string strLine = flash.m_strReason + ".";
        strLine[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(strLine[0])));
        Say(std::cerr, strPath, strLine);
        break;
    }
    case EFlashEnd::Failed:
        Say(std::cerr, strPath,
            texts.m_strCaption + ": " + flash.m_strMessage +
                (flash.m_nResult == RESULT_OLD_BOOTLOADER ? "" : " (" + flash.m_strReason + ")"));
        if (flash.m_nResult == RESULT_SEND_FAILED && flash.m_nBytesSent == image.size())
        {
            // Loaded, but whether it runs is unknown: as the single run, a failure.
            Say(report, strPath, texts.m_flash.m_strLoaded);
        }
        break;
    }
}

// The board's journal row; false (said on standard error) when it cannot be written.
bool RecordBoard(CJournal& journal, const CBoardOutcome& outcome, uint64_t nImageSize,
                 const std::string& strImageSha256, const std::string& strFileName)
{
    CJournalAttempt attempt;
    attempt.m_start = outcome.m_start;
    attempt.m_end = std::chrono::system_clock::now();
    attempt.m_strSlot = outcome.m_info.m_strDevicePath;
    attempt.m_strDescription = outcome.m_info.m_strDescription;
    attempt.m_strVersion = outcome.m_strVersion;
    attempt.m_strImagePath = JournalImagePath(strFileName);
    attempt.m_nImageSize = nImageSize;
    attempt.m_strImageSha256 = strImageSha256;
    attempt.m_strResult = JournalResultOf(outcome.m_nResult);
    attempt.m_nExitCode = outcome.m_nResult;
    attempt.m_strReason = outcome.m_strReason;
    attempt.m_dSeconds = outcome.m_dSeconds;
    std::string strError;
    if (journal.Record(attempt, strError))
    {
        return true;
    }
    Say(std::cerr, attempt.m_strSlot, "Error: not recorded: " + strError + ".");
    return false;
}

// The boards listed that are boards: a directory left behind by a killed board program (or a
// board gone since the listing) is none, as for --list and a single run; the same board reached
// by two paths is one. Said once each on standard error.
CUsbDeviceList PresentBoards(const CUsbDeviceList& devices, std::set<std::string>& said)
{
    CUsbDeviceList present;
    std::map<std::string, std::string> seen; // identity -> the path it was first listed under
    for (const CUsbDeviceInfo& info : devices)
    {
        const std::string& strPath = info.m_strDevicePath;
        const auto [itSeen, bNew] = seen.emplace(BoardIdentity(strPath), strPath);
        if (!bNew)
        {
            if (said.insert(strPath).second)
            {
                std::cerr << "Skipping " << ShowableBoardText(strPath) << ": the same board as "
                          << ShowableBoardText(itSeen->second) << "." << std::endl;
            }
            continue;
        }
        // A board another process holds is there; any other is asked without a command.
        const CBoardLock lock = CBoardLock::TryLock(strPath);
        CUsbDevice device{CUsbDeviceInfo(info)};
        if (lock.State() == EBoardLock::Gone ||
            (lock.State() != EBoardLock::Busy && !device.Present()))
        {
            if (said.insert(strPath).second)
            {
                std::cerr << "Skipping " << ShowableBoardText(strPath)
                          << ": no board answers there ("
                          << (lock.State() == EBoardLock::Gone ? "it is gone"
                                                               : device.FailureReason())
                          << ")." << std::endl;
            }
            continue;
        }
        present.push_back(info);
    }
    return present;
}

// The boards once at least nCount are attached, within the wait. Otherwise nResult is set,
// strReason says why, and the boards found are in *pFound.
CUsbDeviceList WaitForBoards(const CTrayOptions& options, int& nResult, std::string& strReason,
                             CUsbDeviceList* pFound)
{
    const auto start = Clock::now();
    bool bWaitingSaid = false;
    std::set<std::string> said;
    for (;;)
    {
        CUsbDeviceList devices = EnumerateDevices();
        // Only a listing long enough is looked into: the fewer boards that are there cannot be.
        if (devices.size() >= options.m_nCount)
        {
            devices = PresentBoards(devices, said);
        }
        if (devices.size() >= options.m_nCount)
        {
            return devices;
        }
        if (StopRequested())
        {
            nResult = RESULT_CANCELLED;
            strReason = "stopped while waiting for the boards";
            *pFound = std::move(devices);
            return {};
        }
        if (options.m_nWaitMs >= 0 &&
            Clock::now() - start >= std::chrono::milliseconds(options.m_nWaitMs))
        {
            strReason = std::to_string(devices.size()) + " of " + std::to_string(options.m_nCount) +
                        " boards found within " + SecondsText(options.m_nWaitMs) + " s";
            std::cerr << strReason << "; giving up." << std::endl;
            // A board just attached that may not be opened is told apart from no board, also
            // after a short wait.
            const std::vector<std::string> problems = UsbAccessProblems();
            for (const std::string& strProblem : problems)
            {
                std::cerr << strProblem << std::endl;
            }
            nResult = problems.empty() ? RESULT_CANCELLED : RESULT_NO_ACCESS;
            *pFound = std::move(devices);
            return {};
        }
        if (!bWaitingSaid)
        {
            bWaitingSaid = true;
            const std::string strWhat = std::to_string(options.m_nCount) + " boards (" +
                                        std::to_string(devices.size()) +
                                        (devices.size() == 1 ? " is" : " are") + " attached)";
            std::cerr << WaitingNotice(strWhat, options.m_nWaitMs) << std::endl;
        }
        WaitForStopSignal(WIZARD_POLL_PERIOD);
    }
}

CJsonObject OutcomeJson(const CBoardOutcome& outcome, const std::string& strFileName)
{
    CJsonObject object;
    if (outcome.m_info.m_strDevicePath.empty())
    {
        object.AddNull("path").AddNull("description");
    }
    else
    {
        object.Add("path", outcome.m_info.m_strDevicePath)
            .Add("description", outcome.m_info.m_strDescription);
    }
    if (outcome.m_bVersionRead)
    {
        object.Add("version", outcome.m_strVersion);
    }
    else
    {
        object.AddNull("version");
    }
    object.Add("file", strFileName)
        .Add("result", static_cast<int64_t>(outcome.m_nResult))
        .Add("bytes_sent", static_cast<int64_t>(outcome.m_nBytesSent))
        .AddSeconds("seconds", outcome.m_dSeconds);
    if (outcome.m_nResult == RESULT_LOADED)
    {
        object.AddNull("reason");
    }
    else
    {
        object.Add("reason", outcome.m_strReason);
    }
    return object;
}
} // namespace

int RunTray(const std::string& strFileName, const CTrayOptions& options)
{
    CStopSignalGuard stopSignals;
    ClearStopRequest();
    const CTrayTexts texts;
    std::vector<uint8_t> fileData;
    std::string strError;
    CFirmwareImage image;
    if (ReadWholeFile(strFileName, fileData, strError))
    {
        image = ConvertFirmware(std::move(fileData), ImageOptions());
        strError = image.m_strError;
    }
    if (!image.m_bOk)
    {
        std::cerr << texts.m_strCaption << ": " << CLanguageStrings::Instance().GetString(25) << " "
                  << strFileName << " (" << strError << ")" << std::endl;
        return RESULT_CANNOT_LOAD;
    }
    if (Verbosity() != EVerbosity::Quiet)
    {
        std::cerr << DescribeImage(strFileName, image) << std::endl;
    }
    const auto start = Clock::now();
    int nResult = 0;
    std::string strReason;
    CUsbDeviceList found;
    const CUsbDeviceList devices = WaitForBoards(options, nResult, strReason, &found);
    if (devices.empty())
    {
        // Too few boards: none was touched. --json still says so, one object per board found
        // (or one without a board), as a single run does.
        if (options.m_bJson)
        {
            if (found.empty())
            {
                found.emplace_back();
            }
            for (const CUsbDeviceInfo& info : found)
            {
                CBoardOutcome outcome;
                outcome.m_info = info;
                outcome.m_nResult = nResult;
                outcome.m_strReason = strReason;
                outcome.m_dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
                std::cout << OutcomeJson(outcome, strFileName).Text() << std::endl;
            }
        }
        return nResult;
    }
    std::ostream& report = options.m_bJson ? std::cerr : std::cout;
    std::vector<CBoardOutcome> outcomes(devices.size());
    std::atomic<bool> bJournalFailed{false};
    const std::string strSha256 = options.m_pJournal == nullptr
                                      ? std::string()
                                      : Sha256Hex(image.m_data.data(), image.m_data.size());
    {
        std::vector<std::jthread> threads;
        for (size_t n = 0; n < devices.size(); ++n)
        {
            outcomes[n].m_info = devices[n];
            threads.emplace_back(
                [&, n]
                {
                    FlashBoard(outcomes[n], image.m_data, strFileName, options, texts, report);
                    if (options.m_pJournal != nullptr && outcomes[n].m_bVersionRead &&
                        !RecordBoard(*options.m_pJournal, outcomes[n], image.m_data.size(),
                                     strSha256, strFileName))
                    {
                        bJournalFailed = true;
                    }
                });
        }
    }
    size_t nFlashed = 0;
    for (const CBoardOutcome& outcome : outcomes)
    {
        nFlashed += outcome.m_nResult == RESULT_LOADED ? 1 : 0;
        if (nResult == 0 && outcome.m_nResult != RESULT_LOADED)
        {
            nResult = outcome.m_nResult;
        }
        if (options.m_bJson)
        {
            std::cout << OutcomeJson(outcome, strFileName).Text() << std::endl;
        }
    }
    if (Verbosity() != EVerbosity::Quiet || options.m_bJson)
    {
        report << nFlashed << " of " << outcomes.size() << " boards flashed"
               << (options.m_bNoExecute && nFlashed > 0 ? "; not started (--no-execute)" : "")
               << std::endl;
    }
    return bJournalFailed ? EXIT_CANNOT_WRITE : nResult;
}
