#include "app/QuillonApp.h"

#include "lang/LanguageStrings.h"
#include "ui/wizard/ConsoleWizard.h"
#include "usb/BoardLock.h"
#include "usb/BoardText.h"
#include "usb/UsbBoardIds.h"
#include "usb/UsbDevice.h"
#include "usb/VirtualRegistry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <limits.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
// One process-wide exit code, written before every end of InitInstance.
int s_nExitCode = 0;

bool IsSet(const char* pszName)
{
    const char* pszValue = std::getenv(pszName);
    return pszValue != nullptr && *pszValue != '\0';
}

bool ParseUnsigned(const std::string& strText, uint64_t nMax, uint64_t& nValue)
{
    if (strText.empty() || strText.size() > 19)
    {
        return false;
    }
    nValue = 0;
    for (char c : strText)
    {
        if (c < '0' || c > '9')
        {
            return false;
        }
        nValue = nValue * 10 + static_cast<uint64_t>(c - '0');
    }
    return nValue <= nMax;
}

// Decimal, or hexadecimal after "0x".
bool ParseNumber(const std::string& strText, uint64_t nMax, uint64_t& nValue)
{
    if (strText.size() < 3 ||
        (strText.compare(0, 2, "0x") != 0 && strText.compare(0, 2, "0X") != 0))
    {
        return ParseUnsigned(strText, nMax, nValue);
    }
    if (strText.size() > 2 + 16)
    {
        return false;
    }
    nValue = 0;
    for (char c : strText.substr(2))
    {
        const int nDigit = (c >= '0' && c <= '9')   ? c - '0'
                           : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                           : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                    : -1;
        if (nDigit < 0)
        {
            return false;
        }
        nValue = nValue * 16 + static_cast<uint64_t>(nDigit);
    }
    return nValue <= nMax;
}

// Seconds with up to three decimals, as milliseconds.
bool ParseSeconds(const std::string& strText, int64_t& nMilliseconds)
{
    const size_t nDot = strText.find('.');
    const bool bFraction = nDot != std::string::npos;
    std::string strFraction = bFraction ? strText.substr(nDot + 1) : "000";
    if (strFraction.empty() || strFraction.size() > 3)
    {
        return false;
    }
    strFraction.resize(3, '0');
    uint64_t nWhole = 0;
    uint64_t nFraction = 0;
    if (!ParseUnsigned(strText.substr(0, nDot), 1000000000, nWhole) ||
        !ParseUnsigned(strFraction, 999, nFraction))
    {
        return false;
    }
    nMilliseconds = static_cast<int64_t>(nWhole * 1000 + nFraction);
    return true;
}

std::string FileNameOf(const std::string& strPath)
{
    const size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
}

bool PathExists(const std::string& strPath)
{
    struct stat info = {};
    return stat(strPath.c_str(), &info) == 0;
}

// Closes a file descriptor on every path.
class CFd
{
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Close(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    bool Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int m_fd;
};

// The whole file; false with the reason in strError.
bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>& data, std::string& strError)
{
    // Non-blocking, so that a FIFO without a writer cannot hang; it reads as empty.
    CFd file(open(strPath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat info = {};
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0)
    {
        strError = std::strerror(errno);
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) > MAX_SEND_FILE_SIZE)
    {
        strError = "the file is 4 GiB or larger";
        return false;
    }
    if (info.st_size <= 0)
    {
        strError = "the file is empty";
        return false;
    }
    try
    {
        data.resize(static_cast<size_t>(info.st_size));
    }
    catch (const std::bad_alloc&)
    {
        strError = "not enough memory to hold the file";
        return false;
    }
    size_t nRead = 0;
    while (nRead < data.size())
    {
        const ssize_t nChunk = read(file.Get(), data.data() + nRead, data.size() - nRead);
        if (nChunk < 0 && errno == EINTR)
        {
            continue;
        }
        if (nChunk <= 0)
        {
            strError = nChunk < 0 ? std::strerror(errno) : "the file could not be read whole";
            return false;
        }
        nRead += static_cast<size_t>(nChunk);
    }
    return true;
}

