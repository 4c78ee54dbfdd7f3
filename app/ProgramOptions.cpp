#include "app/ProgramOptions.h"

#include "usb/libusb/UsbBoardIds.h"

#include <array>
#include <functional>
#include <string_view>

namespace
{
// The largest block --receive takes, as the window allows it.
constexpr uint64_t MAX_RECEIVE_BYTES = 102400;

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

// The words that keep their meaning after '-' (the language keywords).
bool IsKeywordSwitch(std::string_view strText)
{
    constexpr std::array<std::string_view, 7> KEYWORDS = {"veld", "tx0852", "engb", "dede",
                                                          "frfr", "eses",   "nlnl"};
    for (const std::string_view strKeyword : KEYWORDS)
    {
        if (strText == strKeyword)
        {
            return true;
        }
    }
    return false;
}

using OptionApply = std::function<bool(CProgramOptions&, const std::string&, std::string&)>;

struct COptionSpec
{
    const char* m_pszName;  // "--name"
    const char* m_pszShort; // "-o", or nullptr
    bool m_bTakesValue;
    OptionApply m_fnApply; // with the value (empty for a flag); false with the reason
};

OptionApply Flag(bool CProgramOptions::*pFlag)
{
    return [pFlag](CProgramOptions& options, const std::string&, std::string&)
    {
        options.*pFlag = true;
        return true;
    };
}

const std::vector<COptionSpec>& OptionTable()
{
    static const std::vector<COptionSpec> TABLE = {
        {"--help", "-h", false, Flag(&CProgramOptions::m_bHelp)},
        {"--version", "-V", false, Flag(&CProgramOptions::m_bVersion)},
        {"--list", "-l", false, Flag(&CProgramOptions::m_bList)},
        {"--headless", nullptr, false, Flag(&CProgramOptions::m_bHeadless)},
        {"--quiet", "-q", false, Flag(&CProgramOptions::m_bQuiet)},
        {"--verbose", "-v", false, Flag(&CProgramOptions::m_bVerbose)},
        {"--json", nullptr, false, Flag(&CProgramOptions::m_bJson)},
        {"--all", nullptr, false, Flag(&CProgramOptions::m_bAll)},
        {"--count", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             uint64_t nValue = 0;
             if (!ParseUnsigned(strValue, 1000, nValue) || nValue == 0)
             {
                 strError =
                     "option --count needs a number of boards (1 to 1000), not '" + strValue + "'";
                 return false;
             }
             options.m_nCount = static_cast<uint32_t>(nValue);
             return true;
         }},
        {"--no-execute", nullptr, false, Flag(&CProgramOptions::m_bNoExecute)},
        {"--execute", nullptr, false, Flag(&CProgramOptions::m_bExecute)},
        {"--board-version", nullptr, false, Flag(&CProgramOptions::m_bBoardVersion)},
        {"--receive", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             uint64_t nValue = 0;
             if (!ParseNumber(strValue, MAX_RECEIVE_BYTES, nValue) || nValue == 0)
             {
                 strError = "option --receive needs a size of 1 to 102400 bytes (or 0x1 to "
                            "0x19000), not '" +
                            strValue + "'";
                 return false;
             }
             options.m_nReceiveSize = static_cast<uint32_t>(nValue);
             return true;
         }},
        {"--device", "-d", true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             if (strValue.empty())
             {
                 strError = "option --device needs a board's path (see --list)";
                 return false;
             }
             options.m_strDevicePath = strValue;
             // A board directory named with a trailing slash is the same board.
             while (options.m_strDevicePath.size() > 1 && options.m_strDevicePath.back() == '/')
             {
                 options.m_strDevicePath.pop_back();
             }
             return true;
         }},
        {"--timeout", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             uint64_t nValue = 0;
             if (!ParseUnsigned(strValue, UINT32_MAX, nValue))
             {
                 strError = "option --timeout needs milliseconds (0 to 4294967295), not '" +
                            strValue + "'";
                 return false;
             }
             options.m_bTimeoutSet = true;
             options.m_nTimeoutMs = static_cast<uint32_t>(nValue);
             return true;
         }},
        {"--usb-id", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             std::vector<CUsbBoardId> ids;
             std::string strBadWord;
             if (!ParseUsbBoardIds(strValue, &ids, &strBadWord) || ids.empty())
             {
                 strError = "option --usb-id needs USB ids as VVVV:PPPP in hexadecimal, not '" +
                            (strBadWord.empty() ? strValue : strBadWord) + "'";
                 return false;
             }
             options.m_usbIds.push_back(strValue);
             return true;
         }},
        {"--wait", "-w", true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             if (!ParseSeconds(strValue, options.m_nWaitMs))
             {
                 strError =
                     "option --wait needs seconds (for example 5 or 2.5), not '" + strValue + "'";
                 return false;
             }
             return true;
         }},
        {"--gap-fill", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             uint64_t nValue = 0;
             if (!ParseNumber(strValue, 0xFF, nValue))
             {
                 strError = "option --gap-fill needs a byte (0 to 255, or 0x00 to 0xFF), not '" +
                            strValue + "'";
                 return false;
             }
             options.m_imageOptions.m_nGapFill = static_cast<uint8_t>(nValue);
             return true;
         }},
        {"--base", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             uint64_t nValue = 0;
             if (!ParseNumber(strValue, UINT32_MAX, nValue))
             {
                 strError = "option --base needs an address (for example 0x08000000), not '" +
                            strValue + "'";
                 return false;
             }
             options.m_imageOptions.m_bBaseSet = true;
             options.m_imageOptions.m_nBase = static_cast<uint32_t>(nValue);
             return true;
         }},
        {"--allow-large-image", nullptr, false,
         [](CProgramOptions& options, const std::string&, std::string&)
         {
             options.m_imageOptions.m_nMaxSize = MAX_IMAGE_SIZE;
             return true;
         }},
        {"--convert", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             if (strValue.empty())
             {
                 strError = "option --convert needs a file";
                 return false;
             }
             options.m_strConvertFile = strValue;
             return true;
         }},
        {"--station", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             if (strValue.empty())
             {
                 strError = "option --station needs the file every board gets";
                 return false;
             }
             options.m_strStationFile = strValue;
             return true;
         }},
        {"--journal", nullptr, true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             if (strValue.empty())
             {
                 strError = "option --journal needs a file (an SQLite database)";
                 return false;
             }
             options.m_strJournal = strValue;
             return true;
         }},
        {"--summary", nullptr, false, Flag(&CProgramOptions::m_bSummary)},
        {"--output", "-o", true,
         [](CProgramOptions& options, const std::string& strValue, std::string& strError)
         {
             if (strValue.empty())
             {
                 strError = "option -o/--output needs a file (or - for standard output)";
                 return false;
             }
             options.m_strOutput = strValue;
             return true;
         }},
    };
    return TABLE;
}

