#include "app/BoardCommands.h"

#include "app/FileOutput.h"
#include "app/JsonWriter.h"
#include "lang/CRuntimeRules.h"
#include "lang/LanguageStrings.h"
#include "ui/wizard/ProgressMeter.h"
#include "ui/wizard/StopSignals.h"
#include "ui/wizard/WizardRun.h"
#include "usb/BoardLock.h"
#include "usb/BoardText.h"
#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBoardIds.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <set>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// A board taken for one operation: held against other processes, its version read once.
struct CTakenBoard
{
    CBoardLock m_lock;
    std::unique_ptr<CUsbDevice> m_pDevice;
    std::string m_strVersion;
    std::string m_strReason; // why the operation failed, in words
};

int Stopped(const char* pszWhen, CTakenBoard& board)
{
    std::cerr << "Stopped " << pszWhen << "." << std::endl;
    board.m_strReason = std::string("stopped ") + pszWhen;
    return RESULT_CANCELLED;
}

void SleepUnlessStopped(std::chrono::milliseconds period)
{
    const auto deadline = Clock::now() + period;
    while (!StopRequested() && Clock::now() < deadline)
    {
        const auto nLeftMs =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        WaitForStopSignal(static_cast<int>(nLeftMs));
    }
}

int BoardFailed(const std::string& strText, CTakenBoard& board)
{
    board.m_strReason = board.m_pDevice->FailureReason();
    std::cerr << "Error: " << strText << std::endl;
    std::cerr << "Reason: " << board.m_strReason << "." << std::endl;
    return RESULT_SEND_FAILED;
}

// The board the operation works on, polled for within the wait. 0 when taken; otherwise the
// exit code, with the reason said.
int TakeBoard(const CBoardCommandOptions& options, CTakenBoard& board)
{
    const auto start = Clock::now();
    bool bBusySaid = false;
    bool bLockWarned = false;
    bool bWaitingSaid = false;
    std::set<std::string> absentBoards;
    for (;;)
    {
        if (StopRequested())
        {
            return Stopped("while waiting for a board", board);
        }
        const CUsbDeviceList devices = EnumerateDevices();
        // Without --device a board that another process holds is passed over for the next free one.
        CBoardLock busyLock;
        std::string strBusyPath;
        for (const CUsbDeviceInfo& info : devices)
        {
            if (!options.m_strDevicePath.empty() && info.m_strDevicePath != options.m_strDevicePath)
            {
                continue;
            }
            CBoardLock lock = CBoardLock::TryLock(info.m_strDevicePath);
            if (lock.State() == EBoardLock::Busy)
            {
                if (busyLock.State() != EBoardLock::Busy)
                {
                    strBusyPath = info.m_strDevicePath;
                    busyLock = std::move(lock);
                }
                continue;
            }
            if (lock.State() == EBoardLock::Unavailable && !bLockWarned)
            {
                bLockWarned = true;
                std::cerr << "Cannot hold the board during the operation ("
                          << ShowableBoardText(lock.Error()) << "); going on without." << std::endl;
            }
            auto pDevice = std::make_unique<CUsbDevice>(CUsbDeviceInfo(info));
            std::string strVersion = pDevice->GetVersion();
            strVersion = strVersion.substr(0, strVersion.find('\0'));
            if (StopRequested())
            {
                return Stopped("while reading the board's version", board);
            }
            if (strVersion.empty() && pDevice->BoardAbsent())
            {
                // Left behind by a board program that was killed, or gone meanwhile.
                if (absentBoards.insert(info.m_strDevicePath).second)
                {
                    std::cerr << "Skipping " << ShowableBoardText(info.m_strDevicePath)
                              << ": no board answers there (" << pDevice->FailureReason() << ")."
                              << std::endl;
                }
                continue;
            }
            if (options.m_strDevicePath.empty() && devices.size() > 1)
            {
                const bool bBusy = busyLock.State() == EBoardLock::Busy;
                std::cerr << SeveralBoardsNotice(devices.size(), info, &info == &devices.front(),
                                                 bBusy ? BusyBoardText(strBusyPath, busyLock)
                                                       : std::string())
                          << std::endl;
            }
            if (Verbosity() == EVerbosity::Verbose)
            {
                std::cerr << "Using " << ShowableBoardText(info.m_strDescription) << " ("
                          << ShowableBoardText(info.m_strDevicePath) << "), bootloader "
                          << ShowableBoardText(strVersion) << "." << std::endl;
            }
            board.m_lock = std::move(lock);
            board.m_pDevice = std::move(pDevice);
            board.m_strVersion = std::move(strVersion);
            return 0;
        }
        if (busyLock.State() == EBoardLock::Busy && !bBusySaid)
        {
            bBusySaid = true;
            std::cerr << "Waiting for the board: " << BoardInUseText(busyLock.Holder()) << " ("
                      << ShowableBoardText(strBusyPath) << ")." << std::endl;
        }
        const auto elapsed = Clock::now() - start;
        if (elapsed >= std::chrono::milliseconds(std::max<int64_t>(options.m_nWaitMs, 0)))
        {
            if (busyLock.State() == EBoardLock::Busy)
            {
                board.m_strReason = BoardInUseText(busyLock.Holder());
                std::cerr << "Error: " << board.m_strReason << "." << std::endl;
            }
            else if (const std::vector<std::string> problems = UsbAccessProblems();
                     !problems.empty())
            {
                // There is a board, but not for this user: said with the way to grant access.
                for (const std::string& strProblem : problems)
                {
                    std::cerr << strProblem << std::endl;
                }
                board.m_strReason = problems.front();
                return RESULT_NO_ACCESS;
            }
            else
            {
                board.m_strReason =
                    options.m_nWaitMs > 0
                        ? "no board found within " + SecondsText(options.m_nWaitMs) + " s"
                        : "no board found";
                std::cerr << "Error: No ARM device found!" << std::endl;
            }
            return RESULT_CANCELLED;
        }
        if (!bWaitingSaid && busyLock.State() != EBoardLock::Busy)
        {
            bWaitingSaid = true;
            std::cerr << WaitingNotice(WaitedBoard(options.m_strDevicePath), options.m_nWaitMs)
                      << std::endl;
        }
        SleepUnlessStopped(std::chrono::milliseconds(WIZARD_POLL_PERIOD));
    }
}