bool WriteAll(int fd, const std::vector<uint8_t>& data)
{
    size_t nWritten = 0;
    while (nWritten < data.size())
    {
        const ssize_t nChunk = write(fd, data.data() + nWritten, data.size() - nWritten);
        if (nChunk < 0 && errno == EINTR)
        {
            continue;
        }
        if (nChunk <= 0)
        {
            return false;
        }
        nWritten += static_cast<size_t>(nChunk);
    }
    return true;
}

// Writes the whole file; a regular file (or a new one) through a temporary file renamed into
// place, so that a failed write never leaves a short image under the name asked for.
bool WriteWholeFile(const std::string& strPath, const std::vector<uint8_t>& data,
                    std::string& strError)
{
    struct stat info = {};
    const bool bDirect = stat(strPath.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
    const std::string strTarget = bDirect ? strPath : strPath + ".part";
    CFd file(open(strTarget.c_str(),
                  O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (bDirect ? 0 : O_TRUNC), 0666));
    errno = 0;
    int nError = 0;
    if (file.Get() < 0 || !WriteAll(file.Get(), data))
    {
        nError = errno != 0 ? errno : EIO;
    }
    if (!file.Close() && nError == 0)
    {
        nError = errno;
    }
    if (nError == 0 && !bDirect && rename(strTarget.c_str(), strPath.c_str()) != 0)
    {
        nError = errno;
    }
    if (nError == 0)
    {
        return true;
    }
    strError = std::strerror(nError);
    if (!bDirect)
    {
        unlink(strTarget.c_str());
    }
    return false;
}
} // namespace

bool TakeProgramOptions(const std::vector<std::string>& arguments, CProgramOptions& options,
                        std::string& strError, std::string& strWarning)
{
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::string& strArgument = arguments[i];
        if (strArgument == "--")
        {
            options.m_nFirstOperand = options.m_arguments.size();
            options.m_arguments.insert(options.m_arguments.end(), arguments.begin() + i + 1,
                                       arguments.end());
            break;
        }
        if (strArgument == "-o")
        {
            if (i + 1 >= arguments.size())
            {
                strError = "option -o needs a value";
                return false;
            }
            options.m_strOutput = arguments[++i];
            continue;
        }
        if (strArgument.rfind("--", 0) != 0)
        {
            options.m_arguments.push_back(strArgument);
            continue;
        }
        const size_t nEquals = strArgument.find('=');
        const std::string strName = strArgument.substr(0, nEquals);
        const bool bInlineValue = nEquals != std::string::npos;
        auto takeValue = [&](std::string& strValue)
        {
            if (bInlineValue)
            {
                strValue = strArgument.substr(nEquals + 1);
                return true;
            }
            if (i + 1 >= arguments.size())
            {
                strError = "option " + strName + " needs a value";
                return false;
            }
            strValue = arguments[++i];
            return true;
        };
        auto flag = [&](bool& bFlag)
        {
            if (bInlineValue)
            {
                strError = "option " + strName + " takes no value";
                return false;
            }
            bFlag = true;
            return true;
        };

        std::string strValue;
        if (strName == "--help")
        {
            if (!flag(options.m_bHelp))
            {
                return false;
            }
        }
        else if (strName == "--version")
        {
            if (!flag(options.m_bVersion))
            {
                return false;
            }
        }
        else if (strName == "--list")
        {
            if (!flag(options.m_bList))
            {
                return false;
            }
        }
        else if (strName == "--headless")
        {
            if (!flag(options.m_bHeadless))
            {
                return false;
            }
        }
        else if (strName == "--device")
        {
            if (!takeValue(options.m_strDevicePath))
            {
                return false;
            }
            if (options.m_strDevicePath.empty())
            {
                strError = "option --device needs a board's path (see --list)";
                return false;
            }
            // A board directory named with a trailing slash is the same board.
            while (options.m_strDevicePath.size() > 1 && options.m_strDevicePath.back() == '/')
            {
                options.m_strDevicePath.pop_back();
            }
        }
        else if (strName == "--timeout")
        {
            uint64_t nValue = 0;
            if (!takeValue(strValue))
            {
                return false;
            }
            if (!ParseUnsigned(strValue, UINT32_MAX, nValue))
            {
                strError =
                    "option --timeout needs milliseconds (0 to 4294967295), not '" + strValue + "'";
                return false;
            }
            options.m_bTimeoutSet = true;
            options.m_nTimeoutMs = static_cast<uint32_t>(nValue);
        }
        else if (strName == "--usb-id")
        {
            if (!takeValue(strValue))
            {
                return false;
            }
            std::vector<CUsbBoardId> ids;
            std::string strBadWord;
            if (!ParseUsbBoardIds(strValue, &ids, &strBadWord) || ids.empty())
            {
                strError = "option --usb-id needs USB ids as VVVV:PPPP in hexadecimal, not '" +
                           (strBadWord.empty() ? strValue : strBadWord) + "'";
                return false;
            }
            options.m_usbIds.push_back(strValue);
        }
        else if (strName == "--wait")
        {
            if (!takeValue(strValue))
            {
                return false;
            }
            if (!ParseSeconds(strValue, options.m_nWaitMs))
            {
                strError =
                    "option --wait needs seconds (for example 5 or 2.5), not '" + strValue + "'";
                return false;
            }
        }
        else if (strName == "--gap-fill")
        {
            uint64_t nValue = 0;
            if (!takeValue(strValue))
            {
                return false;
            }
            if (!ParseNumber(strValue, 0xFF, nValue))
            {
                strError = "option --gap-fill needs a byte (0 to 255, or 0x00 to 0xFF), not '" +
                           strValue + "'";
                return false;
            }
            options.m_imageOptions.m_nGapFill = static_cast<uint8_t>(nValue);
        }
        else if (strName == "--base")
        {
            uint64_t nValue = 0;
            if (!takeValue(strValue))
            {
                return false;
            }
            if (!ParseNumber(strValue, UINT32_MAX, nValue))
            {
                strError = "option --base needs an address (for example 0x08000000), not '" +
                           strValue + "'";
                return false;
            }
            options.m_imageOptions.m_bBaseSet = true;
            options.m_imageOptions.m_nBase = static_cast<uint32_t>(nValue);
        }
        else if (strName == "--convert")
        {
            if (!takeValue(options.m_strConvertFile))
            {
                return false;
            }
            if (options.m_strConvertFile.empty())
            {
                strError = "option --convert needs a file";
                return false;
            }
        }
        else if (strName == "--output")
        {
            if (!takeValue(options.m_strOutput))
            {
                return false;
            }
        }
        else
        {
            strWarning += "ignoring unknown option " + strArgument + "\n";
            options.m_arguments.push_back(strArgument);
        }
    }
    if (!options.m_strConvertFile.empty() && options.m_strOutput.empty())
    {
        strError = "option --convert needs -o OUT, the file the flat image goes to";
        return false;
    }
    if (options.m_strConvertFile.empty() && !options.m_strOutput.empty())
    {
        strError = "option -o/--output goes with --convert FILE";
        return false;
    }
    return true;
}