const COptionSpec* FindOption(const std::string& strName)
{
    for (const COptionSpec& option : OptionTable())
    {
        if (strName == option.m_pszName ||
            (option.m_pszShort != nullptr && strName == option.m_pszShort))
        {
            return &option;
        }
    }
    return nullptr;
}

// --station, --journal and --summary with the rest.
bool CheckStationCombination(const CProgramOptions& options, std::string& strError)
{
    const bool bOperation =
        options.m_bList || !options.m_strConvertFile.empty() || options.IsBoardCommand();
    if (!options.m_strStationFile.empty() &&
        (bOperation || options.m_bAll || options.m_bSummary || !options.m_strDevicePath.empty() ||
         options.m_nWaitMs >= 0))
    {
        strError = "option --station goes with none of --list, --convert, --execute, "
                   "--board-version, --receive, --all, --summary, --device and --wait";
        return false;
    }
    if (options.m_bSummary && options.m_strJournal.empty())
    {
        strError = "option --summary needs --journal FILE, the journal to sum up";
        return false;
    }
    if (options.m_bSummary && (bOperation || options.m_bAll || options.m_bNoExecute))
    {
        strError = "option --summary goes with --journal FILE and --json alone";
        return false;
    }
    if (!options.m_strJournal.empty() && bOperation)
    {
        strError = "option --journal goes with sending a file, --all, --station or --summary";
        return false;
    }
    return true;
}