bool IsOldBootloader(const std::string& strVersion)
{
    if (MbsUpr(strVersion) != MbsUpr(OLD_BOOTLOADER_BANNER))
    {
        return false;
    }
    std::cerr << "Error: " << CLanguageStrings::Instance().GetString(47) << std::endl;
    return true;
}

// --board-version --json: one object whatever happened, the board null when none was used.
void PrintVersionJson(const CTakenBoard& board, int nResult)
{
    CJsonObject object;
    if (board.m_pDevice)
    {
        object.Add("path", board.m_pDevice->m_strDevicePath)
            .Add("description", board.m_pDevice->m_strDescription);
    }
    else
    {
        object.AddNull("path").AddNull("description");
    }
    if (nResult == 0)
    {
        object.Add("version", board.m_strVersion);
    }
    else
    {
        object.AddNull("version");
    }
    object.Add("result", static_cast<int64_t>(nResult));
    if (nResult == 0)
    {
        object.AddNull("reason");
    }
    else
    {
        object.Add("reason", board.m_strReason);
    }
    std::cout << object.Text() << std::endl;
}

int ReadVersion(CTakenBoard& board, bool bJson)
{
    if (board.m_strVersion.empty())
    {
        return BoardFailed("Bad response from device, cannot read version!", board);
    }
    if (!bJson)
    {
        // Board bytes cannot add lines or drive the terminal.
        std::cout << ShowableBoardText(board.m_strVersion) << std::endl;
    }
    return 0;
}

