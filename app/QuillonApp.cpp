#include "app/QuillonApp.h"

#include "app/BoardCommands.h"
#include "app/FileOutput.h"
#include "app/JournalReport.h"
#include "app/JsonWriter.h"
#include "app/ProgramPlace.h"
#include "app/StationConsole.h"
#include "app/TrayRun.h"

#include "journal/Journal.h"
#include "lang/LanguageStrings.h"
#include "ui/wizard/ConsoleWizard.h"
#include "ui/wizard/ProgressMeter.h"
#include "ui/wizard/StopSignals.h"
#include "usb/BoardLock.h"
#include "usb/BoardText.h"
#include "usb/UsbDevice.h"
#include "usb/libusb/UsbBoardIds.h"
#include "usb/virtual/VirtualRegistry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <unistd.h>

namespace
{
// One process-wide exit code, written before every end of InitInstance.
int s_nExitCode = 0;

// A usage error is one line: what is wrong, and where to look.
int UsageError(const std::string& strProgram, const std::string& strError)
{
    std::cerr << strProgram << ": " << strError << " (see '" << strProgram << " --help')"
              << std::endl;
    return EXIT_USAGE;
}

bool PathExists(const std::string& strPath)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::u8path(strPath), error);
}

} // namespace

std::string FindLanguageFile(const std::string& strAppDir, const std::string& strAppName)
{
    const std::string strBeside = strAppDir + strAppName + ".ini";
    if (PathExists(strBeside))
    {
        return strBeside;
    }
    const std::string strInstalled = strAppDir + "../share/quillon/" + strAppName + ".ini";
    return PathExists(strInstalled) ? strInstalled : std::string();
}

CQuillonApp::CQuillonApp(std::string strArgv0, std::vector<std::string> arguments)
    : m_arguments(std::move(arguments))
{
    if (!GetProgramPlace(m_strAppDir, m_strAppName))
    {
        m_strAppDir.clear();
        m_strAppName = ProgramNameOf(strArgv0);
    }
}

int CQuillonApp::GetExitCode() const
{
    return s_nExitCode;
}

void CQuillonApp::SetExitCode(const int& nCode)
{
    s_nExitCode = nCode;
}

int CQuillonApp::ExitInstance()
{
    // A report that did not reach its file or pipe is a failure the caller must see, though
    // the run itself went through. A terminal that went away has nobody left to tell, and
    // nothing was asked of a standard output that was closed from the start.
    std::cout.flush();
    const bool bFailed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout;
    if (bFailed && StdoutIsFileOrPipe())
    {
        std::cerr << m_strAppName << ": the report could not be written to standard output"
                  << std::endl;
        if (GetExitCode() == 0)
        {
            SetExitCode(EXIT_IO_ERROR);
        }
    }
    return GetExitCode();
}

void CQuillonApp::ShowStartupMessage(const std::string& strText, const std::string& strCaption)
{
    std::cerr << strCaption << ": " << strText << std::endl;
}