std::string UsageText(const std::string& strProgram)
{
    return "Usage: " + strProgram +
           " [OPTION]... [FILE] [KEYWORD]...\n"
           "Send FILE to the bootloader of the first Plinth board found and start it.\n"
           "FILE is a flat binary, or an ELF, Intel HEX or S-record file, which is sent as\n"
           "the flat image objcopy -O binary makes of it. Without FILE the window opens.\n"
           "\n"
           "Options:\n"
           "  --help            show this text and exit\n"
           "  --version         show the version line and exit\n"
           "  --list            list the attached boards (description, path, version) and exit\n"
           "  --device PATH     use the board with this path (as --list shows it)\n"
           "  --headless        run without any window, even when a display is available\n"
           "  --timeout MS      give up connecting to a board, or a read or write, after MS\n"
           "                    milliseconds without progress; a reply that never comes fails\n"
           "                    after MS in all (0 waits forever; default 3000)\n"
           "  --wait SECONDS    end with exit code 2 when no board was found in that time\n"
           "  --usb-id VID:PID  also take USB devices with these ids (hexadecimal, several\n"
           "                    separated by commas) for boards\n"
           "  --gap-fill BYTE   fill the gaps of an ELF, HEX or S-record image with BYTE\n"
           "                    (0 to 255 or 0x00 to 0xFF; default 0xFF, erased flash)\n"
           "  --base ADDR       refuse an ELF, HEX or S-record image that does not start\n"
           "                    at ADDR (for example 0x08000000)\n"
           "  --convert FILE -o OUT\n"
           "                    write FILE's flat image to OUT, without a board, and exit\n"
           "  -o, --output OUT  where --convert writes\n"
           "  --                end of options: what follows is the file and keywords\n"
           "\n"
           "Keywords (with or without a leading '/' or '-'): engb, dede, frfr, eses, nlnl\n"
           "choose English, German, French, Spanish or Dutch texts.\n"
           "\n"
           "Exit codes: 0 sent and started, 2 cancelled, interrupted or no board in time,\n"
           "25 file cannot be loaded (or language file missing), 39 send failed,\n"
           "47 old bootloader refused, 64 bad option, 69 window asked for without a display,\n"
           "70 internal error, 73 --convert could not write OUT, 74 the report could not\n"
           "be written to standard output (the run itself went through).\n";
}