int Execute(CTakenBoard& board)
{
    if (IsOldBootloader(board.m_strVersion))
    {
        return RESULT_OLD_BOOTLOADER;
    }
    if (!board.m_pDevice->Execute())
    {
        if (StopRequested())
        {
            return Stopped("during the execute command", board);
        }
        return BoardFailed("Bad response from device!", board);
    }
    if (Verbosity() != EVerbosity::Quiet)
    {
        std::cout << "Sending execute command... Done!" << std::endl;
    }
    return 0;
}
} // namespace

int RunBoardCommand(EBoardCommand eCommand, const CBoardCommandOptions& options)
{
    CStopSignalGuard stopSignals;
    ClearStopRequest();
    COutputFile output;
    std::string strError;
    // The output is looked at before the board is asked, so a folder that cannot take it
    // costs no board time; nothing is created or opened until all of the data has arrived.
    if (eCommand == EBoardCommand::Receive)
    {
        if (options.m_strOutput == "-")
        {
            output.PrepareStandardOutput();
        }
        else if (!output.Prepare(options.m_strOutput, strError))
        {
            std::cerr << "Error: File cannot be created!! (" << options.m_strOutput << ": "
                      << strError << ")" << std::endl;
            return RESULT_CANNOT_LOAD;
        }
    }
    const bool bToStdout = output.IsStandardOutput();

    CTakenBoard board;
    if (eCommand == EBoardCommand::Version)
    {
        int nResult = TakeBoard(options, board);
        if (nResult == 0)
        {
            nResult = ReadVersion(board, options.m_bJson);
        }
        if (options.m_bJson)
        {
            PrintVersionJson(board, nResult);
        }
        return nResult;
    }
    if (const int nResult = TakeBoard(options, board); nResult != 0)
    {
        return nResult;
    }
    board.m_pDevice->SetProgress([](uint64_t, uint64_t) { return !StopRequested(); });
    if (eCommand == EBoardCommand::Execute)
    {
        return Execute(board);
    }

    if (IsOldBootloader(board.m_strVersion))
    {
        return RESULT_OLD_BOOTLOADER;
    }
    std::vector<uint8_t> buffer(options.m_nReceiveSize);
    CProgressMeter progress;
    board.m_pDevice->SetProgress(
        [&progress](uint64_t nDone, uint64_t nTotal)
        {
            progress.Update(nDone, nTotal);
            return !StopRequested();
        });
    // The progress line and the verbose timing count from the same moment.
    const auto start = Clock::now();
    progress.Update(0, options.m_nReceiveSize);
    const bool bReceived = board.m_pDevice->ReceiveData(options.m_nReceiveSize, buffer.data());
    progress.Finish();
    if (Verbosity() == EVerbosity::Verbose)
    {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
        std::cerr << (bReceived ? "Received " : "Receive failed after ") << options.m_nReceiveSize
                  << " bytes in " << DurationText(elapsed) << " ("
                  << RateText(options.m_nReceiveSize, elapsed) << ")." << std::endl;
    }
    if (!bReceived)
    {
        if (StopRequested())
        {
            return Stopped("while receiving: nothing was written", board);
        }
        return BoardFailed("Bad response from device, cannot receive file!", board);
    }
    const std::string strDescription = board.m_pDevice->m_strDescription;
    board = CTakenBoard();
    if (!output.Commit(buffer.data(), buffer.size(), strError))
    {
        if (StopRequested())
        {
            return Stopped(("while writing " + options.m_strOutput).c_str(), board);
        }
        std::cerr << "Error: File cannot be created!! (" << options.m_strOutput << ": " << strError
                  << ")" << std::endl;
        return RESULT_CANNOT_LOAD;
    }
    if (Verbosity() == EVerbosity::Quiet)
    {
        return 0;
    }
    // The window's log lines; beside the data they would spoil it.
    std::ostream& report = bToStdout ? std::cerr : std::cout;
    report << "Receving data from device: " << ShowableBoardText(strDescription) << "\n"
           << "File size: " << options.m_nReceiveSize << " bytes. \n"
           << "File Received. " << std::endl;
    return 0;
}