bool CQuillonApp::InitInstance()
{
    std::string strError;
    std::string strWarning;
    if (!TakeProgramOptions(m_arguments, m_options, strError, strWarning))
    {
        SetExitCode(UsageError(m_strAppName, strError));
        return false;
    }
    if (m_options.m_bHelp)
    {
        std::cout << UsageText(m_strAppName, HasWindows()) << std::flush;
        SetExitCode(0);
        return false;
    }
    if (!strWarning.empty())
    {
        std::cerr << m_strAppName << ": " << strWarning << std::flush;
    }
    SetImageOptions(m_options.m_imageOptions);
    SetVerbosity(m_options.m_bQuiet     ? EVerbosity::Quiet
                 : m_options.m_bVerbose ? EVerbosity::Verbose
                                        : EVerbosity::Normal);
    if (m_options.m_bTimeoutSet)
    {
        SetPipeTimeoutMs(m_options.m_nTimeoutMs);
    }
    if (!m_options.m_strConvertFile.empty())
    {
        SetExitCode(ConvertFile());
        return false;
    }
    for (const std::string& strIds : m_options.m_usbIds)
    {
        AddUsbBoardIds(strIds, nullptr); // checked when the options were taken
    }

    CCustomCommandLineInfo cmdInfo;
    const std::vector<std::string>& arguments = m_options.m_arguments;
    const size_t nFirstOperand = std::min(m_options.m_nFirstOperand, arguments.size());
    ParseCommandLine(std::vector<std::string>(arguments.begin(), arguments.begin() + nFirstOperand),
                     cmdInfo);
    // After "--" nothing is a switch: "-dash.bin" is a file name.
    for (size_t n = nFirstOperand; n < arguments.size(); ++n)
    {
        cmdInfo.ParseParam(arguments[n], false, n + 1 == arguments.size());
    }

    CLanguageStrings& strings = CLanguageStrings::Instance();
    const std::string strIniPath = FindLanguageFile(m_strAppDir, LanguageFileName());
    if (strIniPath.empty())
    {
        ShowStartupMessage("File not found: " + IniPath(), "Error");
        SetExitCode(RESULT_CANNOT_LOAD);
        return false;
    }
    strings.Open(strIniPath, LANGUAGE_ENGLISH);
    strings.SelectLanguageFromRegistry();
    // The first flag set decides; "engb" keeps what the user's setting chose.
    if (!cmdInfo.m_bEngb)
    {
        if (cmdInfo.m_bDede)
        {
            strings.SetLanguage(LANGUAGE_GERMAN);
        }
        else if (cmdInfo.m_bFrfr)
        {
            strings.SetLanguage(LANGUAGE_FRENCH);
        }
        else if (cmdInfo.m_bEses)
        {
            strings.SetLanguage(LANGUAGE_SPANISH);
        }
        else if (cmdInfo.m_bNlnl)
        {
            strings.SetLanguage(LANGUAGE_DUTCH);
        }
    }

    if (m_options.m_bVersion)
    {
        if (m_options.m_bJson)
        {
            std::cout
                << CJsonObject().Add("program", m_strAppName).Add("version", PROGRAM_VERSION).Text()
                << std::endl;
        }
        else
        {
            std::cout << CWizardRun::VersionLine() << std::endl;
        }
        SetExitCode(0);
        return false;
    }
    if (m_options.m_bList)
    {
        ListBoards();
        SetExitCode(0);
        return false;
    }

    if (m_options.m_bSummary)
    {
        SetExitCode(PrintJournalSummary(m_strAppName, m_options.m_strJournal, m_options.m_bJson));
        return false;
    }
    if (!m_options.m_strStationFile.empty())
    {
        SetExitCode(RunStation(cmdInfo));
        return false;
    }

    if (m_options.IsBoardCommand())
    {
        if (!cmdInfo.m_strFileName.empty())
        {
            SetExitCode(UsageError(m_strAppName, "this operation takes no file; '" +
                                                     cmdInfo.m_strFileName + "' is one too many"));
            return false;
        }
        CBoardCommandOptions commandOptions;
        commandOptions.m_strDevicePath = m_options.m_strDevicePath;
        commandOptions.m_nWaitMs = m_options.m_nWaitMs;
        commandOptions.m_nReceiveSize = m_options.m_nReceiveSize;
        commandOptions.m_strOutput = m_options.m_strOutput;
        commandOptions.m_bJson = m_options.m_bJson;
        const EBoardCommand eCommand = m_options.m_bExecute        ? EBoardCommand::Execute
                                       : m_options.m_bBoardVersion ? EBoardCommand::Version
                                                                   : EBoardCommand::Receive;
        SetExitCode(RunBoardCommand(eCommand, commandOptions));
        return false;
    }
    if (m_options.m_bAll && cmdInfo.m_strFileName.empty())
    {
        SetExitCode(UsageError(m_strAppName, "option --all needs FILE, the file to send"));
        return false;
    }
    if (m_options.m_bNoExecute && cmdInfo.m_strFileName.empty())
    {
        SetExitCode(UsageError(m_strAppName, "option --no-execute needs FILE, the file to send"));
        return false;
    }

    if (!m_options.m_strJournal.empty() && cmdInfo.m_strFileName.empty())
    {
        SetExitCode(UsageError(m_strAppName, "option --journal goes with sending a file, --all, "
                                             "--station or --summary"));
        return false;
    }
    if (cmdInfo.m_strFileName.empty())
    {
        if (!HasWindows())
        {
            SetExitCode(UsageError(m_strAppName, "name FILE to send, or an operation (--list, "
                                                 "--board-version, --receive, --execute)"));
            return false;
        }
        if (IsConsoleOnly())
        {
            std::cerr << m_strAppName
                      << ": the window needs a display (DISPLAY or WAYLAND_DISPLAY is not set"
                      << (m_options.m_bHeadless ? ", or --headless was given" : "")
                      << ").\nTo flash a board without one, name the file: " << m_strAppName
                      << " FILE" << std::endl;
            SetExitCode(EXIT_NO_DISPLAY);
            return false;
        }
        SetExitCode(RunMainWindow());
        return false;
    }

    CJournal journal;
    CJournal* pJournal = m_options.m_strJournal.empty() ? nullptr : &journal;
    if (pJournal != nullptr && !OpenJournal(journal))
    {
        SetExitCode(EXIT_CANNOT_WRITE);
        return false;
    }
    if (m_options.m_bAll)
    {
        RedirectStdoutToConsole();
        CTrayOptions trayOptions;
        trayOptions.m_nWaitMs = m_options.m_nWaitMs;
        trayOptions.m_nCount = std::max<uint32_t>(m_options.m_nCount, 1);
        trayOptions.m_bNoExecute = m_options.m_bNoExecute;
        trayOptions.m_bJson = m_options.m_bJson;
        trayOptions.m_pJournal = pJournal;
        SetExitCode(RunTray(cmdInfo.m_strFileName, trayOptions));
        return false;
    }
    const bool bStdout = RedirectStdoutToConsole();
    // With --json standard output carries the JSON alone; the report goes beside the errors.
    std::streambuf* pStdout = m_options.m_bJson ? std::cout.rdbuf(std::cerr.rdbuf()) : nullptr;
    if (bStdout && Verbosity() != EVerbosity::Quiet)
    {
        std::cout << CWizardRun::VersionLine() << std::endl;
    }
    CWizardOptions wizardOptions;
    wizardOptions.m_strDevicePath = m_options.m_strDevicePath;
    wizardOptions.m_nWaitMs = m_options.m_nWaitMs;
    wizardOptions.m_bNoExecute = m_options.m_bNoExecute;
    wizardOptions.m_pJournal = pJournal;
    if (IsConsoleOnly())
    {
        CConsoleWizard wizard(cmdInfo, wizardOptions);
        SetExitCode(wizard.DoModal());
        if (pStdout != nullptr)
        {
            std::cout.rdbuf(pStdout);
            const CRunRecord& record = wizard.Run().Record();
            CJsonObject summary;
            if (record.m_strDevicePath.empty())
            {
                summary.AddNull("path").AddNull("description").AddNull("version");
            }
            else
            {
                summary.Add("path", record.m_strDevicePath)
                    .Add("description", record.m_strDescription)
                    .Add("version", record.m_strVersion);
            }
            summary.Add("file", cmdInfo.m_strFileName)
                .Add("result", static_cast<int64_t>(GetExitCode()))
                .Add("bytes_sent", static_cast<int64_t>(record.m_nBytesSent))
                .AddSeconds("seconds", record.m_dSeconds);
            if (GetExitCode() == 0)
            {
                summary.AddNull("reason");
            }
            else
            {
                summary.Add("reason", record.m_strReason);
            }
            std::cout << summary.Text() << std::endl;
        }
    }
    else
    {
        SetExitCode(RunWizardWindow(CCustomCommandLineInfo(cmdInfo), wizardOptions));
    }
    return false;
}