// Options that choose what the program does; at most one may be given.
bool CheckCombination(const CProgramOptions& options, std::string& strError)
{
    const std::pair<bool, const char*> operations[] = {
        {options.m_bList, "--list"},
        {!options.m_strConvertFile.empty(), "--convert"},
        {options.m_bExecute, "--execute"},
        {options.m_bBoardVersion, "--board-version"},
        {options.m_nReceiveSize != 0, "--receive"},
        {options.m_bNoExecute, "--no-execute"},
    };
    const char* pszFirst = nullptr;
    for (const auto& [bGiven, pszName] : operations)
    {
        if (bGiven && pszFirst != nullptr)
        {
            strError =
                std::string("options ") + pszFirst + " and " + pszName + " do not go together";
            return false;
        }
        pszFirst = bGiven ? pszName : pszFirst;
    }
    if (options.m_nCount != 0 && !options.m_bAll && options.m_strStationFile.empty())
    {
        strError = "option --count goes with --all or --station";
        return false;
    }
    if (!CheckStationCombination(options, strError))
    {
        return false;
    }
    if (options.m_bAll && (!options.m_strDevicePath.empty() || options.IsBoardCommand() ||
                           options.m_bList || !options.m_strConvertFile.empty()))
    {
        strError = "option --all goes with sending a file, without --device";
        return false;
    }
    if (options.m_bQuiet && options.m_bVerbose)
    {
        strError = "options --quiet and --verbose do not go together";
        return false;
    }
    if (options.m_bJson &&
        (options.m_bExecute || options.m_nReceiveSize != 0 || !options.m_strConvertFile.empty()))
    {
        strError = "option --json goes with --list, --board-version, --version, sending a file, "
                   "--station or --summary";
        return false;
    }
    const bool bTakesOutput = !options.m_strConvertFile.empty() || options.m_nReceiveSize != 0;
    if (bTakesOutput && options.m_strOutput.empty())
    {
        strError = options.m_nReceiveSize != 0
                       ? "option --receive needs -o FILE, the file the block goes to (- for "
                         "standard output)"
                       : "option --convert needs -o OUT, the file the flat image goes to";
        return false;
    }
    if (!bTakesOutput && !options.m_strOutput.empty())
    {
        strError = "option -o/--output goes with --convert FILE or --receive SIZE";
        return false;
    }
    return true;
}
} // namespace

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
        const bool bLong = strArgument.starts_with("--");
        const size_t nEquals = bLong ? strArgument.find('=') : std::string::npos;
        const std::string strName = strArgument.substr(0, nEquals);
        const COptionSpec* pSpec = strArgument.starts_with('-') ? FindOption(strName) : nullptr;
        if (pSpec == nullptr)
        {
            if (bLong)
            {
                strError = "unknown option " + strName;
                return false;
            }
            // The keywords keep their meaning after '-'; other switches mean nothing here.
            if (strArgument.starts_with('-') && !IsKeywordSwitch(strArgument.substr(1)))
            {
                strWarning += "ignoring switch " + strArgument + "\n";
            }
            options.m_arguments.push_back(strArgument);
            continue;
        }
        std::string strValue;
        if (nEquals != std::string::npos)
        {
            if (!pSpec->m_bTakesValue)
            {
                strError = "option " + strName + " takes no value";
                return false;
            }
            strValue = strArgument.substr(nEquals + 1);
        }
        else if (pSpec->m_bTakesValue)
        {
            if (i + 1 >= arguments.size())
            {
                strError = "option " + strName + " needs a value";
                return false;
            }
            strValue = arguments[++i];
        }
        if (!pSpec->m_fnApply(options, strValue, strError))
        {
            return false;
        }
    }
    return options.m_bHelp || CheckCombination(options, strError);
}