bool RedirectStdoutToConsole()
{
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1)
    {
        return false;
    }
    return std::setvbuf(stdout, nullptr, _IONBF, 0) == 0;
}

bool HasDisplay()
{
    return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM");
}

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
    char szPath[PATH_MAX + 1] = {};
    const ssize_t nLength = readlink("/proc/self/exe", szPath, PATH_MAX);
    if (nLength > 0)
    {
        const std::string strPath(szPath, static_cast<size_t>(nLength));
        m_strAppName = FileNameOf(strPath);
        m_strAppDir = strPath.substr(0, strPath.size() - m_strAppName.size());
    }
    else
    {
        m_strAppName = FileNameOf(strArgv0);
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
    if (bFailed && fcntl(STDOUT_FILENO, F_GETFD) != -1 && !isatty(STDOUT_FILENO))
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
        std::cerr << m_strAppName << ": " << strError << "\nTry '" << m_strAppName
                  << " --help' for more information." << std::endl;
        SetExitCode(EXIT_USAGE);
        return false;
    }
    if (m_options.m_bHelp)
    {
        std::cout << UsageText(m_strAppName) << std::flush;
        SetExitCode(0);
        return false;
    }
    if (!strWarning.empty())
    {
        std::cerr << m_strAppName << ": " << strWarning << std::flush;
    }
    SetImageOptions(m_options.m_imageOptions);
    if (!m_options.m_strConvertFile.empty())
    {
        SetExitCode(ConvertFile());
        return false;
    }
    if (m_options.m_bTimeoutSet)
    {
        SetPipeTimeoutMs(m_options.m_nTimeoutMs);
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
    const std::string strIniPath = FindLanguageFile(m_strAppDir, m_strAppName);
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
        std::cout << CWizardRun::VersionLine() << std::endl;
        SetExitCode(0);
        return false;
    }
    if (m_options.m_bList)
    {
        ListBoards();
        SetExitCode(0);
        return false;
    }

    if (cmdInfo.m_strFileName.empty())
    {
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

    if (RedirectStdoutToConsole())
    {
        std::cout << CWizardRun::VersionLine() << std::endl;
    }
    CWizardOptions wizardOptions;
    wizardOptions.m_strDevicePath = m_options.m_strDevicePath;
    wizardOptions.m_nWaitMs = m_options.m_nWaitMs;
    if (IsConsoleOnly())
    {
        CConsoleWizard wizard(cmdInfo, wizardOptions);
        SetExitCode(wizard.DoModal());
    }
    else
    {
        SetExitCode(RunWizardWindow(CCustomCommandLineInfo(cmdInfo), wizardOptions));
    }
    return false;
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
    if (!WriteWholeFile(m_options.m_strOutput, image.m_data, strError))
    {
        std::cerr << m_strAppName << ": cannot write " << m_options.m_strOutput << ": " << strError
                  << std::endl;
        return EXIT_CANNOT_WRITE;
    }
    std::cerr << DescribeImage(strInput, image) << std::endl;
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
        // Board bytes cannot add lines or columns, or drive the terminal.
        std::cout << ShowableBoardText(info.m_strDescription) << '\t'
                  << ShowableBoardText(info.m_strDevicePath) << '\t'
                  << ShowableBoardText(strVersion) << std::endl;
    }
    if (nListed == 0)
    {
        // A board that is there but may not be opened is named, with the way to fix it.
        const std::vector<std::string> problems = UsbAccessProblems();
        for (const std::string& strProblem : problems)
        {
            std::cerr << strProblem << std::endl;
        }
        if (problems.empty())
        {
            std::cerr << "No board found." << std::endl;
        }
    }
}