int CQuillonApp::RunStationWindow(const CStationOptions& options)
{
    return RunStationConsole(options, m_options.m_bJson);
}

bool CQuillonApp::OpenJournal(CJournal& journal)
{
    std::string strError;
    if (journal.Open(m_options.m_strJournal, true, strError))
    {
        return true;
    }
    std::cerr << m_strAppName << ": " << ShowableBoardText(strError) << std::endl;
    return false;
}

int CQuillonApp::RunStation(const CCustomCommandLineInfo& cmdInfo)
{
    if (!cmdInfo.m_strFileName.empty())
    {
        return UsageError(m_strAppName, "option --station takes the file every board gets; '" +
                                            cmdInfo.m_strFileName + "' is one too many");
    }
    CJournal journal;
    if (!m_options.m_strJournal.empty() && !OpenJournal(journal))
    {
        return EXIT_CANNOT_WRITE;
    }
    RedirectStdoutToConsole();
    CStationOptions options;
    options.m_strFileName = m_options.m_strStationFile;
    options.m_nCount = m_options.m_nCount;
    options.m_bNoExecute = m_options.m_bNoExecute;
    options.m_pJournal = m_options.m_strJournal.empty() ? nullptr : &journal;
    return IsConsoleOnly() ? RunStationConsole(options, m_options.m_bJson)
                           : RunStationWindow(options);
}