std::string UsageText(const std::string& strProgram, bool bWindows)
{
    return "Usage: " + strProgram +
           " [OPTION]... [FILE] [KEYWORD]...\n"
           "Send FILE to the bootloader of the first Plinth board found and start it.\n"
           "FILE is a flat binary, or an ELF, Intel HEX or S-record file, which is sent as\n"
           "the flat image objcopy -O binary makes of it. " +
           std::string(bWindows ? "Without FILE the window opens.\n"
                                : "Without FILE, name an operation.\n") +
           "\n"
           "Operations (each without any window; the first board, or the one of --device):\n"
           "  FILE              send FILE and start it\n"
           "  --no-execute FILE send FILE without starting it\n"
           "  --all FILE        send FILE to every attached board at once (and start it)\n"
           "  --station FILE    flash FILE onto every board that arrives, once per\n"
           "                    attachment, until Ctrl-C or --count boards are flashed\n"
           "  --journal FILE --summary\n"
           "                    print the yield per image, per slot and per day and exit\n"
           "  --execute         start what the board holds\n"
           "  --board-version   print the board's bootloader version on one line\n"
           "  --receive SIZE -o FILE\n"
           "                    receive SIZE bytes (1 to 102400, or 0x1 to 0x19000) of the\n"
           "                    board's memory into FILE; -o - writes them to standard output\n"
           "  -l, --list        list the attached boards (description, path, version) and exit\n"
           "  --convert FILE -o OUT\n"
           "                    write FILE's flat image to OUT (- for standard output),\n"
           "                    without a board, and exit\n"
           "\n"
           "Options:\n"
           "  -h, --help        show this text and exit\n"
           "  -V, --version     show the version line and exit\n"
           "  -d, --device PATH use the board with this path (as --list shows it)\n"
           "  --count N         with --all: wait (within --wait) for N boards before starting;\n"
           "                    with --station: stop once N boards are flashed\n"
           "  --journal FILE    record every board's attempt in FILE (SQLite; with a send,\n"
           "                    --all or --station); a journal that cannot be written stops\n"
           "                    the flashing\n" +
           std::string(bWindows ? "  --headless        run without any window, even when a display "
                                  "is available\n"
                                : "  --headless        accepted as quillon takes it; every mode "
                                  "runs without a window\n") +
           "  -q, --quiet       print nothing but errors and warnings (the exit code tells\n"
           "                    the rest; --board-version still prints the version)\n"
           "  -v, --verbose     also say which board is used and how long each transfer took\n"
           "  --json            with --list, --board-version, --version or a send: JSON on\n"
           "                    standard output (the report lines go to standard error); with\n"
           "                    --station one JSON object per line and event; with --summary\n"
           "                    the summary as JSON\n"
           "  --timeout MS      give up connecting to a board, or a read or write, after MS\n"
           "                    milliseconds without progress; a reply that never comes fails\n"
           "                    after MS in all (0 waits forever; default 3000)\n"
           "  -w, --wait SECONDS\n"
           "                    end with exit code 2 when no board was found (or the board\n"
           "                    stayed in use by another run) in that time; without it a send\n"
           "                    waits for ever and the other operations look once\n"
           "  --usb-id VID:PID  also take USB devices with these ids (hexadecimal, several\n"
           "                    separated by commas) for boards\n"
           "  --gap-fill BYTE   fill the gaps of an ELF, HEX or S-record image with BYTE\n"
           "                    (0 to 255 or 0x00 to 0xFF; default 0xFF, erased flash)\n"
           "  --base ADDR       refuse an ELF, HEX or S-record image that does not start\n"
           "                    at ADDR (for example 0x08000000)\n"
           "  --allow-large-image\n"
           "                    accept an ELF, HEX or S-record image that spans more than\n"
           "                    1 GiB (up to 4 GiB less one byte); without it such an image\n"
           "                    is refused as a linker mistake\n"
           "  -o, --output OUT  where --convert and --receive write\n"
           "  --                end of options: what follows is the file and keywords\n"
           "\n"
           "Keywords (with or without a leading '/' or '-'): engb, dede, frfr, eses, nlnl\n"
           "choose English, German, French, Spanish or Dutch texts. Other single-letter\n"
           "switches are ignored (with a warning); an unknown --option is an error.\n"
           "\n"
           "Examples:\n"
           "  " +
           strProgram +
           " --wait 10 firmware.elf\n"
           "  " +
           strProgram +
           " --board-version\n"
           "  " +
           strProgram +
           " --receive 0x1000 -o dump.bin\n"
           "  " +
           strProgram +
           " --device usb:1-2.4 --execute\n"
           "\n"
           "Exit codes:\n"
           "   0  done\n" +
           std::string(bWindows
                           ? "   1  the waiting window was closed with Enter (its default OK)\n"
                           : "") +
           "   2  cancelled, interrupted, or no board (or the board stayed in use) in time\n"
           "  25  the file cannot be loaded (or the language file is missing), or the\n"
           "      received block cannot be written\n"
           "  39  the board failed the command (send, execute, receive or version); a run\n"
           "      whose execute the board did not confirm ends so too\n"
           "  47  old bootloader refused\n"
           "  64  bad option\n" +
           std::string(bWindows ? "  69  the window was asked for without a display\n" : "") +
           "  70  internal error\n"
           "  73  --convert could not write OUT, or the journal cannot be opened or written\n"
           "  74  the report could not be written to standard output (the run went through)\n"
           "  77  a board is attached but this user may not open it (see the message)\n";
}