int CQuillonApp::ConvertFile()
{
    const std::string& strInput = m_options.m_strConvertFile;
    CCustomCommandLineInfo cmdInfo;
    ParseCommandLine(m_options.m_arguments, cmdInfo);
    if (!cmdInfo.m_strFileName.empty())
    {
        std::cerr << m_strAppName << ": --convert takes one file; '" << cmdInfo.m_strFileName
                  << "' is one too many" << std::endl;
        return EXIT_USAGE;
    }
    std::vector<uint8_t> fileData;
    std::string strError;
    if (!ReadWholeFile(strInput, fileData, strError))
    {
        std::cerr << m_strAppName << ": cannot read " << strInput << ": " << strError << std::endl;
        return RESULT_CANNOT_LOAD;
    }
    const CFirmwareImage image = ConvertFirmware(std::move(fileData), ImageOptions());
    if (!image.m_bOk)
    {
        std::cerr << m_strAppName << ": " << strInput << ": " << image.m_strError << std::endl;
        return RESULT_CANNOT_LOAD;
    }
    // Writing may wait for a FIFO's reader or a slow stream: the first signal ends it with 2.
    CStopSignalGuard stopSignals;
    ClearStopRequest();
    COutputFile output;
    const bool bToStdout = m_options.m_strOutput == "-";
    if (bToStdout)
    {
        // As --receive -o - does: the bytes on standard output, every word on standard error.
        output.PrepareStandardOutput();
    }
    if ((!bToStdout && !output.Prepare(m_options.m_strOutput, strError)) ||
        !output.Commit(image.m_data.data(), image.m_data.size(), strError))
    {
        std::cerr << m_strAppName << ": cannot write "
                  << (bToStdout ? std::string("the image to standard output")
                                : m_options.m_strOutput)
                  << ": " << strError << std::endl;
        return StopRequested() ? RESULT_CANCELLED : EXIT_CANNOT_WRITE;
    }
    if (Verbosity() != EVerbosity::Quiet)
    {
        std::cerr << DescribeImage(strInput, image) << std::endl;
    }
    return 0;
}

void CQuillonApp::ListBoards()
{
    // What is ignored is said first, each once, with the fix.
    const std::string strTrust = RegistryTrustProblem(GetBoardRegistryDirectory());
    if (!strTrust.empty())
    {
        std::cerr << ShowableBoardText(strTrust) << std::endl;
    }
    const CUsbDeviceList devices = EnumerateDevices();
    if (const std::string strIds = UsbIdsFileProblem(); !strIds.empty())
    {
        std::cerr << ShowableBoardText(strIds) << std::endl;
    }
    size_t nListed = 0;
    std::vector<CJsonObject> boards;
    for (const CUsbDeviceInfo& info : devices)
    {
        // A board another run holds keeps its commands to itself: its version is left out.
        CBoardLock lock = CBoardLock::TryLock(info.m_strDevicePath);
        std::string strVersion;
        if (lock.State() == EBoardLock::Busy)
        {
            std::cerr << ShowableBoardText(info.m_strDevicePath) << ": "
                      << BoardInUseText(lock.Holder()) << "; version not read." << std::endl;
        }
        else
        {
            CUsbDevice device(info);
            strVersion = device.GetVersion();
            strVersion = strVersion.substr(0, strVersion.find('\0'));
            device.ClosePipes();
            if (strVersion.empty() && device.BoardAbsent())
            {
                // Left behind by a board program that was killed, or gone meanwhile.
                continue;
            }
        }
        ++nListed;
        if (m_options.m_bJson)
        {
            CJsonObject board;
            board.Add("path", info.m_strDevicePath).Add("description", info.m_strDescription);
            if (lock.State() == EBoardLock::Busy)
            {
                board.AddNull("version");
            }
            else
            {
                board.Add("version", strVersion);
            }
            boards.push_back(
                board.Add("may_open", true).Add("in_use", lock.State() == EBoardLock::Busy));
            continue;
        }
        // Board bytes cannot add lines or columns, or drive the terminal.
        std::cout << ShowableBoardText(info.m_strDescription) << '\t'
                  << ShowableBoardText(info.m_strDevicePath) << '\t'
                  << ShowableBoardText(strVersion) << std::endl;
    }
    // A board that is there but may not be opened is named, with the way to fix it: in the
    // JSON always, on standard error when nothing else was found.
    const std::vector<CUsbRefusedBoard> refused =
        m_options.m_bJson || nListed == 0 ? UsbRefusedBoards() : std::vector<CUsbRefusedBoard>();
    if (m_options.m_bJson)
    {
        for (const CUsbRefusedBoard& board : refused)
        {
            boards.push_back(CJsonObject()
                                 .Add("path", board.m_strDevicePath)
                                 .Add("description", "USB board " + FormatUsbBoardId(board.m_id))
                                 .AddNull("version")
                                 .Add("may_open", false)
                                 .Add("in_use", false));
        }
        std::cout << JsonArray(boards) << std::endl;
    }
    if (nListed == 0)
    {
        for (const CUsbRefusedBoard& board : refused)
        {
            std::cerr << board.m_strMessage << std::endl;
        }
        if (refused.empty())
        {
            std::cerr << "No board found." << std::endl;
        }
    }
}

int RunQuillonProgram(const std::function<std::unique_ptr<CQuillonApp>()>& fnMakeApp)
{
    IgnoreBrokenPipes();
    try
    {
        const std::unique_ptr<CQuillonApp> pApp = fnMakeApp();
        pApp->InitInstance();
        return pApp->ExitInstance();
    }
    catch (const std::bad_alloc&)
    {
        std::fputs("quillon: out of memory\n", stderr);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "quillon: internal error: %s\n", error.what());
    }
    return EXIT_SOFTWARE;
}
